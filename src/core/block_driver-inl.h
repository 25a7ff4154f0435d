// Per-target range weights between staged samples, and the block driver that
// fills weight planes and hands each output row to a layout's accumulator.

#if defined(BILATERAL_CORE_BLOCK_DRIVER_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef BILATERAL_CORE_BLOCK_DRIVER_INL_H_
#undef BILATERAL_CORE_BLOCK_DRIVER_INL_H_
#else
#define BILATERAL_CORE_BLOCK_DRIVER_INL_H_
#endif

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "core/block_job.h"
#include "core/range_exp-inl.h"
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// What the weight helpers need of a block: its channel planes.
struct BlockJobShape {
    int64_t plane;
    int32_t channels;
};

// Vector registers of the target: bounds how many vectors are kept in flight.
constexpr int kVectorRegisters = (HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL || HWY_ARCH_ARM_A64) ? 32 : 16;

// Independent weight evaluations issued in lockstep (one on sizeless vectors).
constexpr int kLockstep = kSizelessVectors ? 1 : (kVectorRegisters >= 32 ? 4 : 2);

// e[i] = -D / R between the samples at a[i] and b[i], for K vectors: the
// argument of range_exp. D is the squared difference summed over the channels
// in ascending order with fused multiply-adds (the first square is exact as a
// product: fma(d, d, +0) rounds d * d once). The gray argument (d * -d) / R
// and the colour argument -D / R both equal D / -R bit for bit. kChannels > 0
// fixes the channel count.
template <int kChannels, int K, class D>
HWY_INLINE void range_arguments(D d, const float *const (&a)[K], const float *const (&b)[K], int64_t plane,
                                int32_t channels, hn::Vec<D> minus_R, VecGroup<D, K> &e) {
    for (int i = 0; i < K; ++i) {
        const auto diff = hn::Sub(hn::LoadU(d, a[i]), hn::LoadU(d, b[i]));
        at<K>(e, i) = hn::Mul(diff, diff);
    }
    const int32_t count = kChannels > 0 ? kChannels : channels;
    for (int32_t c = 1; c < count; ++c) {
        for (int i = 0; i < K; ++i) {
            const auto diff = hn::Sub(hn::LoadU(d, a[i] + c * plane), hn::LoadU(d, b[i] + c * plane));
            at<K>(e, i) = hn::MulAdd(diff, diff, at<K>(e, i));
        }
    }
    for (int i = 0; i < K; ++i) at<K>(e, i) = hn::Div(at<K>(e, i), minus_R);
}

// e[i] = range_exp(-D / R) between the samples at a[i] and b[i], for K
// vectors in lockstep.
template <int kChannels, int K, class D>
HWY_INLINE void range_weights(D d, const float *const (&a)[K], const float *const (&b)[K], int64_t plane,
                              int32_t channels, hn::Vec<D> minus_R, VecGroup<D, K> &e) {
    range_arguments<kChannels, K>(d, a, b, plane, channels, minus_R, e);
    range_exp_nonpositive<K>(d, e);
}

// With 16 vector registers few range_exp evaluations fit in flight, and each
// is one long chain: there the arguments go into the planes first and
// range_exp reads them back, so the division's latency leaves the chain. With
// 32 registers the single pass is faster.
constexpr bool kArgumentsFirst = kVectorRegisters < 32;

// Fills K planes at once: plane[i][u] = weight between a[i] + u and b[i] + u
// for u in [0, cols), cols a multiple of the lane count, times scale[i] when
// scale is not NULL (one rounded product, as the sums would form it).
template <int kChannels, int K, class D>
HWY_INLINE void fill_planes(D d, const float *const (&a)[K], const float *const (&b)[K], float *const (&plane)[K],
                            const float *scale, int32_t cols, const BlockJobShape &shape, hn::Vec<D> minus_R) {
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    if constexpr (kArgumentsFirst) {
        for (int32_t u = 0; u < cols; u += lanes) {
            const float *au[K], *bu[K];
            for (int i = 0; i < K; ++i) au[i] = a[i] + u, bu[i] = b[i] + u;
            VecGroup<D, K> t;
            range_arguments<kChannels, K>(d, au, bu, shape.plane, shape.channels, minus_R, t);
            for (int i = 0; i < K; ++i) hn::StoreU(at<K>(t, i), d, plane[i] + u);
        }
    }
    for (int32_t u = 0; u < cols; u += lanes) {
        VecGroup<D, K> e;
        if constexpr (kArgumentsFirst) {
            for (int i = 0; i < K; ++i) at<K>(e, i) = hn::LoadU(d, plane[i] + u);
            range_exp_nonpositive<K>(d, e);
        } else {
            const float *au[K], *bu[K];
            for (int i = 0; i < K; ++i) au[i] = a[i] + u, bu[i] = b[i] + u;
            range_weights<kChannels, K>(d, au, bu, shape.plane, shape.channels, minus_R, e);
        }
        if (scale != nullptr) {
            for (int i = 0; i < K; ++i) at<K>(e, i) = hn::Mul(at<K>(e, i), hn::Set(d, scale[i]));
        }
        for (int i = 0; i < K; ++i) hn::StoreU(at<K>(e, i), d, plane[i] + u);
    }
}

#if HWY_TARGET == HWY_AVX3_DL
// Gray 8-bit range weights by table: the weight depends only on |a - b|, so
// a table of 256 weights (computed with the same operations), held as four
// byte planes in sixteen registers, is looked up 64 samples at a time with
// byte permutes. The floats are the table's bits: results do not change.
struct ByteWeightTable {
    __m512i t[4][4];  // byte b of every weight, entries 64q .. 64q + 63
    __m512i order;    // index bytes reordered so the unpacks below restore lane order
};

template <class D>
HWY_INLINE ByteWeightTable make_byte_table(D d, hn::Vec<D> minus_R) {
    HWY_ALIGN float weights[256];
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    for (int32_t x = 0; x < 256; x += lanes) {
        hn::Vec<D> e = hn::Iota(d, static_cast<float>(x));
        e = hn::Div(hn::Mul(e, e), minus_R);
        range_exp_nonpositive<1>(d, e);
        hn::Store(e, d, weights + x);
    }
    HWY_ALIGN uint8_t bytes[4][256];
    for (int x = 0; x < 256; ++x) {
        uint32_t bits;
        std::memcpy(&bits, &weights[x], sizeof bits);
        for (int b = 0; b < 4; ++b) bytes[b][x] = static_cast<uint8_t>(bits >> (8 * b));
    }
    ByteWeightTable table;
    for (int b = 0; b < 4; ++b) {
        for (int q = 0; q < 4; ++q) table.t[b][q] = _mm512_load_si512(bytes[b] + 64 * q);
    }
    // Byte w of 128-bit block k ends up in vector w / 4, lane 4k + w % 4.
    HWY_ALIGN uint8_t order[64];
    for (int k = 0; k < 4; ++k) {
        for (int w = 0; w < 16; ++w) order[16 * k + w] = static_cast<uint8_t>(16 * (w / 4) + 4 * k + w % 4);
    }
    table.order = _mm512_load_si512(order);
    return table;
}

// plane[u] = table[|a[u] - b[u]|] (times scale, when not NULL) for u in
// [0, cols), cols a multiple of 64.
HWY_INLINE void fill_plane_bytes(const ByteWeightTable &table, const uint8_t *a, const uint8_t *b, float *plane,
                                 const float *scale, int32_t cols) {
    const __m512 factor = _mm512_set1_ps(scale != nullptr ? *scale : 1.0f);
    for (int32_t u = 0; u < cols; u += 64) {
        const __m512i x = _mm512_loadu_si512(a + u), y = _mm512_loadu_si512(b + u);
        const __m512i index = _mm512_permutexvar_epi8(table.order, _mm512_sub_epi8(_mm512_max_epu8(x, y), _mm512_min_epu8(x, y)));
        const __mmask64 high = _mm512_movepi8_mask(index);
        __m512i bytes[4];
        for (int k = 0; k < 4; ++k) {
            const __m512i low_half = _mm512_permutex2var_epi8(table.t[k][0], index, table.t[k][1]);
            const __m512i high_half = _mm512_permutex2var_epi8(table.t[k][2], index, table.t[k][3]);
            bytes[k] = _mm512_mask_blend_epi8(high, low_half, high_half);
        }
        const __m512i b01_low = _mm512_unpacklo_epi8(bytes[0], bytes[1]), b01_high = _mm512_unpackhi_epi8(bytes[0], bytes[1]);
        const __m512i b23_low = _mm512_unpacklo_epi8(bytes[2], bytes[3]), b23_high = _mm512_unpackhi_epi8(bytes[2], bytes[3]);
        __m512 w[4] = {_mm512_castsi512_ps(_mm512_unpacklo_epi16(b01_low, b23_low)),
                       _mm512_castsi512_ps(_mm512_unpackhi_epi16(b01_low, b23_low)),
                       _mm512_castsi512_ps(_mm512_unpacklo_epi16(b01_high, b23_high)),
                       _mm512_castsi512_ps(_mm512_unpackhi_epi16(b01_high, b23_high))};
        for (int m = 0; m < 4; ++m) {
            if (scale != nullptr) w[m] = _mm512_mul_ps(w[m], factor);
            _mm512_storeu_ps(plane + u + 16 * m, w[m]);
        }
    }
}
#endif  // HWY_TARGET == HWY_AVX3_DL

// One row's tap tables: tap_sample[k] points at the neighbour of the k-th tap
// run of the row's first output sample.
template <class T>
HWY_INLINE void point_tap_samples(const BlockJob<T> &job, int32_t r) {
    // Taps ascend, so the window row j follows t without a division.
    for (int32_t k = 0, j = 0, row = 0; k < job.taps.taps; ++k) {
        const int32_t t = job.taps.tap[k];
        for (; t >= row + job.N; row += job.N) ++j;
        job.tap_sample[k] = job.sample(job.off + (t - row), r + job.off + j);
    }
}

// Where the weight planes of a block lie: a ring of h + 1 rows of pair
// planes, then the direct planes. Planes are indexed from column -h.
struct PlaneLayout {
    float *planes;
    int64_t plane_cols;
    int32_t h, pairs;

    float *ring(int32_t row, int32_t k) const { return planes + (int64_t{row} * pairs + k) * plane_cols; }
    float *pair(int32_t v, int32_t k) const { return ring((v + h) % (h + 1), k); }
    float *direct(int32_t k) const { return planes + (int64_t{h + 1} * pairs + k) * plane_cols; }
};

// Blocks whose planes do not fit: every tap's weight is computed where the
// row's sums use it.
template <class Accumulate, int kChannels, class T>
void filter_block_per_tap(const BlockJob<T> &job) {
    const hn::ScalableTag<float> d;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const auto minus_R = hn::Set(d, -job.R);
    for (int32_t r = 0; r < job.rows; ++r) {
        point_tap_samples(job, r);
        const float *centre = job.sample(0, r);
        Accumulate::template row<false>(d, job, r, [&](int32_t t, int32_t q, auto &e) HWY_ATTR {
            constexpr int kV = group_size_v<std::remove_reference_t<decltype(e)>>;
            const float *a[kV], *b[kV];
            for (int v = 0; v < kV; ++v) a[v] = centre + q + v * lanes, b[v] = job.tap_sample[t] + q + v * lanes;
            range_weights<kChannels, kV>(d, a, b, job.plane, job.channels, minus_R, e);
        });
    }
}

// Blocks with weight planes: each sample row's pair weights are computed once
// into the ring, each output row's direct weights once, and every tap reads
// its weight from a plane.
template <class Accumulate, int kChannels, class T>
void filter_block_from_planes(const BlockJob<T> &job) {
    const hn::ScalableTag<float> d;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const auto minus_R = hn::Set(d, -job.R);
    const BlockJobShape shape{job.plane, job.channels};
    const TapPlan &p = job.plan;
    const TapList &list = job.taps;
    const int32_t h = p.h;
    const PlaneLayout layout{job.planes, job.plane_cols, h, p.pairs};
    const int32_t cols = (job.cols + lanes - 1) / lanes * lanes;
    const int32_t pair_cols = (cols + 2 * h + lanes - 1) / lanes * lanes;
    const auto scale_of = [&](int32_t plane) { return job.plane_weight != nullptr ? job.plane_weight + plane : nullptr; };
#if HWY_TARGET == HWY_AVX3_DL
    const bool byte_table = job.staged_bytes != nullptr;
    const ByteWeightTable table = byte_table ? make_byte_table(d, minus_R) : ByteWeightTable{};
    const int32_t cols64 = (cols + 63) / 64 * 64, pair_cols64 = (cols + 2 * h + 63) / 64 * 64;
#endif
    // Pair weights of sample row v, from column -h on: every pair plane the
    // list reads, K at a time in lockstep while K remain, then one at a time;
    // times the plane weights when the planes hold products. Per-row values
    // are hoisted: a plane is only a few vectors wide.
    const auto fill_pairs = [&](int32_t v) HWY_ATTR HWY_NOINLINE {
        const int32_t *const pair = list.pair, *const dx = p.pair_dx, *const dy = p.pair_dy;
        const int32_t count = list.pairs;
        const int64_t stride = job.stride, plane_cols = job.plane_cols;
        const float *const weight = job.plane_weight;
        float *const ring = layout.pair(v, 0);
#if HWY_TARGET == HWY_AVX3_DL
        if (byte_table) {
            const uint8_t *a = job.sample_byte(-h, v);
            for (int32_t m = 0; m < count; ++m) {
                const int32_t k = pair[m];
                fill_plane_bytes(table, a, a + (dx[k] + dy[k] * stride), ring + k * plane_cols,
                                 weight != nullptr ? weight + k : nullptr, pair_cols64);
            }
            return;
        }
#endif
        const float *a = job.sample(-h, v);
        const auto group = [&](auto size, auto scaled, int32_t m) HWY_ATTR {
            constexpr int K = decltype(size)::value;
            constexpr bool kScaled = decltype(scaled)::value;
            const float *as[K], *bs[K];
            float *fs[K];
            float scales[K];
            for (int i = 0; i < K; ++i) {
                const int32_t k = pair[m + i];
                as[i] = a;
                bs[i] = a + (dx[k] + dy[k] * stride);
                fs[i] = ring + k * plane_cols;
                scales[i] = kScaled ? weight[k] : 1.0f;
            }
            fill_planes<kChannels, K>(d, as, bs, fs, kScaled ? scales : nullptr, pair_cols, shape, minus_R);
        };
        const auto groups = [&](auto scaled) HWY_ATTR {
            int32_t m = 0;
            for (; m + kLockstep <= count; m += kLockstep) group(std::integral_constant<int, kLockstep>(), scaled, m);
            for (; m < count; ++m) group(std::integral_constant<int, 1>(), scaled, m);
        };
        if (weight != nullptr) {
            groups(std::true_type());
        } else {
            groups(std::false_type());
        }
    };
    // Direct weights of output row r, between its samples and the unpaired taps.
    const auto fill_directs = [&](int32_t r) HWY_ATTR {
        for (int32_t m = 0; m < list.directs; ++m) {
            const int32_t k = list.direct[m];
#if HWY_TARGET == HWY_AVX3_DL
            if (byte_table) {
                fill_plane_bytes(table, job.sample_byte(0, r), job.sample_byte(p.direct_dx[k], r + p.direct_dy[k]),
                                 layout.direct(k) + h, scale_of(p.pairs + k), cols64);
                continue;
            }
#endif
            const float *as[1] = {job.sample(0, r)}, *bs[1] = {job.sample(p.direct_dx[k], r + p.direct_dy[k])};
            float *fs[1] = {layout.direct(k) + h};
            fill_planes<kChannels, 1>(d, as, bs, fs, scale_of(p.pairs + k), cols, shape, minus_R);
        }
    };

    // Rows above the block hold pair planes only for taps that reach up.
    for (int32_t v = -list.lead; v < 0; ++v) fill_pairs(v);
    for (int32_t r = 0; r < job.rows; ++r) {
        fill_pairs(r);
        fill_directs(r);
        // Ring row of sample row r + dy (-h <= dy <= 0), without a division per tap.
        const int32_t ring_r = (r + h) % (h + 1);
        for (int32_t k = 0; k < list.taps; ++k) {
            const int32_t t = list.tap[k], plane = p.plane[t];
            const int32_t ring = ring_r + p.at_dy[t] + (ring_r + p.at_dy[t] < 0 ? h + 1 : 0);
            const float *base = plane < p.pairs ? layout.ring(ring, plane) : layout.direct(plane - p.pairs);
            job.tap_weight[k] = base + (p.at_dx[t] + h);
        }
        point_tap_samples(job, r);
        const auto load = [&](int32_t t, int32_t q, auto &e) HWY_ATTR {
            constexpr int kV = group_size_v<std::remove_reference_t<decltype(e)>>;
            for (int v = 0; v < kV; ++v) at<kV>(e, v) = hn::LoadU(d, job.tap_weight[t] + q + v * lanes);
        };
        if (job.plane_weight != nullptr) {
            Accumulate::template row<true>(d, job, r, load);
        } else {
            Accumulate::template row<false>(d, job, r, load);
        }
    }
}

// Filters one staged block. Accumulate::row<kProducts>(d, job, r, weights)
// forms output row r, calling weights(t, q, e) for the range weights of tap t
// (with kProducts, already multiplied by W) at the kV vectors starting at
// column q; tap_sample[t] + q points at the tap's neighbours.
template <class Accumulate, int kChannels, class T>
void filter_block(const BlockJob<T> &job) {
    if (job.planes == nullptr) {
        filter_block_per_tap<Accumulate, kChannels>(job);
    } else {
        filter_block_from_planes<Accumulate, kChannels>(job);
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#endif  // BILATERAL_CORE_BLOCK_DRIVER_INL_H_
