// The tile kernel: staging, scratch, and dispatch of each staged block to the
// best vector target or to the portable scalar path.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/tile_kernel.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "color/color_kernel-inl.h"
#include "core/gray_kernel-inl.h"
#include "core/weight_planes-inl.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
void gray_block_f32(const BlockJob<float> &job) { filter_block<GrayAccumulate, 1>(job); }
void gray_block_u8(const BlockJob<uint8_t> &job) { filter_block<GrayAccumulate, 1>(job); }
template <class T>
void color_block(const BlockJob<T> &job) {
    if (job.channels == 3) {
        filter_block<ColorAccumulate, 3>(job);
    } else {
        filter_block<ColorAccumulate, 0>(job);
    }
}
void color_block_f32(const BlockJob<float> &job) { color_block(job); }
void color_block_u8(const BlockJob<uint8_t> &job) { color_block(job); }
}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "color/color_kernel.h"
#include "core/boundary.h"
#include "core/gray_kernel.h"
#include "core/range_exp.h"
#include "core/simd.h"
#include "core/staging.h"
#include "core/tile_kernel.h"
#include "entry/scratch.h"
#include "uint8/convert.h"

namespace bilateral {

HWY_EXPORT(gray_block_f32);
HWY_EXPORT(gray_block_u8);
HWY_EXPORT(color_block_f32);
HWY_EXPORT(color_block_u8);

namespace {

constexpr int kOutputChannels = 3;

// Bytes of weight planes one task may hold. Blocks are as wide as the tile
// when their planes fit (fewer weights are computed twice at block edges),
// narrowing down to 128 columns; windows whose planes do not fit even then
// compute every tap's weight where it is used. With the staged samples this
// keeps a task's scratch under 4 MiB.
constexpr int64_t kPlaneBudget = int64_t{5} << 19;

int64_t round_up(int64_t v, int64_t m) { return (v + m - 1) / m * m; }

template <Layout L>
void filter_block_vector(const BlockJob<float> &job) {
    if constexpr (L == Layout::gray) {
        HWY_DYNAMIC_DISPATCH(gray_block_f32)(job);
    } else {
        HWY_DYNAMIC_DISPATCH(color_block_f32)(job);
    }
}

template <Layout L>
void filter_block_vector(const BlockJob<uint8_t> &job) {
    if constexpr (L == Layout::gray) {
        HWY_DYNAMIC_DISPATCH(gray_block_u8)(job);
    } else {
        HWY_DYNAMIC_DISPATCH(color_block_u8)(job);
    }
}

// True when every pair of taps d and -d has the same spatial weight, bit for
// bit; then plane_weight[k] holds the weight of pair plane k and of each
// direct plane after the pairs.
bool weights_point_symmetric(const TapPlan &plan, const float *spatial, float *plane_weight) {
    const int64_t taps = int64_t{plan.N} * plan.N;
    for (int64_t t = 0; t < taps; ++t) {
        if (plan.plane[t] >= plan.pairs || (plan.at_dx[t] == 0 && plan.at_dy[t] == 0)) plane_weight[plan.plane[t]] = spatial[t];
    }
    for (int64_t t = 0; t < taps; ++t) {
        if (bits_from_float(plane_weight[plan.plane[t]]) != bits_from_float(spatial[t])) return false;
    }
    return true;
}

// Index of output channel k within the input's channel range, or -1 when the
// constant rule pads it.
template <Padding P>
int32_t output_channel_source(int32_t k, int32_t c_min, int32_t c_count) {
    bool inside = true;
    const int32_t source =
        extend_index<P>(k, c_min, static_cast<int32_t>(int64_t{c_min} + c_count), c_count, inside);
    return inside ? source - c_min : -1;
}

// Output channel k of row y starts at out_host[y * out_y_stride + channel_offset(k)].
template <class T>
int64_t channel_offset(const Closure<T> &c, int k) {
    return k == 0 ? -c.out_base : (k == 1 ? c.out_c1 : c.out_c2);
}

// With no window position there is nothing to sum: 0/0 everywhere.
template <Layout L, class T>
void write_empty_window(const Closure<T> &c, int64_t x_first, int64_t y_first, int64_t cols, int64_t rows) {
    const T nan_result = store_quotient<T>(std::numeric_limits<float>::quiet_NaN());
    const int channels = L == Layout::rgb ? kOutputChannels : 1;
    for (int64_t y = y_first; y < y_first + rows; ++y) {
        for (int k = 0; k < channels; ++k) {
            T *row = c.out_host + (y * c.out_y_stride + channel_offset(c, k));
            std::fill(row + x_first, row + x_first + cols, nan_result);
        }
    }
}

}  // namespace

template <Layout L, class T, Padding P>
void filter_tile(void *user_context, const Closure<T> &c, const Tile &tile) {
    const int32_t tile_cols = std::min(kTileWidth, c.W - tile.x0);
    const int32_t tile_rows = std::min(TileShape<L>::height, c.H - tile.y0);
    if (tile_cols <= 0 || tile_rows <= 0) return;
    const int64_t x_tile = int64_t{c.out_x_min} + tile.x0, y_tile = int64_t{c.out_y_min} + tile.y0;
    if (c.N <= 0) {
        write_empty_window<L>(c, x_tile, y_tile, tile_cols, tile_rows);
        return;
    }
    const int32_t N = c.N, off = c.off, h = (N - 1) / 2;
    const int64_t taps = int64_t{N} * N;
    const bool vector = vector_kernels_usable();

    // Channels: gray stages its one plane; RGB stages every input channel and,
    // when the constant rule pads an output channel, a plane of pad values.
    const int32_t channels = L == Layout::rgb ? c.in_c_extent : 1;
    int32_t sources[kOutputChannels] = {0, 0, 0};
    bool pad_plane = false;
    if constexpr (L == Layout::rgb) {
        for (int32_t k = 0; k < kOutputChannels; ++k) {
            sources[k] = output_channel_source<P>(k, c.in_c_min, c.in_c_extent);
            pad_plane = pad_plane || sources[k] < 0;
        }
    }
    const int64_t staged_planes = int64_t{channels} + (pad_plane ? 1 : 0);

    // Per tile: the spatial weights in window order, the tap plan and one
    // row's tap tables.
    // Windows of more than 2^31 taps cannot be held; like a failed
    // allocation, the task stops.
    if (taps > (int64_t{1} << 31)) return;
    ScratchSlot plan_slot(user_context);
    const uint64_t plan_bytes = static_cast<uint64_t>(taps) * (2 * sizeof(float) + 2 * sizeof(float *)) +
                                static_cast<uint64_t>(tap_plan_ints(N)) * sizeof(int32_t);
    auto *plan_storage = static_cast<unsigned char *>(plan_slot.get(static_cast<size_t>(plan_bytes)));
    if (plan_storage == nullptr) return;
    auto *tap_tables = reinterpret_cast<const float **>(plan_storage);
    auto *spatial = reinterpret_cast<float *>(plan_storage + 2 * taps * sizeof(float *));
    auto *plane_weight = spatial + taps;
    auto *plan_ints = reinterpret_cast<int32_t *>(plane_weight + taps);
    for (int32_t j = 0, t = 0; j < N; ++j) {
        for (int32_t i = 0; i < N; ++i) spatial[t++] = c.w_host[i + j * c.w_y_stride - c.w_base];
    }
    const TapPlan plan = make_tap_plan(N, off, plan_ints);
    // Gray with point-symmetric spatial weights (W(d) == W(-d), as for any
    // Gaussian): both taps of a pair multiply their shared range weight by the
    // same W, so the weight planes can hold the products.
    const bool premultiply = L == Layout::gray && vector && weights_point_symmetric(plan, spatial, plane_weight);

    const int64_t plane_count = int64_t{h + 1} * plan.pairs + plan.directs;
    int32_t block_width = kTileWidth;
    while (block_width > kBlockWidth &&
           plane_count * round_up(block_width + 2 * h, kMaxLanes) * int64_t{sizeof(float)} > kPlaneBudget) {
        block_width /= 2;
    }

    ScratchSlot staged_slot(user_context), bytes_slot(user_context), planes_slot(user_context);
    for (int32_t x = 0; x < tile_cols; x += block_width) {
        const int32_t block_cols = std::min(block_width, tile_cols - x);
        const int64_t x_block = x_tile + x;

        // Staged columns cover every tap's reach and, for the weight planes,
        // h more on each side, all of it readable in whole vectors.
        const int64_t cols = round_up(block_cols, kMaxLanes);
        const int64_t plane_cols = round_up(cols + 2 * h, kMaxLanes);
        const int32_t u_lo = std::min(off, -2 * h);
        const int64_t u_hi = std::max<int64_t>(cols + off + N - 1, plane_cols);
        const int64_t stride = u_hi - u_lo, rows = int64_t{tile_rows} + N - 1;
        const int64_t plane = stride * rows;
        float *staged = staged_slot.get_array<float>(static_cast<uint64_t>(plane * staged_planes));
        if (staged == nullptr) return;
        for (int32_t ch = 0; ch < channels; ++ch) {
            const int64_t channel_base =
                L == Layout::rgb ? c.in_base - (int64_t{c.in_c_min} + ch) * c.in_c_stride : c.in_base;
            const Plane<T> src{c.in_host, channel_base, c.in_y_stride, c.in_x_min, c.in_x_end, c.in_y_min, c.in_y_end};
            stage_rect<T, P>(src, static_cast<int32_t>(x_block + u_lo), static_cast<int32_t>(y_tile + off), stride,
                             rows, c.pad, staged + ch * plane);
        }
        if (pad_plane) std::fill(staged + channels * plane, staged + (channels + 1) * plane, sample_to_f32(c.pad));
        // Gray 8-bit samples also as bytes, for the byte-table lookups of
        // targets that have them; the tail lets 64-byte loads run past the
        // last row.
        uint8_t *staged_bytes = nullptr;
        if constexpr (L == Layout::gray && std::is_same_v<T, uint8_t>) {
            if (vector) {
                staged_bytes = bytes_slot.get_array<uint8_t>(static_cast<uint64_t>(plane + kMaxLanes));
                if (staged_bytes == nullptr) return;
                const Plane<T> src{c.in_host, c.in_base, c.in_y_stride, c.in_x_min, c.in_x_end, c.in_y_min, c.in_y_end};
                stage_rect<T, P>(src, static_cast<int32_t>(x_block + u_lo), static_cast<int32_t>(y_tile + off), stride,
                                 rows, c.pad, staged_bytes);
                std::fill(staged_bytes + plane, staged_bytes + plane + kMaxLanes, uint8_t{0});
            }
        }

        BlockJob<T> job{};
        job.staged = staged;
        job.staged_bytes = staged_bytes;
        job.stride = stride;
        job.plane = plane;
        job.u_lo = u_lo;
        job.v_lo = off;
        job.channels = channels;
        for (int k = 0; k < kOutputChannels; ++k) {
            job.source[k] = (sources[k] < 0 ? channels : sources[k]) * plane;
            job.out[k] = c.out_host + (x_block + y_tile * c.out_y_stride + channel_offset(c, k));
        }
        job.cols = block_cols;
        job.rows = tile_rows;
        job.N = N;
        job.off = off;
        job.R = c.R;
        job.spatial = spatial;
        job.plane_weight = premultiply ? plane_weight : nullptr;
        job.plan = plan;
        job.plane_cols = plane_cols;
        job.tap_weight = tap_tables;
        job.tap_sample = tap_tables + taps;
        job.out_stride = c.out_y_stride;
        if (!vector) {
            if constexpr (L == Layout::gray) {
                gray_block_scalar(job);
            } else {
                color_block_scalar(job);
            }
            continue;
        }
        if (plane_count * plane_cols * int64_t{sizeof(float)} <= kPlaneBudget) {
            job.planes = planes_slot.get_array<float>(static_cast<uint64_t>(plane_count * plane_cols));
            if (job.planes == nullptr) return;
        }
        filter_block_vector<L>(job);
    }
}

template void filter_tile<Layout::gray, float, Padding::constant>(void *, const Closure<float> &, const Tile &);
template void filter_tile<Layout::gray, float, Padding::replicate>(void *, const Closure<float> &, const Tile &);
template void filter_tile<Layout::gray, float, Padding::symmetric>(void *, const Closure<float> &, const Tile &);
template void filter_tile<Layout::gray, uint8_t, Padding::constant>(void *, const Closure<uint8_t> &, const Tile &);
template void filter_tile<Layout::gray, uint8_t, Padding::replicate>(void *, const Closure<uint8_t> &, const Tile &);
template void filter_tile<Layout::gray, uint8_t, Padding::symmetric>(void *, const Closure<uint8_t> &, const Tile &);
template void filter_tile<Layout::rgb, float, Padding::constant>(void *, const Closure<float> &, const Tile &);
template void filter_tile<Layout::rgb, float, Padding::replicate>(void *, const Closure<float> &, const Tile &);
template void filter_tile<Layout::rgb, float, Padding::symmetric>(void *, const Closure<float> &, const Tile &);
template void filter_tile<Layout::rgb, uint8_t, Padding::constant>(void *, const Closure<uint8_t> &, const Tile &);
template void filter_tile<Layout::rgb, uint8_t, Padding::replicate>(void *, const Closure<uint8_t> &, const Tile &);
template void filter_tile<Layout::rgb, uint8_t, Padding::symmetric>(void *, const Closure<uint8_t> &, const Tile &);

}  // namespace bilateral
#endif  // HWY_ONCE
