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

#include "core/tile_kernel.h"
#include "hwy/highway.h"
#include "uint8/convert-inl.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Per tap: w = e * W(i, j), sum = w + sum, acc = fma(w, n, acc); the output
// sample is acc / sum.
struct GrayAccumulate {
    template <class D, class T, class Weight>
    static void row(D d, const BlockJob<T> &job, int32_t r, const Weight &weight) {
        using V = hn::Vec<D>;
        const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
        const int32_t taps = job.N * job.N;
        T *out = job.out[0] + r * job.out_stride;
        for (int32_t q = 0; q < job.cols; q += lanes) {
            V sum = hn::Zero(d), acc = hn::Zero(d);
            for (int32_t t = 0; t < taps; ++t) {
                const V w = hn::Mul(weight(t, q), hn::Set(d, job.spatial[t]));
                sum = hn::Add(w, sum);
                acc = hn::MulAdd(w, hn::LoadU(d, job.tap_sample[t] + q), acc);
            }
            store_quotients(d, hn::Div(acc, sum), out + q, static_cast<size_t>(std::min(lanes, job.cols - q)));
        }
    }
};

}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#endif  // BILATERAL_CORE_GRAY_KERNEL_INL_H_
