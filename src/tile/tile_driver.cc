// The tile driver: scratch, tap tables and staging of each block, then the
// layout's kernel on the best vector target or on the portable scalar path.
#include "tile/tile_driver.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "bilateral_filter_variants.h"
#include "color/color_kernel.h"
#include "core/block_job.h"
#include "core/boundary.h"
#include "core/gray_kernel.h"
#include "core/range_exp.h"
#include "core/simd.h"
#include "core/weight_planes.h"
#include "samples/convert.h"
#include "tile/scratch.h"
#include "tile/staging.h"

namespace bilateral {
namespace {

constexpr int kOutputChannels = 3;

// Blocks are as wide as the tile when their weight planes fit the budget
// (fewer weights are computed twice at block edges), halving down to this
// width; windows whose planes do not fit even then compute every tap's weight
// where it is used.
constexpr int32_t kMinBlockWidth = 128;

// Bytes of weight planes one task may hold: 2.5 MiB. With the staged samples
// and tap tables, a task's scratch stays under 4 MiB for windows up to about
// 100 taps a side.
constexpr int64_t kPlaneBudget = int64_t{5} << 19;

int64_t round_up(int64_t v, int64_t m) { return (v + m - 1) / m * m; }

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

// Per tile: the spatial weights in window order, the tap plan, one row's tap
// tables and, when the weights are point-symmetric, the weight of each plane.
struct TapTables {
    const float **tap_tables;  // 2 * taps pointers: tap weights, then tap samples
    float *spatial;
    float *plane_weight;
    TapPlan plan;
};

// NULL tables when the scratch cannot be had (or the window cannot be held).
template <class T>
bool make_tap_tables(const Closure<T> &c, ScratchSlot &slot, TapTables &out) {
    const int32_t N = c.N;
    const int64_t taps = int64_t{N} * N;
    if (taps > (int64_t{1} << 31)) return false;
    const uint64_t bytes = static_cast<uint64_t>(taps) * (2 * sizeof(float) + 2 * sizeof(float *)) +
                           static_cast<uint64_t>(tap_plan_ints(N)) * sizeof(int32_t);
    auto *storage = static_cast<unsigned char *>(slot.get(static_cast<size_t>(bytes)));
    if (storage == nullptr) return false;
    out.tap_tables = reinterpret_cast<const float **>(storage);
    out.spatial = reinterpret_cast<float *>(storage + 2 * taps * sizeof(float *));
    out.plane_weight = out.spatial + taps;
    for (int32_t j = 0, t = 0; j < N; ++j) {
        for (int32_t i = 0; i < N; ++i) out.spatial[t++] = c.w_host[i + j * c.w_y_stride - c.w_base];
    }
    out.plan = make_tap_plan(N, c.off, reinterpret_cast<int32_t *>(out.plane_weight + taps));
    return true;
}

// The widest block, from the tile width down, whose weight planes fit the budget.
int32_t block_width_for(int64_t plane_count, int32_t h) {
    int32_t width = kTileWidth;
    while (width > kMinBlockWidth &&
           plane_count * round_up(width + 2 * h, kMaxLanes) * int64_t{sizeof(float)} > kPlaneBudget) {
        width /= 2;
    }
    return width;
}

// Stages `planes` channel planes of a block: rows [y_first, y_first + rows),
// columns from x_first, `stride` of them, through padding rule P.
template <Layout L, class T, Padding P, class Out>
void stage_channels(const Closure<T> &c, int32_t planes, int64_t x_first, int64_t y_first, int64_t stride,
                    int64_t rows, Out *dst) {
    for (int32_t ch = 0; ch < planes; ++ch) {
        const int64_t channel_base =
            L == Layout::rgb ? c.in_base - (int64_t{c.in_c_min} + ch) * c.in_c_stride : c.in_base;
        const Plane<T> src{c.in_host, channel_base, c.in_y_stride, c.in_x_min, c.in_x_end, c.in_y_min, c.in_y_end};
        stage_rect<T, P>(src, static_cast<int32_t>(x_first), static_cast<int32_t>(y_first), stride, rows, c.pad,
                         dst + ch * stride * rows);
    }
}

// Stages the block that starts at output column x_block: every input channel
// and, with pad_plane, a plane of pad values into job.staged; with `bytes`, gray
// 8-bit samples also as bytes into job.staged_bytes, for the byte-table lookups
// of targets that have them (the tail lets whole-vector loads run past the last
// row). The job's geometry (rows, N, u_lo, v_lo, stride, plane) must be set. False when
// scratch cannot be had.
template <Layout L, class T, Padding P>
bool stage_block(const Closure<T> &c, int64_t x_block, int64_t y_tile, bool pad_plane, bool bytes,
                 ScratchSlot &staged_slot, ScratchSlot &bytes_slot, BlockJob<T> &job) {
    const int64_t x_first = x_block + job.u_lo, y_first = y_tile + job.v_lo, rows = int64_t{job.rows} + job.N - 1;
    const int64_t planes = int64_t{job.channels} + (pad_plane ? 1 : 0);
    float *staged = staged_slot.get_array<float>(static_cast<uint64_t>(job.plane * planes));
    if (staged == nullptr) return false;
    stage_channels<L, T, P>(c, job.channels, x_first, y_first, job.stride, rows, staged);
    if (pad_plane) std::fill(staged + job.channels * job.plane, staged + planes * job.plane, sample_to_f32(c.pad));
    job.staged = staged;
    if constexpr (L == Layout::gray && std::is_same_v<T, uint8_t>) {
        if (bytes) {
            uint8_t *staged_bytes = bytes_slot.get_array<uint8_t>(static_cast<uint64_t>(job.plane + kMaxLanes));
            if (staged_bytes == nullptr) return false;
            stage_channels<L, T, P>(c, 1, x_first, y_first, job.stride, rows, staged_bytes);
            std::fill(staged_bytes + job.plane, staged_bytes + job.plane + kMaxLanes, uint8_t{0});
            job.staged_bytes = staged_bytes;
        }
    }
    return true;
}

}  // namespace

template <Layout L, class T, Padding P>
void filter_tile(void *user_context, const Closure<T> &c, const Tile &tile) {
    const int32_t tile_cols = std::min(kTileWidth, c.out_width - tile.x0);
    const int32_t tile_rows = std::min(TileShape<L>::height, c.out_height - tile.y0);
    if (tile_cols <= 0 || tile_rows <= 0) return;
    const int64_t x_tile = int64_t{c.out_x_min} + tile.x0, y_tile = int64_t{c.out_y_min} + tile.y0;
    if (c.N <= 0) {
        write_empty_window<L>(c, x_tile, y_tile, tile_cols, tile_rows);
        return;
    }
    const int32_t N = c.N, off = c.off, h = (N - 1) / 2;
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

    ScratchSlot tables_slot(user_context);
    TapTables tables;
    if (!make_tap_tables(c, tables_slot, tables)) return;
    // Gray with point-symmetric spatial weights (W(d) == W(-d), as for any
    // Gaussian): both taps of a pair multiply their shared range weight by the
    // same W, so the weight planes can hold the products.
    const bool premultiply =
        L == Layout::gray && vector && weights_point_symmetric(tables.plan, tables.spatial, tables.plane_weight);
    const int64_t plane_count = int64_t{h + 1} * tables.plan.pairs + tables.plan.directs;
    const int32_t block_width = block_width_for(plane_count, h);

    BlockJob<T> job{};
    job.channels = channels;
    job.rows = tile_rows;
    job.N = N;
    job.off = off;
    job.R = c.R;
    job.spatial = tables.spatial;
    job.plane_weight = premultiply ? tables.plane_weight : nullptr;
    job.plan = tables.plan;
    job.tap_weight = tables.tap_tables;
    job.tap_sample = tables.tap_tables + int64_t{N} * N;
    job.out_stride = c.out_y_stride;
    // Staged columns cover every tap's reach and, for the weight planes, h more
    // on each side, all of it readable in whole vectors; rows cover the reach.
    job.u_lo = std::min(off, -2 * h);
    job.v_lo = off;

    ScratchSlot staged_slot(user_context), bytes_slot(user_context), planes_slot(user_context);
    for (int32_t x = 0; x < tile_cols; x += block_width) {
        const int64_t x_block = x_tile + x;
        job.cols = std::min(block_width, tile_cols - x);
        const int64_t cols = round_up(job.cols, kMaxLanes);
        job.plane_cols = round_up(cols + 2 * h, kMaxLanes);
        job.stride = std::max<int64_t>(cols + off + N - 1, job.plane_cols) - job.u_lo;
        job.plane = job.stride * (int64_t{tile_rows} + N - 1);

        if (!stage_block<L, T, P>(c, x_block, y_tile, pad_plane, vector, staged_slot, bytes_slot, job)) return;
        for (int k = 0; k < kOutputChannels; ++k) {
            job.source[k] = (sources[k] < 0 ? channels : sources[k]) * job.plane;
            job.out[k] = c.out_host + (x_block + y_tile * c.out_y_stride + channel_offset(c, k));
        }

        if (!vector) {
            if constexpr (L == Layout::gray) {
                gray_block_scalar(job);
            } else {
                color_block_scalar(job);
            }
            continue;
        }
        job.planes = nullptr;
        if (plane_count * job.plane_cols * int64_t{sizeof(float)} <= kPlaneBudget) {
            job.planes = planes_slot.get_array<float>(static_cast<uint64_t>(plane_count * job.plane_cols));
            if (job.planes == nullptr) return;
        }
        if constexpr (L == Layout::gray) {
            gray_block_vector(job);
        } else {
            color_block_vector(job);
        }
    }
}

#define BF_INSTANTIATE_FILTER_TILE(layout, sample, padding)                                         \
    template void filter_tile<BILATERAL_VARIANT_TYPES(layout, sample, padding)>(                    \
        void *, const Closure<words::sample_##sample> &, const Tile &);
BILATERAL_FILTER_VARIANTS(BF_INSTANTIATE_FILTER_TILE)
#undef BF_INSTANTIATE_FILTER_TILE

}  // namespace bilateral
