// Catches wrong arithmetic shared by every path: range_exp bits, boundary rules, per-call scalars, the 8-bit store, contraction.
#include <gtest/gtest.h>

#include <HalideBuffer.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "core/boundary.h"
#include "core/range_exp.h"
#include "entry/scalars.h"
#include "front_end.h"
#include "reference/reference.h"
#include "uint8/convert.h"

namespace bilateral {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity(), kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr uint32_t kNaNBits = 0x7FC00000;  // stands for any NaN
uint32_t bits(float f) { return std::isnan(f) ? kNaNBits : bits_from_float(f); }

// Written-out bits, independent of the oracle: a fault shared by library and oracle still shows.
TEST(Arithmetic, PinnedWorkedValues) {
    const struct { float t; uint32_t bits; } exp_cases[] = {
        {0.0f, 0x3F800000}, {-1e-30f, 0x3F800000}, {-1.0f, 0x3EBC5AB2}, {-0.1f, 0x3F67A36C},
        {-10.0f, 0x383E6BCE}, {-87.3365478515625f, 0x007FFFE8}, {-87.5f, 0x00000000}, {-104.0f, 0x00000000},
        {-kInf, 0x00000000}, {100.0f, 0x7F800000}, {kNaN, kNaNBits}};
    for (const auto &c : exp_cases) EXPECT_EQ(bits(range_exp_scalar(c.t)), c.bits) << "t = " << c.t;

    // Gray row 1 2 4 8, N = 3, Gaussian weights of sigma 1, range sigma 2, pad 0.5.
    Halide::Runtime::Buffer<float> in(4, 1), w(3, 3);
    const float row[4] = {1, 2, 4, 8};
    const std::vector<float> g = gaussian_weights(3, 1.0);
    in.for_each_element([&](int x, int) { in(x, 0) = row[x]; });
    w.for_each_element([&](int i, int j) { w(i, j) = g[j * 3 + i]; });
    const struct { Padding padding; uint32_t bits[4]; } row_cases[] = {
        {Padding::constant, {0x3F4696BF, 0x3FA384DF, 0x40331C9F, 0x40F5AC38}},
        {Padding::replicate, {0x3F9FFD24, 0x4006BE12, 0x406E0457, 0x40F9C71F}},
        {Padding::symmetric, {0x3F9FFD24, 0x4006BE12, 0x406E0457, 0x40F9C71F}}};  // a reach of 1: mirror = clamp
    for (const auto &c : row_cases) {
        Halide::Runtime::Buffer<float> out(4, 1);
        ASSERT_EQ(call_entry({Layout::gray, Sample::f32, c.padding}, in, w, 3.0, 2.0, 0.5, out), 0);
        for (int x = 0; x < 4; ++x) EXPECT_EQ(bits(out(x, 0)), c.bits[x]) << padding_name(c.padding) << " x " << x;
    }
}

TEST(Arithmetic, RangeExpMatchesTheOracleOverASweep) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> wide(-100.0f, 100.0f), narrow(-1.0f, 0.0f);
    for (uint32_t n = 0; n < 400000; ++n) {
        const float t = n % 4 == 0 ? wide(rng) : n % 4 == 1 ? narrow(rng) : n % 4 == 2 ? float_from_bits(rng())
                                                                        : -float_from_bits(0x42AE0000u + n % 0x20000);
        ASSERT_EQ(bits(range_exp_scalar(t)), bits(bilateral_test::ref_range_exp(t))) << std::hex << bits(t);
    }
}

TEST(Arithmetic, BoundaryRules) {
    const struct { int32_t v, m, e, mirror, clamp; bool inside; } cases[] = {
        {2, 0, 3, 2, 2, true},    {0, 0, 3, 0, 0, true},     {-1, 0, 3, 0, 0, false},   {3, 0, 3, 2, 2, false},
        {-4, 0, 3, 2, 0, false},  {6, 0, 3, 0, 2, false},    {12, 5, 3, 6, 7, false},   {-45, -40, 3, -39, -40, false},
        {-1000, 0, 1, 0, 0, false}, {999, 0, 1, 0, 0, false}, {-1000003, 0, 1000, 2, 0, false},
        {1 << 30, 5, 10, 5, 14, false}};
    for (const auto &c : cases) {
        bool inside = true;
        EXPECT_EQ(extend_index<Padding::constant>(c.v, c.m, c.m + c.e, c.e, inside), c.v);
        EXPECT_EQ(inside, c.inside) << c.v << " in [" << c.m << ", +" << c.e << ")";
        EXPECT_EQ(mirror_index(c.v, c.m, c.e), c.mirror) << c.v << " in [" << c.m << ", +" << c.e << ")";
        EXPECT_EQ(clamp_index(c.v, c.m, c.m + c.e), c.clamp) << c.v << " in [" << c.m << ", +" << c.e << ")";
    }
}

TEST(Arithmetic, PerCallScalars) {
    const double nan = std::nan("");
    const struct { double window; int32_t N, off; double sigma; uint32_t R; double pad; uint32_t pad_f; uint8_t pad_u8; } cases[] = {
        {9.0, 9, -4, 0.1, 0x3CA3D70A, 300.0, 0x43960000, 44},   // R from 0.02 in double, not from float(0.1)
        {7.9, 7, -3, 0.7, 0x3F7AE148, -1.0, 0xBF800000, 255},
        {4.0, 4, -2, 25.5, 0x44A29000, 256.0, 0x43800000, 0},    // an even window reaches further left/up
        {1.0, 1, 0, -0.1, 0x3CA3D70A, 0.1, 0x3DCCCCCD, 0},
        {0.5, 0, 0, 1e-30, 0x00000000, nan, kNaNBits, 0},
        {nan, 0, 0, 1e30, 0x7F800000, 1e10, 0x501502F9, 255},     // saturated, then the low eight bits
        {-3.0, -3, 1, 0.0, 0x00000000, 200.7, 0x4348B333, 200},
        {1e12, INT32_MAX, INT32_MIN, 1.0, 0x40000000, -1e10, 0xD01502F9, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(window_taps(c.window), c.N) << "window " << c.window;
        EXPECT_EQ(window_offset(c.window), c.off) << "window " << c.window;
        EXPECT_EQ(bits(range_term(c.sigma)), c.R) << "sigma " << c.sigma;
        EXPECT_EQ(bits(pad_value_f32(c.pad)), c.pad_f) << "pad " << c.pad;
        EXPECT_EQ(pad_sample_u8(c.pad), c.pad_u8) << "pad " << c.pad;
    }
}

TEST(Arithmetic, QuotientToEightBitsTruncatesAndSaturates) {
    const struct { float q; uint8_t out; } cases[] = {
        {0.99f, 0}, {1.0f, 1}, {254.999f, 254}, {255.5f, 255}, {-0.5f, 0}, {-1.0f, 0}, {1e9f, 255},
        {-1e9f, 0}, {40000.0f, 255}, {kNaN, 0}, {kInf, 255}, {-kInf, 0}};
    for (const auto &c : cases) EXPECT_EQ(quotient_to_u8(c.q), c.out) << "q = " << c.q;
}

// Contraction would fuse a*b + c: with a = b = 1 + 2^-12 and c = -(1 + 2^-11) the
// rounded product cancels to 0, the fused one leaves 2^-24.
#if defined(__x86_64__)
__attribute__((target("fma")))
#endif
float multiply_add(float a, float b, float c) {
    volatile float va = a, vb = b, vc = c;
    const float x = va, y = vb, z = vc;
    return x * y + z;
}

TEST(Arithmetic, TranslationUnitsAreCompiledWithoutContraction) {
    const float a = float_from_bits(0x3F800800), c = float_from_bits(0xBF801000);
    EXPECT_EQ(bits_from_float(multiply_add(a, a, c)), 0u) << "compile with -ffp-contract=off";
}

}  // namespace
}  // namespace bilateral
