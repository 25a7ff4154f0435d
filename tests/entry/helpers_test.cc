// Catches exported helpers that disagree with the entry points: a pad sample other than the one the
// constant entry points pad with, a scratch estimate below what a call takes from halide_malloc or far
// above it (joint calls included), a validator that misses a fault or reports one where there is none,
// a joint entry point that does not report its faults; and a public header whose declarations do not
// match the variant lists.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "bilateral_filter.h"
#include "bilateral_filter_variants.h"
#include "core/simd.h"
#include "core/weight_planes.h"
#include "support/harness.h"

namespace bilateral_test {
namespace {

// Every entry of the list is declared; constant padding takes the pad value before the output.
using Padded = int(halide_buffer_t *, halide_buffer_t *, double, double, double, halide_buffer_t *);
using Edge = int(halide_buffer_t *, halide_buffer_t *, double, double, halide_buffer_t *);
#define BF_CHECK_DECLARATION(l, s, p)                                                                  \
    static_assert(std::is_same_v<decltype(BilateralFilter_##l##_##s##_##p),                             \
                                 std::conditional_t<std::string_view(#p) == "constant", Padded, Edge>>, \
                  "BilateralFilter_" #l "_" #s "_" #p " is not declared as the variant list implies");
BILATERAL_FILTER_VARIANTS(BF_CHECK_DECLARATION)
#undef BF_CHECK_DECLARATION
#define BF_CHECK_ROUNDED_DECLARATION(l, s, p)                                                          \
    static_assert(std::is_same_v<decltype(BilateralFilter_##l##_##s##_##p##_rounded),                  \
                                 decltype(BilateralFilter_##l##_##s##_##p)>,                           \
                  "BilateralFilter_" #l "_" #s "_" #p "_rounded is not declared as its list implies");
BILATERAL_FILTER_ROUNDED_VARIANTS(BF_CHECK_ROUNDED_DECLARATION)
#undef BF_CHECK_ROUNDED_DECLARATION
// Joint entry points take the guide after the input.
using JointPadded = int(halide_buffer_t *, halide_buffer_t *, halide_buffer_t *, double, double, double, halide_buffer_t *);
using JointEdge = int(halide_buffer_t *, halide_buffer_t *, halide_buffer_t *, double, double, halide_buffer_t *);
#define BF_CHECK_JOINT_DECLARATION(p)                                                                            \
    static_assert(std::is_same_v<decltype(BilateralFilter_joint_##p),                                               \
                                 std::conditional_t<std::string_view(#p) == "constant", JointPadded, JointEdge>> && \
                      std::is_same_v<decltype(BilateralFilter_joint_##p##_rounded), decltype(BilateralFilter_joint_##p)>, \
                  "BilateralFilter_joint_" #p " is not declared as the joint list implies");
BILATERAL_FILTER_JOINT_VARIANTS(BF_CHECK_JOINT_DECLARATION)
#undef BF_CHECK_JOINT_DECLARATION

bool same_value(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }

// A 1 x 1 input filtered with window 3 reads the pad at eight of its nine taps: calls with the pad value
// and with its pad sample give the same bits, the oracle's.
TEST(Helpers, PadSampleIsWhatTheConstantEntryPointsPadWith) {
    const struct { double pad, single, u8, u16; } rows[] = {
        {300, 300, 44, 300}, {-1, -1, 255, 65535}, {70000, 70000, 112, 4464}, {NAN, NAN, 0, 0},
        {1e10, double(1e10f), 255, 65535}, {0.3, double(0.3f), 0, 0}};
    for (const Variant v : all_variants()) {
        const std::string name = variant_name(v);
        if (v.padding != Padding::constant) continue;
        const double sigma = v.sample == Sample::f32 ? 1e11 : v.sample == Sample::u8 ? 200 : 50000;
        Dims one = {{0, 1, 1}, {0, 1, 1}};
        if (v.layout == Layout::rgb) one.push_back({0, 3, 1});
        for (const auto &r : rows) {
            const double sample = BilateralFilter_pad_sample(name.c_str(), r.pad);
            EXPECT_TRUE(same_value(sample, v.sample == Sample::f32 ? r.single : v.sample == Sample::u8 ? r.u8 : r.u16))
                << name.c_str() << " pads " << r.pad << " with " << sample;
            if (v.sample != Sample::f32) {
                EXPECT_TRUE(same_value(BilateralFilter_pad_sample((name + "_rounded").c_str(), r.pad), sample)) << name;
            }
            std::vector<uint8_t> outputs[2];
            for (int k = 0; k < 2; ++k) {
                Trial t = make_trial(v, 3, sigma, k == 0 ? r.pad : sample, one, {{0, 3, 1}, {0, 3, 3}}, one);
                fill(t.in->view, [] { return 7.0; });
                fill(t.w->view, [] { return 0.5; });
                EXPECT_TRUE(matches_oracle(t));
                outputs[k] = t.out->bytes();
            }
            EXPECT_EQ(outputs[0], outputs[1]) << name.c_str() << ", pad " << r.pad;
        }
    }
    EXPECT_TRUE(std::isnan(BilateralFilter_pad_sample("BilateralFilter_gray_uint8", 1.0)));
    EXPECT_TRUE(std::isnan(BilateralFilter_pad_sample("BilateralFilter_joint_constant", 1.0)));
}

// Tasks run one after another, so the peak of live heap bytes is the largest task's; the estimate for
// one thread bounds it, within a factor of 2 where the vector kernels run (the estimate assumes them).
// The estimate for four threads bounds a call on four. Joint calls (guide_channels > 0, 1 for a gray
// guide) stage the guide's channels too.
TEST(Helpers, ScratchBytesBoundWhatACallTakes) {
    const struct { Variant v; double window; int32_t width, height, channels; const char *what; Sample guide_sample; int32_t guide_channels; } rows[] = {
        {{Layout::gray, Sample::f32, Padding::replicate}, 3, 20, 10, 1, "all in the stack arenas", Sample::f32, 0},
        {{Layout::gray, Sample::u8, Padding::replicate}, 5, 700, 70, 1, "with the byte copy", Sample::f32, 0},
        {{Layout::gray, Sample::f32, Padding::constant}, 25, 530, 70, 1, "weight planes only in the 18-column tile", Sample::f32, 0},
        {{Layout::gray, Sample::u16, Padding::symmetric}, 40, 600, 100, 1, "even window", Sample::f32, 0},
        {{Layout::rgb, Sample::u8, Padding::constant}, 9.5, 520, 40, 2, "a plane of pad values", Sample::f32, 0},
        {{Layout::rgb, Sample::f32, Padding::replicate}, 31, 300, 33, 3, "large window", Sample::f32, 0},
        {{Layout::rgb, Sample::u16, Padding::symmetric}, 61, 200, 40, 4, "four input channels", Sample::f32, 0},
        {{Layout::gray, Sample::f32, Padding::replicate}, 5, 700, 70, 1, "joint, the byte copy of the guide", Sample::u8, 1},
        {{Layout::gray, Sample::u16, Padding::symmetric}, 25, 530, 70, 1, "joint, depth with a colour guide", Sample::u8, 3},
        {{Layout::rgb, Sample::u8, Padding::constant}, 9.5, 520, 40, 2, "joint, input planes and pad plane", Sample::f32, 4}};
    for (const auto &r : rows) {
        const int32_t n = static_cast<int32_t>(r.window), w = r.width, h = r.height;
        Dims in = {{-2, w + 4, 1}, {-2, h + 4, w + 4}}, out = {{0, w, 1}, {0, h, w}};
        if (r.v.layout == Layout::rgb) in.push_back({0, r.channels, (w + 4) * (h + 4)}), out.push_back({0, 3, w * h});
        Trial t = make_trial(r.v, r.window, 30, 5, in, {{0, n, 1}, {0, n, n}}, out);
        SeededChoices c(77);
        fill(t.in->view, [&] { return c.below(200); });
        fill(t.w->view, [&] { return c.unit(); });
        const std::string name = r.guide_channels > 0 ? "BilateralFilter_joint_" + std::string(bilateral::front::padding_name(r.v.padding)) : variant_name(r.v);
        if (r.guide_channels > 0) {
            Dims g = {in[0], in[1]};
            if (r.guide_channels > 1) g.push_back({0, r.guide_channels, (w + 4) * (h + 4)});
            t.joint = true;
            t.guide = std::make_unique<Mapped>(type_of(r.guide_sample), g);
            fill(t.guide->view, [&] { return c.below(200); });
        }
        const auto estimate = [&](int threads) {
            return r.guide_channels > 0 ? BilateralFilter_scratch_bytes_joint(name.c_str(), t.in->view.raw_buffer(), t.guide->view.raw_buffer(),
                                                                               r.window, t.out->view.raw_buffer(), threads)
                                        : BilateralFilter_scratch_bytes(name.c_str(), t.in->view.raw_buffer(), r.window, t.out->view.raw_buffer(), threads);
        };
        for (int threads : {1, 4}) {
            const halide_do_par_for_t previous = halide_set_custom_do_par_for(threads == 1 ? serial_do_par_for : halide_default_do_par_for);
            halide_set_num_threads(threads);
            AllocationObserver observer;
            EXPECT_EQ(t.call(), 0);
            halide_set_custom_do_par_for(previous);
            EXPECT_LE(observer.peak_bytes, estimate(threads)) << name << ", " << r.what << ", threads " << threads;
            if (threads == 1 && bilateral::vector_kernels_usable()) {
                EXPECT_LE(estimate(1), 2 * observer.peak_bytes) << name << ", " << r.what;
            }
        }
    }
    halide_set_num_threads(0);
    // The count of direct planes the estimate uses is the plan's.
    for (int32_t N = 1; N <= 40; ++N) {
        std::vector<int32_t> storage(static_cast<size_t>(bilateral::tap_plan_ints(N)));
        EXPECT_EQ(bilateral::direct_planes(N, -(N / 2)), bilateral::make_tap_plan(N, -(N / 2), storage.data()).directs) << N;
    }
    // No taps: nothing; a window too large to hold, an unknown name or a missing descriptor: -1.
    Halide::Runtime::Buffer<float> image(600, 70);
    const struct { const char *name; double window; const halide_buffer_t *out; int64_t want; } edges[] = {
        {"BilateralFilter_gray_single_replicate", -3, image.raw_buffer(), 0},
        {"BilateralFilter_gray_single_replicate", 46341, image.raw_buffer(), -1},
        {"BilateralFilter_grey_single_replicate", 5, image.raw_buffer(), -1},
        {"BilateralFilter_joint_replicate", 5, image.raw_buffer(), -1},
        {"BilateralFilter_gray_single_replicate", 5, nullptr, -1}};
    for (const auto &e : edges) EXPECT_EQ(BilateralFilter_scratch_bytes(e.name, image.raw_buffer(), e.window, e.out, 1), e.want) << e.window;
}

// A well-defined RGB 8-bit call; the validator reads descriptors only, so one byte serves as every host.
struct Call {
    std::string name = "BilateralFilter_RGB_uint8_constant";
    double window = 5, sigma = 20, pad = 3;
    halide_dimension_t dim[3][3] = {{{0, 40, 1}, {0, 30, 40}, {0, 3, 1200}}, {{0, 5, 1}, {0, 5, 5}, {}},
                                    {{0, 40, 1}, {0, 30, 40}, {0, 3, 1200}}};
    halide_buffer_t b[3];  // input, weights, output
    const halide_buffer_t *arg[3] = {&b[0], &b[1], &b[2]};
    uint8_t host = 0;
    Call() {
        const halide_type_t types[3] = {halide_type_of<uint8_t>(), halide_type_of<float>(), halide_type_of<uint8_t>()};
        for (int k = 0; k < 3; ++k) b[k] = {0, nullptr, &host, 0, types[k], k == 1 ? 2 : 3, dim[k], nullptr};
    }
};

// Each fault, one change at a time; queries, any sigma and pad value and windows without taps are none.
TEST(Helpers, CheckReportsTheFirstFault) {
    const struct { const char *what; void (*change)(Call &); int want; } rows[] = {
        {"well defined", [](Call &) {}, 0},
        {"a query output, type and strides unset", [](Call &c) { c.b[2].host = nullptr, c.b[2].type.bits = 1, c.dim[2][0].stride = 7; }, 0},
        {"NaN sigma and pad, no taps, 1 x 5 weights", [](Call &c) { c.sigma = c.pad = NAN, c.window = -3, c.dim[1][0].extent = 1; }, 0},
        {"no such entry point", [](Call &c) { c.name = "BilateralFilter_RGB_uint8"; }, halide_error_code_generic_error},
        {"NULL weights", [](Call &c) { c.arg[1] = nullptr; }, halide_error_code_buffer_argument_is_null},
        {"a gray name for 3-D buffers", [](Call &c) { c.name = "BilateralFilter_gray_uint8_constant"; }, halide_error_code_bad_dimensions},
        {"2-D output", [](Call &c) { c.b[2].dimensions = 2; }, halide_error_code_bad_dimensions},
        {"weights without dims", [](Call &c) { c.b[1].dim = nullptr; }, halide_error_code_bad_dimensions},
        {"input on a device only", [](Call &c) { c.b[0].host = nullptr, c.b[0].device = 1; }, halide_error_code_host_is_null},
        {"float32 input", [](Call &c) { c.b[0].type = halide_type_of<float>(); }, halide_error_code_bad_type},
        {"uint16 output", [](Call &c) { c.b[2].type = halide_type_of<uint16_t>(); }, halide_error_code_bad_type},
        {"float64 weights", [](Call &c) { c.b[1].type = halide_type_of<double>(); }, halide_error_code_bad_type},
        {"output x stride 3", [](Call &c) { c.dim[2][0].stride = 3; }, halide_error_code_constraint_violated},
        {"rounded, interleaved input and output", [](Call &c) { c.name += "_rounded", c.dim[0][0].stride = 3, c.dim[0][2].stride = 1, c.dim[2][0].stride = -4; }, 0},
        {"rounded, input x stride 0", [](Call &c) { c.name += "_rounded", c.dim[0][0].stride = 0; }, halide_error_code_constraint_violated},
        {"rounded, float32 input", [](Call &c) { c.name = "BilateralFilter_RGB_single_constant_rounded"; }, halide_error_code_generic_error},
        {"output height -1", [](Call &c) { c.dim[2][1].extent = -1; }, halide_error_code_buffer_extents_negative},
        {"no input channel", [](Call &c) { c.dim[0][2].extent = 0; }, halide_error_code_access_out_of_bounds},
        {"output channels 1..3", [](Call &c) { c.dim[2][2].min = 1; }, halide_error_code_access_out_of_bounds},
        {"weights from column 1", [](Call &c) { c.dim[1][0].min = 1; }, halide_error_code_access_out_of_bounds},
        {"weights a row short", [](Call &c) { c.dim[1][1].extent = 4; }, halide_error_code_access_out_of_bounds},
        {"window 40000: 83 GB of tap tables", [](Call &c) { c.window = 40000, c.dim[1][0].extent = c.dim[1][1].extent = 40000; },
         halide_error_code_out_of_memory},
        {"window 46341: too many taps to hold", [](Call &c) { c.window = 46341, c.dim[1][0].extent = c.dim[1][1].extent = 46341; },
         halide_error_code_out_of_memory}};
    for (const auto &r : rows) {
        Call c;
        r.change(c);
        EXPECT_EQ(BilateralFilter_check(c.name.c_str(), c.arg[0], c.arg[1], c.window, c.sigma, c.pad, c.arg[2]), r.want) << r.what;
    }
}

// A well-defined joint call: an RGB 8-bit input, a float32 gray guide two samples wider on every side.
struct JointCall {
    std::string name = "BilateralFilter_joint_constant";
    double window = 5;
    halide_dimension_t dim[4][4] = {{{0, 40, 1}, {0, 30, 40}, {0, 3, 1200}}, {{-2, 44, 1}, {-2, 34, 44}, {0, 3, 1496}, {0, 1, 0}},
                                    {{0, 5, 1}, {0, 5, 5}}, {{0, 40, 1}, {0, 30, 40}, {0, 3, 1200}}};
    halide_buffer_t b[4];  // input, guide, weights, output
    halide_buffer_t *arg[4] = {&b[0], &b[1], &b[2], &b[3]};
    uint8_t host = 0;
    JointCall() {
        const halide_type_t types[4] = {halide_type_of<uint8_t>(), halide_type_of<float>(), halide_type_of<float>(), halide_type_of<uint8_t>()};
        const int dims[4] = {3, 2, 2, 3};
        for (int k = 0; k < 4; ++k) b[k] = {0, nullptr, &host, 0, types[k], dims[k], dim[k], nullptr};
    }
};

// Each fault, one change at a time, as the validator reports it and, where the entry point reports it
// or returns without reading memory, as the entry point returns it (kNotCalled: undefined there).
TEST(Helpers, JointFaultsAreReported) {
    constexpr int kNotCalled = 1, oob = halide_error_code_access_out_of_bounds;
    const struct { const char *what; void (*change)(JointCall &); int check, entry; } rows[] = {
        {"well defined", [](JointCall &) {}, 0, kNotCalled},
        {"interleaved guide, RGB 16-bit, channels 1..3", [](JointCall &c) { c.b[1].dimensions = 3, c.b[1].type = halide_type_of<uint16_t>(), c.dim[1][0].stride = 3, c.dim[1][1].stride = 132, c.dim[1][2] = {1, 3, 1}; }, 0, kNotCalled},
        {"a query guide", [](JointCall &c) { c.b[1].host = nullptr; }, 0, 0},
        {"a plain name", [](JointCall &c) { c.name = "BilateralFilter_RGB_uint8_constant"; }, halide_error_code_generic_error, kNotCalled},
        {"NULL guide", [](JointCall &c) { c.arg[1] = nullptr; }, halide_error_code_buffer_argument_is_null, halide_error_code_buffer_argument_is_null},
        {"4-D guide", [](JointCall &c) { c.b[1].dimensions = 4; }, halide_error_code_bad_dimensions, halide_error_code_bad_dimensions},
        {"2-D output", [](JointCall &c) { c.b[3].dimensions = 2; }, halide_error_code_bad_dimensions, halide_error_code_bad_dimensions},
        {"3-D weights", [](JointCall &c) { c.b[2].dimensions = 3; }, halide_error_code_bad_dimensions, halide_error_code_bad_dimensions},
        {"guide without dims", [](JointCall &c) { c.b[1].dim = nullptr; }, halide_error_code_bad_dimensions, halide_error_code_bad_dimensions},
        {"float64 guide", [](JointCall &c) { c.b[1].type = halide_type_of<double>(); }, halide_error_code_bad_type, halide_error_code_bad_type},
        {"int16 input and output", [](JointCall &c) { c.b[0].type = c.b[3].type = halide_type_of<int16_t>(); }, halide_error_code_bad_type, halide_error_code_bad_type},
        {"uint16 output", [](JointCall &c) { c.b[3].type = halide_type_of<uint16_t>(); }, halide_error_code_bad_type, halide_error_code_bad_type},
        {"a query guide of two lanes", [](JointCall &c) { c.b[1].host = nullptr, c.b[1].type.lanes = 2; }, halide_error_code_bad_type, halide_error_code_bad_type},
        {"guide on a device only", [](JointCall &c) { c.b[1].host = nullptr, c.b[1].device = 1; }, halide_error_code_host_is_null, 0},
        {"float64 weights", [](JointCall &c) { c.b[2].type = halide_type_of<double>(); }, halide_error_code_bad_type, kNotCalled},
        {"guide x stride 0", [](JointCall &c) { c.dim[1][0].stride = 0; }, halide_error_code_constraint_violated, kNotCalled},
        {"guide height -1", [](JointCall &c) { c.dim[1][1].extent = -1; }, halide_error_code_buffer_extents_negative, kNotCalled},
        {"no input column", [](JointCall &c) { c.dim[0][0].extent = 0; }, oob, 0},
        {"guide a column short", [](JointCall &c) { c.dim[1][0].extent = 41; }, oob, oob},
        {"guide from row 1", [](JointCall &c) { c.dim[1][1] = {1, 40, 44}; }, oob, oob},
        {"RGB guide without channels", [](JointCall &c) { c.b[1].dimensions = 3, c.dim[1][2].extent = 0; }, oob, oob},
        {"window 40000", [](JointCall &c) { c.window = 40000, c.dim[2][0].extent = c.dim[2][1].extent = 40000; }, halide_error_code_out_of_memory, kNotCalled}};
    for (const auto &r : rows) {
        JointCall c;
        r.change(c);
        EXPECT_EQ(BilateralFilter_check_joint(c.name.c_str(), c.arg[0], c.arg[1], c.arg[2], c.window, 20, 3, c.arg[3]), r.check) << r.what;
        if (r.entry != kNotCalled) {
            EXPECT_EQ(BilateralFilter_joint_constant(c.arg[0], c.arg[1], c.arg[2], c.window, 20, 3, c.arg[3]), r.entry) << r.what;
        }
    }
    EXPECT_EQ(BilateralFilter_check(JointCall().name.c_str(), nullptr, nullptr, 5, 20, 3, nullptr), halide_error_code_generic_error);
}

}  // namespace
}  // namespace bilateral_test
