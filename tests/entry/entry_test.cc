// Catches entry-point faults: wrong bounds answers, writes on refusal, non-NaN empty sums, FP-mode leaks, channel mix-ups.
#include <gtest/gtest.h>

#include <HalideBuffer.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "core/range_exp.h"
#include "front_end.h"
#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace bilateral {
namespace {

using Buf = Halide::Runtime::Buffer<>;
using Span = std::pair<int, int>;  // min, extent

struct TaskCounter {  // counts the library's parallel loops while alive
    static inline int calls = 0;
    static int count(void *uc, halide_task_t f, int min, int n, uint8_t *c) {
        return ++calls, halide_default_do_par_for(uc, f, min, n, c);
    }
    halide_do_par_for_t previous = (calls = 0, halide_set_custom_do_par_for(count));
    ~TaskCounter() { halide_set_custom_do_par_for(previous); }
};

halide_type_t type_of(Variant v) { return v.sample == Sample::f32 ? halide_type_of<float>() : halide_type_of<uint8_t>(); }

// A dense buffer over [x0, x0 + W) x [y0, y0 + H) (x [c0, c0 + C) for RGB), every byte `fill`.
Buf image(Variant v, int W, int H, int x0 = 0, int y0 = 0, int c0 = 0, int C = 3, uint8_t fill = 0xA5) {
    Buf b = v.layout == Layout::rgb ? Buf(type_of(v), W, H, C) : Buf(type_of(v), W, H);
    const int mins[] = {x0, y0, c0};
    b.set_min(std::vector<int>(mins, mins + b.dimensions()));
    std::memset(b.data(), fill, b.size_in_bytes());
    return b;
}
Buf weights(int N, float value) { return Halide::Runtime::Buffer<float>(N, N).fill(value); }
std::vector<uint8_t> bytes(const Buf &b) { return {(uint8_t *)b.data(), (uint8_t *)b.data() + b.size_in_bytes()}; }

struct Query {  // a descriptor without host memory asks for bounds; the fields are garbage until answered
    halide_dimension_t dim[3] = {};
    halide_buffer_t b{0, nullptr, nullptr, 5, halide_type_of<int16_t>(), 0, dim, nullptr};
    Query(int dims, std::vector<int> mins, std::vector<int> extents) {
        for (b.dimensions = dims; dims-- > 0;) dim[dims] = {mins[dims], extents[dims], 7, 3};
    }
    void expect(halide_type_t type, const std::vector<Span> &want, const char *what) const {
        EXPECT_TRUE(b.host == nullptr && b.flags == 0 && b.type == type) << what;
        ASSERT_EQ(b.dimensions, int(want.size())) << what;
        for (int d = 0, stride = 1; d < b.dimensions; stride *= want[d++].second) {
            EXPECT_EQ(Span(dim[d].min, dim[d].extent), want[d]) << what << " dim " << d;
            EXPECT_TRUE(dim[d].stride == stride && dim[d].flags == 0) << what << " dim " << d;
        }
    }
};

TEST(Entry, BoundsQueryAnswers) {
    const struct { const char *what; int X0, Y0, W, H, N, ix, iw, iy, ih, ic, icn; Span gray_x, rgb_x, y, c; bool sym_whole; } rows[] = {
        {"worked example", 100, 100, 100, 80, 9, 0, 1000, 0, 800, 0, 3, {96, 108}, {96, 520}, {96, 88}, {0, 3}, false},
        {"output at 0,0", 0, 0, 100, 80, 9, 0, 1000, 0, 800, 0, 3, {0, 104}, {0, 516}, {0, 84}, {0, 3}, true},
        {"narrow, no channels", 100, 10, 20, 5, 9, 96, 1000, 0, 800, 1, 0, {96, 28}, {96, 16 + 487 + 9}, {6, 13}, {1, 1}, false},
        {"81 rows", 10, 10, 40, 81, 9, 0, 1000, 0, 800, 0, 3, {6, 48}, {6, 520}, {6, 81 + 9 - 1}, {0, 3}, false},
        {"input right of it", 0, 0, 50, 10, 5, 2000, 100, 0, 800, 0, 3, {2000, 1}, {2000, 1}, {0, 12}, {0, 3}, true}};
    for (Variant v : all_variants()) {
        const int dims = v.layout == Layout::rgb ? 3 : 2;
        for (const auto &r : rows) {
            const bool query_out = &r == &rows[0];  // all three at once; elsewhere a real output stays untouched
            SCOPED_TRACE(entry_name(v) + ", " + r.what);
            Query in(dims, {r.ix, r.iy, r.ic}, {r.iw, r.ih, r.icn}), w(2, {5, 5}, {2, 2}), out_q(dims, {r.X0, r.Y0, 1}, {r.W, r.H, 1});
            Buf out = image(v, r.W, r.H, r.X0, r.Y0);
            TaskCounter tasks;
            ASSERT_EQ(call_entry(v, &in.b, &w.b, r.N, 0.1, 0.0, query_out ? &out_q.b : out.raw_buffer()), 0);
            EXPECT_EQ(tasks.calls, 0);
            std::vector<Span> want = {dims == 3 ? r.rgb_x : r.gray_x, r.y, r.c}, want_out = {{r.X0, r.W}, {r.Y0, r.H}, {0, 3}};
            if (v.padding == Padding::symmetric && r.sym_whole) want[0] = {r.ix, r.iw}, want[1] = {r.iy, r.ih};
            in.expect(type_of(v), {want.begin(), want.begin() + dims}, "input");
            w.expect(halide_type_of<float>(), {{0, r.N}, {0, r.N}}, "weights");
            if (query_out) out_q.expect(type_of(v), {want_out.begin(), want_out.begin() + dims}, "output");
            if (!query_out) EXPECT_TRUE(bytes(out) == bytes(image(v, r.W, r.H, r.X0, r.Y0)) && out.dim(0).min() == r.X0);
        }
    }
}

// Refused calls return 0 and touch nothing: no write, no task.
TEST(Entry, RefusalsWriteNothing) {
    const struct { bool rgb_only; void (*mutate)(halide_buffer_t &in, halide_buffer_t &out); } cases[] = {
        {false, [](halide_buffer_t &in, halide_buffer_t &) { in.host = nullptr, in.device = 1; }},
        {false, [](halide_buffer_t &, halide_buffer_t &out) { out.host = nullptr, out.device = 1; }},
        {false, [](halide_buffer_t &in, halide_buffer_t &) { in.dim[0].extent = 0; }},
        {false, [](halide_buffer_t &in, halide_buffer_t &) { in.dim[1].extent = -1; }},
        {true, [](halide_buffer_t &in, halide_buffer_t &) { in.dim[2].extent = 0; }},
        {true, [](halide_buffer_t &, halide_buffer_t &out) { out.dim[2].extent = 2; }},
        {true, [](halide_buffer_t &, halide_buffer_t &out) { out.dim[2].min = 1; }}};
    for (Variant v : all_variants()) {
        for (const auto &c : cases) {
            if (c.rgb_only && v.layout != Layout::rgb) continue;
            Buf in = image(v, 40, 30, 0, 0, 0, 3, 7), out = image(v, 40, 30);
            const std::vector<uint8_t> before = bytes(out);
            halide_buffer_t in_b = *in.raw_buffer(), out_b = *out.raw_buffer();  // the dims are shared
            c.mutate(in_b, out_b);
            TaskCounter tasks;
            EXPECT_EQ(call_entry(v, &in_b, weights(5, 1.0f), 5.0, 0.1, 0.0, &out_b), 0);
            EXPECT_EQ(tasks.calls, 0) << entry_name(v) << " case " << &c - cases;
            EXPECT_EQ(std::memcmp(out.data(), before.data(), before.size()), 0) << entry_name(v) << " case " << &c - cases;
        }
    }
}

// No taps (N <= 0) or no usable weight sum: every sample is 0/0, NaN (8-bit: 0).
TEST(Entry, EmptyWeightSumsGiveNaN) {
    const struct { double window, sigma; float weight; } cases[] = {
        {0.5, 0.1, 1.0f}, {-4.0, 0.1, 1.0f}, {std::nan(""), 0.1, 1.0f}, {5.0, 0.0, 1.0f}, {5.0, 0.5, 0.0f}};
    for (Variant v : all_variants()) {
        for (const auto &c : cases) {
            Buf in = image(v, 150, 40, 0, 0, 0, 3, 60), out = image(v, 150, 40);
            ASSERT_EQ(call_entry(v, in, weights(5, c.weight), c.window, c.sigma, 0.0, out), 0);
            int wrong = 0;
            if (v.sample == Sample::f32) out.as<float>().for_each_value([&](float s) { wrong += !std::isnan(s); });
            if (v.sample == Sample::u8) out.as<uint8_t>().for_each_value([&](uint8_t s) { wrong += s != 0; });
            EXPECT_EQ(wrong, 0) << entry_name(v) << " window " << c.window << " sigma " << c.sigma;
        }
    }
}

// The caller's FTZ, DAZ and rounding direction change nothing (subnormal spatial
// weights would flush to 0/0) and the caller's control register comes back.
#if defined(__x86_64__)
unsigned read_fp_mode() { return _mm_getcsr(); }
void write_fp_mode(unsigned m) { _mm_setcsr(m); }
constexpr unsigned kHostileFpBits = (1u << 15) | (1u << 6) | (3u << 13);  // FTZ, DAZ, toward zero
#endif

TEST(Entry, ResultsIgnoreTheCallersFloatingPointMode) {
#if defined(__x86_64__)
    for (Variant v : all_variants()) {
        Buf in = image(v, 700, 70, 0, 0, 0, 3, 0x3E), w = weights(3, 1e-40f), want = image(v, 700, 70), got = want.copy();
        ASSERT_EQ(call_entry(v, in, w, 3.0, 0.1, 0.25, want), 0);
        const unsigned saved = read_fp_mode();
        write_fp_mode(saved | kHostileFpBits);
        call_entry(v, in, w, 3.0, 0.1, 0.25, got);
        const unsigned after = read_fp_mode();
        write_fp_mode(saved);
        EXPECT_EQ(after, saved | kHostileFpBits) << entry_name(v) << ": the caller's mode is restored";
        EXPECT_TRUE(bytes(got) == bytes(want) && bytes(want) != bytes(image(v, 700, 70, 0, 0, 0, 3, 0))) << entry_name(v);
    }
#else
    GTEST_SKIP() << "checked on x86-64 only";
#endif
}

// One tap of weight 1 returns each output channel's source sample, or the pad value.
TEST(Entry, ChannelSourcesWithFewerInputChannels) {
    const struct { int c_min, channels; Padding padding; int sources[3]; } cases[] = {
        {0, 1, Padding::constant, {0, -1, -1}}, {1, 2, Padding::constant, {-1, 1, 2}},
        {1, 2, Padding::replicate, {1, 1, 2}}, {0, 2, Padding::symmetric, {0, 1, 1}}};
    for (const auto &c : cases) {
        Halide::Runtime::Buffer<float> in(9, 4, c.channels), out(9, 4, 3);
        in.set_min(0, 0, c.c_min);
        in.for_each_element([&](int x, int y, int ch) { in(x, y, ch) = 10.0f * ch + x + 0.1f * y; });
        ASSERT_EQ(call_entry({Layout::rgb, Sample::f32, c.padding}, in, weights(1, 1.0f), 1.0, 0.1, 0.625, out), 0);
        out.for_each_element([&](int x, int y, int k) {
            const float want = c.sources[k] < 0 ? 0.625f : in(x, y, c.sources[k]);
            ASSERT_EQ(bits_from_float(out(x, y, k)), bits_from_float(want)) << padding_name(c.padding) << " channel " << k;
        });
    }
}

}  // namespace
}  // namespace bilateral
