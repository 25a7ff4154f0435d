// Catches entry-point faults: wrong bounds answers, writes on refusal, non-NaN empty sums, FP-mode leaks.
#include <gtest/gtest.h>

#include <HalideBuffer.h>

#include <cstring>

#include "front/defaults.h"
#include "front/joint.h"
#include "front/variants.h"
#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace bilateral {
namespace {

using front::all_variants;
using front::call_entry;
using front::entry_name;
using front::Layout;
using front::Padding;
using front::Sample;
using front::Variant;
using Buf = Halide::Runtime::Buffer<>;
using Span = std::pair<int, int>;  // min, extent

int tasks = 0;  // parallel loops started since the last reset: every call in this program goes through the hook
[[maybe_unused]] const halide_do_par_for_t hooked = halide_set_custom_do_par_for(
    [](void *u, auto f, int m, int n, auto *c) { return ++tasks, halide_default_do_par_for(u, f, m, n, c); });

halide_type_t type(Variant v) {
    return v.sample == Sample::f32 ? halide_type_of<float>() : v.sample == Sample::u8 ? halide_type_of<uint8_t>()
                                                                                      : halide_type_of<uint16_t>();
}

// A dense buffer over [x0, x0 + W) x [y0, y0 + H) (x [0, 3) for RGB), every byte `fill`.
Buf image(Variant v, int W, int H, uint8_t fill = 0xA5, int x0 = 0, int y0 = 0) {
    Buf b = v.layout == Layout::rgb ? Buf(type(v), W, H, 3) : Buf(type(v), W, H);
    return b.translate(0, x0), b.translate(1, y0), std::memset(b.data(), fill, b.size_in_bytes()), b;
}
Buf weights(int N, float value) { return Halide::Runtime::Buffer<float>(N, N).fill(value); }
std::vector<uint8_t> bytes(const Buf &b) { return {(uint8_t *)b.data(), (uint8_t *)b.data() + b.size_in_bytes()}; }

struct Query {  // a descriptor without host memory asks for bounds; type, flags and strides are garbage until answered
    halide_dimension_t dim[3] = {};
    halide_buffer_t b{0, nullptr, nullptr, 5, halide_type_of<int16_t>(), 0, dim, nullptr};
    Query(int dims, std::vector<Span> spans) {
        for (b.dimensions = dims; dims-- > 0;) dim[dims] = {spans[dims].first, spans[dims].second, 7, 3};
    }
    // The answer: host still NULL, flags 0, the type, and dense strides over the first `dims` spans of `want`.
    void expect(halide_type_t type, int dims, std::vector<Span> want, const char *what) const {
        ASSERT_TRUE(b.host == nullptr && b.flags == 0 && b.type == type && b.dimensions == dims) << what;
        for (int d = 0, stride = 1; d < dims; stride *= want[d++].second)
            EXPECT_EQ(std::make_tuple(dim[d].min, dim[d].extent, dim[d].stride, dim[d].flags),
                      std::make_tuple(want[d].first, want[d].second, stride, 0u)) << what;
    }
};

// Input answers per row; symmetric padding asks for the whole input once a window leaves it ("whole"), the others
// clamp to the input. RGB x covers whole 512-column tiles; a narrow output reads ((W - 1) & ~7) + 487 + N columns
// (16 + 487 + 9 = 512 for W = 20). The gray and rgb spans are the x answers. A joint call answers the same, and
// its guide (gray or RGB, of each type in turn, its own type words read) with the input's x and y spans, its own
// channel range and type, whether the input is a query too or not.
TEST(Entry, BoundsQueryAnswers) {
    struct { const char *what; int X0, Y0, W, H, N; Span in_x, in_y, in_c, gray, rgb, y, c; bool whole; } rows[] = {
        {"worked", 100, 100, 100, 80, 9, {0, 1000}, {0, 800}, {0, 3}, {96, 108}, {96, 520}, {96, 88}, {0, 3}, 0},
        {"output at 0,0", 0, 0, 100, 80, 9, {0, 1000}, {0, 800}, {0, 3}, {0, 104}, {0, 516}, {0, 84}, {0, 3}, 1},
        {"narrow", 100, 10, 20, 5, 9, {96, 1000}, {0, 800}, {1, 0}, {96, 28}, {96, 512}, {6, 13}, {1, 1}, 0},
        {"81 rows", 10, 10, 40, 81, 9, {0, 1000}, {0, 800}, {0, 3}, {6, 48}, {6, 520}, {6, 81 + 9 - 1}, {0, 3}, 0},
        {"input right", 0, 0, 50, 10, 5, {2000, 100}, {0, 800}, {0, 3}, {2000, 1}, {2000, 1}, {0, 12}, {0, 3}, 1}};
    int turn = 0;
    for (Variant v : all_variants()) {
        const int dims = v.layout == Layout::rgb ? 3 : 2;
        for (const auto &r : rows) {
            for (const bool joint : {false, true}) {
                const bool query_out = &r == &rows[0];  // all at once; elsewhere a real output stays untouched
                const Variant g{Layout(turn % 2), Sample(turn / 2 % 3), v.padding};
                ++turn;
                SCOPED_TRACE(entry_name(v) + ", " + r.what + (joint ? ", joint, guide " + entry_name(g) : ""));
                Query in(dims, {r.in_x, r.in_y, r.in_c}), w(2, {{5, 2}, {5, 2}}), guide(g.layout == Layout::rgb ? 3 : 2, {{-9, 4000}, {-9, 4000}, {1, 2}});
                Query out_q(dims, {{r.X0, r.W}, {r.Y0, r.H}, {1, 1}});
                guide.b.type = type(g);
                if (joint) in.b.type = out_q.b.type = type(v);  // read by a joint call; the others answer with theirs
                Buf out = image(v, r.W, r.H, 0xA5, r.X0, r.Y0);
                uint8_t host = 0;  // a joint call's input with memory: the guide's answer comes from its shape alone
                if (joint && !query_out) in.b.host = &host;
                tasks = 0;
                halide_buffer_t *out_b = query_out ? &out_q.b : out.raw_buffer();
                ASSERT_EQ(joint ? front::call_joint(v.padding, front::Rounding::truncate, &in.b, &guide.b, &w.b, r.N, 0.1, 0.0, out_b)
                                : call_entry(v, &in.b, &w.b, r.N, 0.1, 0.0, out_b), 0);
                const bool whole = v.padding == Padding::symmetric && r.whole;
                const Span x = whole ? r.in_x : dims == 3 ? r.rgb : r.gray, y = whole ? r.in_y : r.y;
                if (in.b.host == nullptr) in.expect(type(v), dims, {x, y, r.c}, "in");
                if (joint) guide.expect(type(g), guide.b.dimensions, {x, y, {1, 2}}, "guide");
                w.expect(halide_type_of<float>(), 2, {{0, r.N}, {0, r.N}}, "weights");
                if (query_out) out_q.expect(type(v), dims, {{r.X0, r.W}, {r.Y0, r.H}, {0, 3}}, "output");
                EXPECT_TRUE(tasks == 0 && (query_out || bytes(out) == bytes(image(v, r.W, r.H, 0xA5, r.X0, r.Y0))));
            }
        }
    }
}

// Refused calls (no host, an input extent below 1, an RGB output without channels 0..2) return 0, write nothing
// and start nothing. No taps (N <= 0) or no usable weight sum: every sample is 0/0, NaN (8-bit: 0).
TEST(Entry, RefusalsAndEmptyWeightSums) {
    void (*const refusals[])(halide_buffer_t &in, halide_buffer_t &out) = {  // the last three for RGB only
        [](auto &in, auto &) { in.host = nullptr, in.device = 1; },
        [](auto &, auto &out) { out.host = nullptr, out.device = 1; },
        [](auto &in, auto &) { in.dim[0].extent = 0; }, [](auto &in, auto &) { in.dim[1].extent = -1; },
        [](auto &in, auto &) { in.dim[2].extent = 0; }, [](auto &, auto &out) { out.dim[2].extent = 2; },
        [](auto &, auto &out) { out.dim[2].min = 1; }};
    const struct { double window, sigma; float weight; } empty[] = {
        {0.5, 0.1, 1.0f}, {-4.0, 0.1, 1.0f}, {std::nan(""), 0.1, 1.0f}, {5.0, 0.0, 1.0f}, {5.0, 0.5, 0.0f}};
    for (Variant v : all_variants()) {
        for (int k = 0; k < (v.layout == Layout::rgb ? 7 : 4); ++k) {
            Buf in = image(v, 40, 30, 7), out = image(v, 40, 30);
            const std::vector<uint8_t> was = bytes(out);
            halide_buffer_t in_b = *in.raw_buffer(), out_b = *out.raw_buffer();  // the dims are shared
            refusals[k](in_b, out_b), tasks = 0;
            EXPECT_EQ(call_entry(v, &in_b, weights(5, 1.0f), 5.0, 0.1, 0.0, &out_b), 0);
            EXPECT_TRUE(tasks == 0 && !std::memcmp(out.data(), was.data(), was.size())) << entry_name(v) << "#" << k;
        }
        for (const auto &c : empty) {
            Buf in = image(v, 150, 40, 60), out = image(v, 150, 40);
            ASSERT_EQ(call_entry(v, in, weights(5, c.weight), c.window, c.sigma, 0.0, out), 0);
            SCOPED_TRACE(entry_name(v) + " window " + std::to_string(c.window) + " sigma " + std::to_string(c.sigma));
            EXPECT_TRUE(v.sample == Sample::f32 || bytes(out) == bytes(image(v, 150, 40, 0)));
            if (v.sample == Sample::f32) out.as<float>().for_each_value([&](float s) { ASSERT_TRUE(std::isnan(s)); });
        }
    }
}

#if defined(__x86_64__)  // the caller's control register: MXCSR with FTZ, DAZ and round toward zero
using FpWord = unsigned;
FpWord fp_mode() { return _mm_getcsr(); }
void set_fp_mode(FpWord m) { _mm_setcsr(m); }
constexpr FpWord kHostileFpBits = (1u << 15) | (1u << 6) | (3u << 13);
#elif defined(__aarch64__)  // FPCR with FZ, FZ16 and round toward zero
using FpWord = uint64_t;
FpWord fp_mode() {
    FpWord m;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(m));
    return m;
}
void set_fp_mode(FpWord m) { __asm__ __volatile__("msr fpcr, %0" : : "r"(m)); }
constexpr FpWord kHostileFpBits = (1ull << 24) | (1ull << 19) | (3ull << 22);
#endif
#if defined(__x86_64__) || defined(__aarch64__)
// A caller's own thread pool whose threads keep a hostile mode: each task must set its own.
int hostile_pool(void *u, halide_task_t f, int m, int n, uint8_t *c) {
    return set_fp_mode(fp_mode() | kHostileFpBits), halide_default_do_par_for(u, f, m, n, c);  // the entry restores
}

// The caller's FP mode changes no result and comes back unchanged. Subnormal spatial weights would flush to 0/0;
// with constant padding the weights are normal and the pad value 0.1 would round down toward zero.
TEST(Entry, ResultsIgnoreTheCallersFloatingPointMode) {
    for (Variant v : all_variants()) {
        Buf in = image(v, 700, 70, 0x3E), want = image(v, 700, 70), got = want.copy();
        Buf w = weights(3, v.padding == Padding::constant ? 0.5f : 1e-40f);
        ASSERT_EQ(call_entry(v, in, w, 3.0, 0.7, 0.1, want), 0);
        const FpWord saved = fp_mode();
        set_fp_mode(saved | kHostileFpBits);
        const halide_do_par_for_t counting = halide_set_custom_do_par_for(hostile_pool);
        call_entry(v, in, w, 3.0, 0.7, 0.1, got);
        EXPECT_EQ(fp_mode(), saved | kHostileFpBits) << entry_name(v) << ": the caller's mode is restored";
        set_fp_mode(saved), halide_set_custom_do_par_for(counting);
        EXPECT_TRUE(bytes(got) == bytes(want) && bytes(want) != bytes(image(v, 700, 70, 0))) << entry_name(v);
    }
}
#endif

}  // namespace
}  // namespace bilateral
