// Per-target sums of the colour kernel: one range weight per tap serves the
// weight sum and all three numerators. Lanes are neighbouring output columns;
// every lane runs the taps in window order.

#if defined(BILATERAL_COLOR_COLOR_KERNEL_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef BILATERAL_COLOR_COLOR_KERNEL_INL_H_
#undef BILATERAL_COLOR_COLOR_KERNEL_INL_H_
#else
#define BILATERAL_COLOR_COLOR_KERNEL_INL_H_
#endif

#include <algorithm>
#include <cstdint>

#include "core/block_driver-inl.h"
#include "core/block_job.h"
#include "hwy/highway.h"
#include "samples/convert-inl.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Per tap: sum = fma(e, W, sum) and num_k = fma(S_k * W, e, num_k) for the
// kOutputs output channels, S_k read from the plane source[k] away from plane
// 0; each output is num_k / sum. The range weight e enters both sums on its
// own, so the tile driver never hands this kernel weight planes that hold
// products, and row() ignores kProducts. A chunk of kV vectors of sums stays
// in registers while the tap loop runs over it.
template <int kOutputs>
struct ColorAccumulate {
    static_assert(kOutputs == 1 || kOutputs == 3);
    static constexpr int kChunk =
        kSizelessVectors ? 1 : (kVectorRegisters >= 32 ? 4 : 2) * (kOutputs == 1 ? 2 : 1);

    template <int kV, class D, class T, class Weights>
    static HWY_INLINE void chunk(D d, const BlockJob<T> &job, int32_t q, int64_t out_row, const Weights &weights) {
        using V = hn::Vec<D>;
        const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
        const int32_t taps = job.taps.taps;
        const int64_t s0 = job.source[0], s1 = job.source[1], s2 = job.source[2];
        VecGroup<D, kV> sum, num0, num1, num2;
        for (int v = 0; v < kV; ++v) {
            at<kV>(sum, v) = at<kV>(num0, v) = hn::Zero(d);
            if constexpr (kOutputs == 3) at<kV>(num1, v) = at<kV>(num2, v) = hn::Zero(d);
        }
        for (int32_t t = 0; t < taps; ++t) {
            const V w = hn::Set(d, job.taps.spatial[t]);
            const float *s = job.tap_sample[t] + q;
            VecGroup<D, kV> es;
            weights(t, q, es);
            for (int v = 0; v < kV; ++v) {
                const V e = at<kV>(es, v);
                const float *sv = s + v * lanes;
                at<kV>(sum, v) = hn::MulAdd(e, w, at<kV>(sum, v));
                at<kV>(num0, v) = hn::MulAdd(hn::Mul(hn::LoadU(d, sv + s0), w), e, at<kV>(num0, v));
                if constexpr (kOutputs == 3) {
                    at<kV>(num1, v) = hn::MulAdd(hn::Mul(hn::LoadU(d, sv + s1), w), e, at<kV>(num1, v));
                    at<kV>(num2, v) = hn::MulAdd(hn::Mul(hn::LoadU(d, sv + s2), w), e, at<kV>(num2, v));
                }
            }
        }
        for (int v = 0; v < kV; ++v) {
            const int32_t x = q + v * lanes;
            const size_t count = static_cast<size_t>(std::min(lanes, job.cols - x));
            const int64_t at_x = out_row + x * job.out_x_stride;
            store_quotients(d, hn::Div(at<kV>(num0, v), at<kV>(sum, v)), job.out[0] + at_x, count, job.round, job.out_x_stride);
            if constexpr (kOutputs == 3) {
                store_quotients(d, hn::Div(at<kV>(num1, v), at<kV>(sum, v)), job.out[1] + at_x, count, job.round, job.out_x_stride);
                store_quotients(d, hn::Div(at<kV>(num2, v), at<kV>(sum, v)), job.out[2] + at_x, count, job.round, job.out_x_stride);
            }
        }
    }

    template <bool kProducts, class D, class T, class Weights>
    static void row(D d, const BlockJob<T> &job, int32_t r, const Weights &weights) {
        const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
        const int64_t out_row = r * job.out_stride;
        int32_t q = 0;
        if constexpr (kChunk > 1) {
            for (; q + kChunk * lanes <= job.cols; q += kChunk * lanes) chunk<kChunk>(d, job, q, out_row, weights);
        }
        for (; q < job.cols; q += lanes) chunk<1>(d, job, q, out_row, weights);
    }
};

}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#endif  // BILATERAL_COLOR_COLOR_KERNEL_INL_H_
