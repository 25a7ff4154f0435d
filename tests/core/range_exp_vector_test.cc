// Catches a SIMD target or the kernels' lockstep form whose range_exp lanes differ from the scalar bits.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/range_exp_vector_test.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "core/range_exp-inl.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
// out[0, count) through the general form, out[count, 2 count) through the
// kernels' four-vector form on -|t|; count a multiple of four vectors.
void range_exp_both(const float *t, float *out, size_t count) {
    const hn::ScalableTag<float> d;
    const size_t lanes = hn::Lanes(d);
    for (size_t i = 0; i < count; i += 4 * lanes) {
        hn::Vec<decltype(d)> v[4];
        for (size_t k = 0; k < 4; ++k) {
            v[k] = hn::LoadU(d, t + i + k * lanes);
            hn::StoreU(range_exp_vector(d, v[k]), d, out + i + k * lanes);
            v[k] = hn::Neg(hn::Abs(v[k]));
        }
        range_exp_nonpositive<4>(d, v);
        for (size_t k = 0; k < 4; ++k) hn::StoreU(v[k], d, out + count + i + k * lanes);
    }
}
}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/simd.h"

namespace bilateral {
HWY_EXPORT(range_exp_both);
namespace {

uint32_t bits(float f) { return std::isnan(f) ? 0x7FC00000u : bits_from_float(f); }

TEST(RangeExpVector, EveryTargetMatchesTheScalarBits) {
    std::mt19937 rng(12);
    std::uniform_real_distribution<float> wide(-100.0f, 100.0f);
    std::vector<float> t(1 << 18), out(2 * t.size());
    for (uint32_t n = 0; n < t.size(); ++n) {
        t[n] = n % 4 == 0 ? wide(rng) : n % 4 == 1 ? -std::ldexp(float(n % 4096), -12)
             : n % 4 == 2 ? float_from_bits(rng()) : -float_from_bits(0x42AE0000u + n % 0x20000);  // the cut-off
    }
    int vector_targets = 0;
    for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        if (!vector_kernels_usable()) continue;  // the fallback target never runs the vector code
        ++vector_targets;
        HWY_DYNAMIC_DISPATCH(range_exp_both)(t.data(), out.data(), t.size());
        for (size_t n = 0; n < t.size(); ++n) {
            const float neg = std::isnan(t[n]) ? t[n] : -std::fabs(t[n]);
            ASSERT_EQ(bits(out[n]), bits(range_exp_scalar(t[n]))) << hwy::TargetName(target) << std::hex << bits(t[n]);
            ASSERT_EQ(bits(out[t.size() + n]), bits(range_exp_scalar(neg))) << hwy::TargetName(target) << " lockstep";
        }
    }
    hwy::SetSupportedTargetsForTest(0);
    EXPECT_GT(vector_targets, 0) << "no vector target ran on this machine";
}

}  // namespace
}  // namespace bilateral
#endif  // HWY_ONCE
