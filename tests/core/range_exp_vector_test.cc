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
// The kernels' form: four vectors in lockstep, for arguments that are never
// positive; `count` a multiple of four vectors.
void range_exp_kernel_array(const float *t, float *out, size_t count) {
    const hn::ScalableTag<float> d;
    const size_t lanes = hn::Lanes(d);
    for (size_t i = 0; i < count; i += 4 * lanes) {
        hn::Vec<decltype(d)> v[4];
        for (size_t k = 0; k < 4; ++k) v[k] = hn::LoadU(d, t + i + k * lanes);
        range_exp_nonpositive<4>(d, v);
        for (size_t k = 0; k < 4; ++k) hn::StoreU(v[k], d, out + i + k * lanes);
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
HWY_EXPORT(range_exp_array);
HWY_EXPORT(range_exp_kernel_array);
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
        // Any argument through the general form; the non-positive half
        // (and NaN) through the kernels' form.
        std::vector<float> non_positive(t.size());
        for (size_t n = 0; n < t.size(); ++n) non_positive[n] = t[n] > 0.0f ? -t[n] : t[n];
        std::vector<float> kernel_out(t.size());
        HWY_DYNAMIC_DISPATCH(range_exp_array)(t.data(), out.data(), t.size());
        HWY_DYNAMIC_DISPATCH(range_exp_kernel_array)(non_positive.data(), kernel_out.data(), t.size());
        for (size_t n = 0; n < t.size(); ++n) {
            for (auto [arg, got] : {std::pair{t[n], out[n]}, std::pair{non_positive[n], kernel_out[n]}}) {
                const float want = range_exp_scalar(arg);
                if (std::isnan(want)) {
                    ASSERT_TRUE(std::isnan(got)) << hwy::TargetName(target) << " t bits " << bits_from_float(arg);
                } else {
                    ASSERT_EQ(bits_from_float(got), bits_from_float(want))
                        << hwy::TargetName(target) << " t bits " << std::hex << bits_from_float(arg);
                }
            }
        }
    }
    hwy::SetSupportedTargetsForTest(0);
    EXPECT_GT(vector_targets, 0) << "no vector target ran on this machine";
}

}  // namespace
}  // namespace bilateral
#endif  // HWY_ONCE
