// The vector instantiation of range_exp on every compiled target gives the
// scalar bits in every lane.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/range_exp_vector_test.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "core/range_exp-inl.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
// Evaluates range_exp over `count` values, a multiple of the lane count.
void range_exp_array(const float *t, float *out, size_t count) {
    const hn::ScalableTag<float> d;
    for (size_t i = 0; i < count; i += hn::Lanes(d)) hn::StoreU(range_exp_vector(d, hn::LoadU(d, t + i)), d, out + i);
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
HWY_EXPORT(range_exp_array);
namespace {

TEST(RangeExpVector, EveryTargetMatchesTheScalarBits) {
    std::mt19937 rng(12);
    std::uniform_real_distribution<float> wide(-100.0f, 100.0f);
    std::vector<float> t(1 << 18), out(t.size());
    for (size_t n = 0; n < t.size(); ++n) {
        switch (n % 4) {
            case 0: t[n] = wide(rng); break;
            case 1: t[n] = -std::ldexp(static_cast<float>(n % 4096), -12); break;
            case 2: t[n] = float_from_bits(static_cast<uint32_t>(rng())); break;  // NaN, inf, subnormal
            default: t[n] = -float_from_bits(0x42AE0000u + static_cast<uint32_t>(n % 0x20000));  // the cut-off
        }
    }
    int vector_targets = 0;
    for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        if (!vector_kernels_usable()) continue;  // the fallback target never runs the vector code
        ++vector_targets;
        HWY_DYNAMIC_DISPATCH(range_exp_array)(t.data(), out.data(), t.size());
        for (size_t n = 0; n < t.size(); ++n) {
            const float want = range_exp_scalar(t[n]);
            if (std::isnan(want)) {
                ASSERT_TRUE(std::isnan(out[n])) << hwy::TargetName(target) << " t bits " << bits_from_float(t[n]);
            } else {
                ASSERT_EQ(bits_from_float(out[n]), bits_from_float(want))
                    << hwy::TargetName(target) << " t bits " << std::hex << bits_from_float(t[n]);
            }
        }
    }
    hwy::SetSupportedTargetsForTest(0);
    EXPECT_GT(vector_targets, 0) << "no vector target ran on this machine";
}

}  // namespace
}  // namespace bilateral
#endif  // HWY_ONCE
