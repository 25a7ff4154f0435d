// Per-target body of the colour kernel: lanes are neighbouring output
// columns; every lane runs the taps in window order and the channels of the
// distance in ascending order, so each sample gets the same bits as the
// scalar path.

#if defined(BILATERAL_COLOR_COLOR_KERNEL_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef BILATERAL_COLOR_COLOR_KERNEL_INL_H_
#undef BILATERAL_COLOR_COLOR_KERNEL_INL_H_
#else
#define BILATERAL_COLOR_COLOR_KERNEL_INL_H_
#endif

#include <algorithm>
#include <cstdint>

#include "color/color_kernel.h"
#include "core/range_exp-inl.h"
#include "hwy/highway.h"
#include "uint8/convert-inl.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// One range weight per tap serves the weight sum and all three numerators:
// D = fma(d, d, D) over the input channels, e = range_exp(-D / R),
// sum = fma(e, W, sum), num_k = fma(S_k * W, e, num_k); out_k = num_k / sum.
// kChannels > 0 fixes the channel count so the centre colour stays in
// registers; 0 reads it from the staged planes for any count.
template <int kChannels, class T>
void color_rows_fixed(const ColorRows<T> &job) {
    const hn::ScalableTag<float> d;
    using V = hn::Vec<decltype(d)>;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const int32_t channels = kChannels > 0 ? kChannels : job.channels;
    const V minus_R = hn::Set(d, -job.R);  // -D / R == D / -R, bit for bit
    const int64_t centre_offset = job.centre * job.stride + job.centre;
    for (int32_t r = 0; r < job.rows; ++r) {
        for (int32_t q = 0; q < job.cols; q += lanes) {
            const int64_t at = r * job.stride + q;
            V centre[kChannels > 0 ? kChannels : 1];
            if constexpr (kChannels > 0) {
                for (int ch = 0; ch < kChannels; ++ch) {
                    centre[ch] = load_samples(d, job.staged + ch * job.plane + at + centre_offset);
                }
            }
            V sum = hn::Zero(d), num0 = hn::Zero(d), num1 = hn::Zero(d), num2 = hn::Zero(d);
            for (int32_t j = 0; j < job.N; ++j) {
                const float *spatial = job.w_host + (j * job.w_y_stride - job.w_base);
                for (int32_t i = 0; i < job.N; ++i) {
                    const int64_t tap = at + j * job.stride + i;
                    V D = hn::Zero(d);
                    for (int32_t ch = 0; ch < channels; ++ch) {
                        const T *plane = job.staged + ch * job.plane;
                        const V c = kChannels > 0 ? centre[ch] : load_samples(d, plane + at + centre_offset);
                        const V diff = hn::Sub(c, load_samples(d, plane + tap));
                        D = hn::MulAdd(diff, diff, D);
                    }
                    const V e = range_exp_vector(d, hn::Div(D, minus_R));
                    const V w = hn::Set(d, spatial[i]);
                    sum = hn::MulAdd(e, w, sum);
                    num0 = hn::MulAdd(hn::Mul(load_samples(d, job.source[0] + tap), w), e, num0);
                    num1 = hn::MulAdd(hn::Mul(load_samples(d, job.source[1] + tap), w), e, num1);
                    num2 = hn::MulAdd(hn::Mul(load_samples(d, job.source[2] + tap), w), e, num2);
                }
            }
            const int64_t x = r * job.out_stride + q;
            const size_t count = static_cast<size_t>(std::min(lanes, job.cols - q));
            store_quotients(d, hn::Div(num0, sum), job.out[0] + x, count);
            store_quotients(d, hn::Div(num1, sum), job.out[1] + x, count);
            store_quotients(d, hn::Div(num2, sum), job.out[2] + x, count);
        }
    }
}

template <class T>
void color_rows(const ColorRows<T> &job) {
    switch (job.channels) {
        case 1: return color_rows_fixed<1>(job);
        case 2: return color_rows_fixed<2>(job);
        case 3: return color_rows_fixed<3>(job);
        case 4: return color_rows_fixed<4>(job);
        default: return color_rows_fixed<0>(job);
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#endif  // BILATERAL_COLOR_COLOR_KERNEL_INL_H_
