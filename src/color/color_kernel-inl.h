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

#include "core/tile_kernel.h"
#include "hwy/highway.h"
#include "uint8/convert-inl.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Per tap: sum = fma(e, W, sum) and num_k = fma(S_k * W, e, num_k) for the
// three output channels; each output is num_k / sum.
struct ColorAccumulate {
    template <class D, class T, class Weight>
    static void row(D d, const BlockJob<T> &job, int32_t r, const Weight &weight) {
        using V = hn::Vec<D>;
        const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
        const int32_t taps = job.N * job.N;
        const int64_t s0 = job.source[0], s1 = job.source[1], s2 = job.source[2];
        const int64_t out_row = r * job.out_stride;
        for (int32_t q = 0; q < job.cols; q += lanes) {
            V sum = hn::Zero(d), num0 = hn::Zero(d), num1 = hn::Zero(d), num2 = hn::Zero(d);
            for (int32_t t = 0; t < taps; ++t) {
                const V e = weight(t, q);
                const V w = hn::Set(d, job.spatial[t]);
                const float *s = job.tap_sample[t] + q;
                sum = hn::MulAdd(e, w, sum);
                num0 = hn::MulAdd(hn::Mul(hn::LoadU(d, s + s0), w), e, num0);
                num1 = hn::MulAdd(hn::Mul(hn::LoadU(d, s + s1), w), e, num1);
                num2 = hn::MulAdd(hn::Mul(hn::LoadU(d, s + s2), w), e, num2);
            }
            const size_t count = static_cast<size_t>(std::min(lanes, job.cols - q));
            store_quotients(d, hn::Div(num0, sum), job.out[0] + out_row + q, count);
            store_quotients(d, hn::Div(num1, sum), job.out[1] + out_row + q, count);
            store_quotients(d, hn::Div(num2, sum), job.out[2] + out_row + q, count);
        }
    }
};

}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#endif  // BILATERAL_COLOR_COLOR_KERNEL_INL_H_
