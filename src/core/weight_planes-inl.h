// Per-target range weights between staged samples, and the block driver that
// fills weight planes and hands each output row to a layout's accumulator.

#if defined(BILATERAL_CORE_WEIGHT_PLANES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef BILATERAL_CORE_WEIGHT_PLANES_INL_H_
#undef BILATERAL_CORE_WEIGHT_PLANES_INL_H_
#else
#define BILATERAL_CORE_WEIGHT_PLANES_INL_H_
#endif

#include <cstdint>

#include "core/range_exp-inl.h"
#include "core/tile_kernel.h"
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// range_exp(-D / R) between the samples at a and b, D the squared difference
// summed over the channels in ascending order with fused multiply-adds (the
// first square is exact as a product: fma(d, d, +0) rounds d * d once). The
// gray argument (d * -d) / R and the colour argument -D / R both equal D / -R
// bit for bit. kChannels > 0 fixes the channel count.
template <int kChannels, class D>
HWY_INLINE hn::Vec<D> range_weight(D d, const float *HWY_RESTRICT a, const float *HWY_RESTRICT b, int64_t plane,
                                   int32_t channels, hn::Vec<D> minus_R) {
    auto diff = hn::Sub(hn::LoadU(d, a), hn::LoadU(d, b));
    auto dist = hn::Mul(diff, diff);
    const int32_t count = kChannels > 0 ? kChannels : channels;
    for (int32_t c = 1; c < count; ++c) {
        diff = hn::Sub(hn::LoadU(d, a + c * plane), hn::LoadU(d, b + c * plane));
        dist = hn::MulAdd(diff, diff, dist);
    }
    return range_exp_vector(d, hn::Div(dist, minus_R));
}

// Filters one staged block. Accumulate::row(d, job, r, weight) forms output row
// r, asking weight(t, q) for the range weights of tap t at columns q.. of the
// row; tap_sample[t] + q points at the tap's neighbours.
template <class Accumulate, int kChannels, class T>
void filter_block(const BlockJob<T> &job) {
    const hn::ScalableTag<float> d;
    using V = hn::Vec<decltype(d)>;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const V minus_R = hn::Set(d, -job.R);
    const int32_t channels = job.channels;
    const TapPlan &p = job.plan;
    const auto tap_samples_of_row = [&](int32_t r) {
        int32_t t = 0;
        for (int32_t j = 0; j < job.N; ++j) {
            for (int32_t i = 0; i < job.N; ++i) job.tap_sample[t++] = job.sample(job.off + i, r + job.off + j);
        }
    };

    if (job.planes == nullptr) {
        for (int32_t r = 0; r < job.rows; ++r) {
            tap_samples_of_row(r);
            const float *centre = job.sample(0, r);
            Accumulate::row(d, job, r, [&](int32_t t, int32_t q) HWY_ATTR {
                return range_weight<kChannels>(d, centre + q, job.tap_sample[t] + q, job.plane, channels, minus_R);
            });
        }
        return;
    }

    const int32_t h = p.h;
    const int32_t cols = (job.cols + lanes - 1) / lanes * lanes;
    const int32_t pair_cols = (cols + 2 * h + lanes - 1) / lanes * lanes;
    const auto ring_plane = [&](int32_t v, int32_t k) {
        return job.planes + (int64_t{(v + h) % (h + 1)} * p.pairs + k) * job.plane_cols;
    };
    const auto direct_plane = [&](int32_t k) { return job.planes + (int64_t{h + 1} * p.pairs + k) * job.plane_cols; };
    // Pair weights of sample row v, from column -h on.
    const auto fill_pairs = [&](int32_t v) HWY_ATTR {
        const float *a = job.sample(-h, v);
        for (int32_t k = 0; k < p.pairs; ++k) {
            const float *b = job.sample(-h + p.pair_dx[k], v + p.pair_dy[k]);
            float *f = ring_plane(v, k);
            for (int32_t u = 0; u < pair_cols; u += lanes) {
                hn::StoreU(range_weight<kChannels>(d, a + u, b + u, job.plane, channels, minus_R), d, f + u);
            }
        }
    };

    for (int32_t v = -h; v < 0; ++v) fill_pairs(v);
    for (int32_t r = 0; r < job.rows; ++r) {
        fill_pairs(r);
        const float *centre = job.sample(0, r);
        for (int32_t k = 0; k < p.directs; ++k) {
            const float *b = job.sample(p.direct_dx[k], r + p.direct_dy[k]);
            float *f = direct_plane(k) + h;
            for (int32_t u = 0; u < cols; u += lanes) {
                hn::StoreU(range_weight<kChannels>(d, centre + u, b + u, job.plane, channels, minus_R), d, f + u);
            }
        }
        const int32_t taps = job.N * job.N;
        for (int32_t t = 0; t < taps; ++t) {
            const int32_t plane = p.plane[t];
            const float *base = plane < p.pairs ? ring_plane(r + p.at_dy[t], plane) : direct_plane(plane - p.pairs);
            job.tap_weight[t] = base + (p.at_dx[t] + h);
        }
        tap_samples_of_row(r);
        Accumulate::row(d, job, r, [&](int32_t t, int32_t q) HWY_ATTR { return hn::LoadU(d, job.tap_weight[t] + q); });
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#endif  // BILATERAL_CORE_WEIGHT_PLANES_INL_H_
