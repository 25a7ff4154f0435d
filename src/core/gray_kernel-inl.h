// Per-target body of the gray kernel: lanes are neighbouring output columns,
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

#include "core/gray_kernel.h"
#include "core/range_exp-inl.h"
#include "hwy/highway.h"
#include "uint8/convert-inl.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// For every output sample: w = range_exp(d * -d / R) * W(i, j) per tap,
// sum = w + sum, acc = fma(w, n, acc), then acc / sum.
template <class T>
void gray_rows(const GrayRows<T> &job) {
    const hn::ScalableTag<float> d;
    using V = hn::Vec<decltype(d)>;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const V minus_R = hn::Set(d, -job.R);  // (d * -d) / R == (d * d) / -R, bit for bit
    const int64_t centre_offset = job.centre * job.stride + job.centre;
    for (int32_t r = 0; r < job.rows; ++r) {
        const T *row = job.staged + r * job.stride;
        T *out = job.out + r * job.out_stride;
        for (int32_t q = 0; q < job.cols; q += lanes) {
            const T *base = row + q;
            const V centre = load_samples(d, base + centre_offset);
            V sum = hn::Zero(d), acc = hn::Zero(d);
            for (int32_t j = 0; j < job.N; ++j) {
                const T *neighbours = base + j * job.stride;
                const float *spatial = job.w_host + (j * job.w_y_stride - job.w_base);
                for (int32_t i = 0; i < job.N; ++i) {
                    const V n = load_samples(d, neighbours + i);
                    const V diff = hn::Sub(centre, n);
                    const V t = hn::Div(hn::Mul(diff, diff), minus_R);
                    const V w = hn::Mul(range_exp_vector(d, t), hn::Set(d, spatial[i]));
                    sum = hn::Add(w, sum);
                    acc = hn::MulAdd(w, n, acc);
                }
            }
            store_quotients(d, hn::Div(acc, sum), out + q, static_cast<size_t>(std::min(lanes, job.cols - q)));
        }
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#endif  // BILATERAL_CORE_GRAY_KERNEL_INL_H_
