// Per-target sums of the gray kernel: lanes are neighbouring output columns,
// and every lane runs the taps in window order, so each sample gets the same
// bits as the scalar path.

#if defined(BILATERAL_CORE_GRAY_KERNEL_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef BILATERAL_CORE_GRAY_KERNEL_INL_H_
#undef BILATERAL_CORE_GRAY_KERNEL_INL_H_
#else
#define BILATERAL_CORE_GRAY_KERNEL_INL_H_
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

// Per tap: w = e * W(i, j), sum = w + sum, and acc_k = fma(w, S_k, acc_k) for
// each of the kOutputs output channels, S_k read from the plane source[k] away
// from the plane the weights compare (the same plane for a plain gray call);
// each output sample is acc_k / sum. With kProducts the weights arrive as w
// already. A chunk of kV vectors of sums stays in registers while the tap loop
// runs over it, so each row of a weight plane streams through once per chunk.
template <int kOutputs>
struct GrayAccumulate {
    static_assert(kOutputs == 1 || kOutputs == 3);
    static constexpr int kChunk =
        kSizelessVectors ? 1 : (kVectorRegisters >= 32 ? 8 : 4) / (kOutputs == 1 ? 1 : 2);

    template <bool kProducts, int kV, class D, class T, class Weights>
    static HWY_INLINE void chunk(D d, const BlockJob<T> &job, int32_t q, int64_t out_row, const Weights &weights) {
        using V = hn::Vec<D>;
        const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
        const int32_t taps = job.taps.taps;
        const int64_t s0 = job.source[0], s1 = job.source[1], s2 = job.source[2];
        VecGroup<D, kV> sum, acc0, acc1, acc2;
        for (int v = 0; v < kV; ++v) {
            at<kV>(sum, v) = at<kV>(acc0, v) = hn::Zero(d);
            if constexpr (kOutputs == 3) at<kV>(acc1, v) = at<kV>(acc2, v) = hn::Zero(d);
        }
        for (int32_t t = 0; t < taps; ++t) {
            const V spatial = hn::Set(d, job.taps.spatial[t]);
            const float *n = job.tap_sample[t] + q;
            VecGroup<D, kV> e;
            weights(t, q, e);
            for (int v = 0; v < kV; ++v) {
                const V w = kProducts ? at<kV>(e, v) : hn::Mul(at<kV>(e, v), spatial);
                const float *nv = n + v * lanes;
                at<kV>(sum, v) = hn::Add(w, at<kV>(sum, v));
                at<kV>(acc0, v) = hn::MulAdd(w, hn::LoadU(d, nv + s0), at<kV>(acc0, v));
                if constexpr (kOutputs == 3) {
                    at<kV>(acc1, v) = hn::MulAdd(w, hn::LoadU(d, nv + s1), at<kV>(acc1, v));
                    at<kV>(acc2, v) = hn::MulAdd(w, hn::LoadU(d, nv + s2), at<kV>(acc2, v));
                }
            }
        }
        for (int v = 0; v < kV; ++v) {
            const int32_t x = q + v * lanes;
            const size_t count = static_cast<size_t>(std::min(lanes, job.cols - x));
            const int64_t at_x = out_row + x * job.out_x_stride;
            store_quotients(d, hn::Div(at<kV>(acc0, v), at<kV>(sum, v)), job.out[0] + at_x, count, job.round, job.out_x_stride);
            if constexpr (kOutputs == 3) {
                store_quotients(d, hn::Div(at<kV>(acc1, v), at<kV>(sum, v)), job.out[1] + at_x, count, job.round, job.out_x_stride);
                store_quotients(d, hn::Div(at<kV>(acc2, v), at<kV>(sum, v)), job.out[2] + at_x, count, job.round, job.out_x_stride);
            }
        }
    }

    template <bool kProducts, class D, class T, class Weights>
    static void row(D d, const BlockJob<T> &job, int32_t r, const Weights &weights) {
        const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
        const int64_t out_row = r * job.out_stride;
        int32_t q = 0;
        if constexpr (kChunk > 1) {
            for (; q + kChunk * lanes <= job.cols; q += kChunk * lanes) chunk<kProducts, kChunk>(d, job, q, out_row, weights);
        }
        for (; q < job.cols; q += lanes) chunk<kProducts, 1>(d, job, q, out_row, weights);
    }
};

}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#endif  // BILATERAL_CORE_GRAY_KERNEL_INL_H_
