// Catches arithmetic faults: range_exp bits (scalar and SIMD), boundary rules, call scalars, 8-bit store, contraction.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/arithmetic_test.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "core/range_exp-inl.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
// out[i]: the general form at t[i]; out[count + i]: the lockstep form at -|t[i]|. count: a multiple of 4 vectors.
void range_exp_both(const float *t, float *out, size_t count) {
    const hn::ScalableTag<float> d;
    constexpr int K = kSizelessVectors ? 1 : 4;  // the kernels' lockstep group
    for (size_t i = 0, lanes = hn::Lanes(d); i < count; i += K * lanes) {
        VecGroup<decltype(d), K> v;
        for (int k = 0; k < K; ++k) at<K>(v, k) = hn::LoadU(d, t + i + k * lanes);
        for (int k = 0; k < K; ++k) hn::StoreU(range_exp<VectorOps<decltype(d)>>(at<K>(v, k)), d, out + i + k * lanes);
        for (int k = 0; k < K; ++k) at<K>(v, k) = hn::Neg(hn::Abs(at<K>(v, k)));
        range_exp_nonpositive<K>(d, v);
        for (int k = 0; k < K; ++k) hn::StoreU(at<K>(v, k), d, out + count + i + k * lanes);
    }
}
}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <gtest/gtest.h>

#include <HalideBuffer.h>

#include <cmath>
#include <random>

#include "core/boundary.h"
#include "core/simd.h"
#include "entry/scalars.h"
#include "front/defaults.h"
#include "front/variants.h"
#include "reference/reference.h"
#include "samples/convert.h"

namespace bilateral {
HWY_EXPORT(range_exp_both);
namespace {

constexpr float kInf = HUGE_VALF, kNaN = NAN;
constexpr uint32_t kNaNBits = 0x7FC00000;  // stands for any NaN
uint32_t bits(float f) { return std::isnan(f) ? kNaNBits : bits_from_float(f); }

// Written-out bits, independent of the oracle, so that a fault shared by library and oracle still shows.
TEST(Arithmetic, PinnedWorkedValues) {
    const struct { float t; uint32_t bits; } exp_cases[] = {
        {0.0f, 0x3F800000}, {-1e-30f, 0x3F800000}, {-1.0f, 0x3EBC5AB2}, {-0.1f, 0x3F67A36C}, {-10.0f, 0x383E6BCE},
        {-87.3365478515625f, 0x007FFFE8} /* subnormal, kept */, {-87.5f, 0}, {-104.0f, 0}, {-kInf, 0},
        {100.0f, 0x7F800000}, {kNaN, kNaNBits}};
    for (const auto &c : exp_cases) EXPECT_EQ(bits(range_exp_scalar(c.t)), c.bits) << "range_exp at " << c.t;

    // The gray row 1 2 4 8: N = 3, Gaussian weights of sigma 1, range sigma 2, pad 0.5.
    std::vector<float> g = front::gaussian_weights(3, 1.0), row = {1, 2, 4, 8};
    Halide::Runtime::Buffer<float> in(row.data(), 4, 1), w(g.data(), 3, 3), out(4, 1);
    const struct { front::Padding padding; uint32_t bits[4]; } rows[] = {
        {front::Padding::constant, {0x3F4696BF, 0x3FA384DF, 0x40331C9F, 0x40F5AC38}},
        {front::Padding::replicate, {0x3F9FFD24, 0x4006BE12, 0x406E0457, 0x40F9C71F}}};
    for (const auto &r : rows) {
        ASSERT_EQ(front::call_entry({front::Layout::gray, front::Sample::f32, r.padding}, in, w, 3.0, 2.0, 0.5, out), 0);
        for (int x = 0; x < 4; ++x) EXPECT_EQ(bits(out(x, 0)), r.bits[x]) << front::padding_name(r.padding) << " x " << x;
    }
}

// The scalar form against the oracle; every vector target, general and lockstep form, against the scalar bits.
TEST(Arithmetic, RangeExpSweep) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> wide(-100.0f, 100.0f), narrow(-1.0f, 0.0f);
    std::vector<float> t(1 << 18), out(2 * t.size());
    for (uint32_t n = 0; n < t.size(); ++n) {  // any bits (NaN, inf, subnormal), [-100, 100], [-1, 0], the cut-off
        const float any[] = {float_from_bits(rng()), wide(rng), narrow(rng), -float_from_bits(0x42AE0000u + n)};
        t[n] = any[n % 4];
        ASSERT_EQ(bits(range_exp_scalar(t[n])), bits(bilateral_test::ref_range_exp(t[n]))) << std::hex << bits(t[n]);
    }
    int vector_targets = 0;
    for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        if (!vector_kernels_usable()) continue;  // the fallback target never runs the vector code
        HWY_DYNAMIC_DISPATCH(range_exp_both)(t.data(), out.data(), t.size()), ++vector_targets;
        for (size_t n = 0; n < out.size(); ++n) {
            const float want = range_exp_scalar(n < t.size() ? t[n] : -std::fabs(t[n - t.size()]));
            ASSERT_EQ(bits(out[n]), bits(want)) << hwy::TargetName(target) << (n < t.size() ? " at " : " lockstep, -|")
                                                << std::hex << bits_from_float(t[n % t.size()]);
        }
    }
    hwy::SetSupportedTargetsForTest(0);
    EXPECT_GT(vector_targets, 0) << "no vector target ran on this machine";
}

TEST(Arithmetic, BoundaryRules) {  // mirror: the edge sample repeated, period 2e; clamp; constant: inside [m, m + e)
    const struct { int32_t v, m, e, mirror, clamp; bool inside; } cases[] = {
        {2, 0, 3, 2, 2, true}, {0, 0, 3, 0, 0, true}, {-1, 0, 3, 0, 0, false}, {3, 0, 3, 2, 2, false},
        {-4, 0, 3, 2, 0, false}, {6, 0, 3, 0, 2, false}, {12, 5, 3, 6, 7, false}, {-45, -40, 3, -39, -40, false},
        {-1000, 0, 1, 0, 0, false}, {999, 0, 1, 0, 0, false}, {-1000003, 0, 1000, 2, 0, false},
        {1 << 30, 5, 10, 5, 14, false}};
    for (const auto &c : cases) {
        bool inside = true;
        const int32_t constant = extend_index<Padding::constant>(c.v, c.m, c.m + c.e, c.e, inside);
        EXPECT_EQ(std::make_tuple(mirror_index(c.v, c.m, c.e), clamp_index(c.v, c.m, c.m + c.e), constant, inside),
                  std::make_tuple(c.mirror, c.clamp, c.v, c.inside)) << c.v << " in [" << c.m << ", +" << c.e << ")";
    }
}

TEST(Arithmetic, PerCallScalars) {  // an even window reaches further left/up; R is 2 sigma^2 rounded once from double
    struct { double window; int N, off; double sigma; uint32_t R; double pad; uint32_t pad32; int pad8, pad16; } cases[] = {
        {9.0, 9, -4, 0.1, 0x3CA3D70A, 300.0, 0x43960000, 44, 300}, {7.9, 7, -3, 0.7, 0x3F7AE148, -1.0, 0xBF800000, 255, 65535},
        {4.0, 4, -2, 25.5, 0x44A29000, 256.0, 0x43800000, 0, 256}, {1.0, 1, 0, -0.1, 0x3CA3D70A, 0.1, 0x3DCCCCCD, 0, 0},
        {NAN, 0, 0, 1e30, 0x7F800000, 1e10, 0x501502F9, 255, 65535}, {-3.0, -3, 1, 0.0, 0, 200.7, 0x4348B333, 200, 200},
        {0.5, 0, 0, 1e-30, 0, NAN, kNaNBits, 0, 0}, {1e12, INT32_MAX, INT32_MIN, 1.0, 0x40000000, -1e10, 0xD01502F9, 0, 0},
        {2.0, 2, -1, 6553.5, 0x4CA3D5C3, 70000.0, 0x4788B800, 112, 4464}};
    for (const auto &c : cases) {
        EXPECT_EQ(std::make_tuple(window_taps(c.window), window_offset(c.window), bits(range_term(c.sigma))),
                  std::make_tuple(c.N, c.off, c.R)) << "window " << c.window << ", sigma " << c.sigma;
        EXPECT_EQ(std::make_tuple(bits(pad_value_f32(c.pad)), int(pad_sample<uint8_t>(c.pad)), int(pad_sample<uint16_t>(c.pad))),
                  std::make_tuple(c.pad32, c.pad8, c.pad16)) << "pad " << c.pad;
    }
}

TEST(Arithmetic, QuotientToIntegerSamplesTruncatesAndSaturates) {
    const struct { float q; uint8_t out8; uint16_t out16; } cases[] = {{0.99f, 0, 0}, {1.0f, 1, 1}, {254.999f, 254, 254},
        {255.5f, 255, 255}, {-0.5f, 0, 0}, {-1.0f, 0, 0}, {1e9f, 255, 65535}, {-1e9f, 0, 0}, {40000.0f, 255, 40000},
        {65534.99f, 255, 65534}, {65535.0f, 255, 65535}, {kNaN, 0, 0}, {kInf, 255, 65535}, {-kInf, 0, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(std::make_pair(quotient_to_sample<uint8_t>(c.q), quotient_to_sample<uint16_t>(c.q)),
                  std::make_pair(c.out8, c.out16)) << "q = " << c.q;
    }
}

// Contraction would fuse x*y + z: for x = y = 1 + 2^-12 and z = -(1 + 2^-11) the rounded
// product cancels to 0, the fused one leaves 2^-24. FMA is allowed here, so only the flag stops it.
#if defined(__x86_64__)
__attribute__((target("fma")))
#endif
float multiply_add(const volatile float *v) { const float x = v[0], y = v[1], z = v[2]; return x * y + z; }

TEST(Arithmetic, CompiledWithoutContraction) {
    const volatile float operands[] = {1 + 0x1p-12f, 1 + 0x1p-12f, -1 - 0x1p-11f};  // volatile: not folded
    EXPECT_EQ(bits_from_float(multiply_add(operands)), 0u) << "build with -ffp-contract=off";
}

}  // namespace
}  // namespace bilateral
#endif  // HWY_ONCE
