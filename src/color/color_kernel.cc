// Colour tile kernel: staging of every input channel, the portable scalar row
// filter, and dispatch to the per-target vector row filter.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "color/color_kernel.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "color/color_kernel-inl.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
void color_rows_f32(const ColorRows<float> &job) { color_rows(job); }
void color_rows_u8(const ColorRows<uint8_t> &job) { color_rows(job); }
}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "color/color_kernel.h"
#include "core/boundary.h"
#include "core/range_exp.h"
#include "core/simd.h"
#include "core/staging.h"
#include "entry/scratch.h"
#include "uint8/convert.h"

namespace bilateral {

HWY_EXPORT(color_rows_f32);
HWY_EXPORT(color_rows_u8);

namespace {

constexpr int kOutputChannels = 3;

// The same per-sample arithmetic one float at a time, with std::fma.
template <class T>
void color_rows_scalar(const ColorRows<T> &job) {
    const int64_t centre_offset = job.centre * job.stride + job.centre;
    for (int32_t r = 0; r < job.rows; ++r) {
        for (int32_t q = 0; q < job.cols; ++q) {
            const int64_t at = r * job.stride + q;
            float sum = 0.0f, num[kOutputChannels] = {0.0f, 0.0f, 0.0f};
            for (int32_t j = 0; j < job.N; ++j) {
                const float *spatial = job.w_host + (j * job.w_y_stride - job.w_base);
                for (int32_t i = 0; i < job.N; ++i) {
                    const int64_t tap = at + j * job.stride + i;
                    float D = 0.0f;
                    for (int32_t ch = 0; ch < job.channels; ++ch) {
                        const T *plane = job.staged + ch * job.plane;
                        const float diff = range_difference(plane[at + centre_offset], plane[tap]);
                        D = std::fma(diff, diff, D);
                    }
                    const float e = range_exp_scalar(-D / job.R);
                    const float w = spatial[i];
                    sum = std::fma(e, w, sum);
                    for (int k = 0; k < kOutputChannels; ++k) {
                        num[k] = std::fma(sample_to_f32(job.source[k][tap]) * w, e, num[k]);
                    }
                }
            }
            for (int k = 0; k < kOutputChannels; ++k) {
                job.out[k][r * job.out_stride + q] = store_quotient<T>(num[k] / sum);
            }
        }
    }
}

void color_rows(const ColorRows<float> &job) {
    if (vector_kernels_usable()) {
        HWY_DYNAMIC_DISPATCH(color_rows_f32)(job);
    } else {
        color_rows_scalar(job);
    }
}

void color_rows(const ColorRows<uint8_t> &job) {
    if (vector_kernels_usable()) {
        HWY_DYNAMIC_DISPATCH(color_rows_u8)(job);
    } else {
        color_rows_scalar(job);
    }
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

template <class T>
void write_empty_window(const Closure<T> &c, int64_t x_first, int64_t y_first, int64_t cols, int64_t rows) {
    const T nan_result = store_quotient<T>(std::numeric_limits<float>::quiet_NaN());
    for (int64_t y = y_first; y < y_first + rows; ++y) {
        for (int k = 0; k < kOutputChannels; ++k) {
            T *row = c.out_host + (y * c.out_y_stride + channel_offset(c, k));
            std::fill(row + x_first, row + x_first + cols, nan_result);
        }
    }
}

}  // namespace

template <class T, Padding P>
void color_tile(void *user_context, const Closure<T> &c, const Tile &tile) {
    const int32_t tile_cols = std::min(kTileWidth, c.W - tile.x0);
    const int32_t tile_rows = std::min(TileShape<Layout::rgb>::height, c.H - tile.y0);
    if (tile_cols <= 0 || tile_rows <= 0) return;
    const int64_t x_tile = int64_t{c.out_x_min} + tile.x0, y_tile = int64_t{c.out_y_min} + tile.y0;
    if (c.N <= 0) {
        write_empty_window(c, x_tile, y_tile, tile_cols, tile_rows);
        return;
    }

    int32_t sources[kOutputChannels];
    bool needs_pad_plane = false;
    for (int32_t k = 0; k < kOutputChannels; ++k) {
        sources[k] = output_channel_source<P>(k, c.in_c_min, c.in_c_extent);
        needs_pad_plane = needs_pad_plane || sources[k] < 0;
    }
    const int64_t planes = int64_t{c.in_c_extent} + (needs_pad_plane ? 1 : 0);

    // Each block is staged once per input channel through the boundary rule;
    // a constant-padded output channel reads a plane of pad values.
    ScratchSlot staged_slot(user_context);
    const int64_t staged_rows = int64_t{tile_rows} + c.N - 1;
    for (int32_t b = 0; b < kBlocksPerTile; ++b) {
        const int32_t block_cols = std::min(kBlockWidth, tile_cols - kBlockWidth * b);
        if (block_cols <= 0) break;
        const int64_t x_block = x_tile + kBlockWidth * b;
        const int64_t staged_cols = (int64_t{block_cols} + kMaxLanes - 1) / kMaxLanes * kMaxLanes + c.N - 1;
        const int64_t plane = staged_rows * staged_cols;
        T *staged = staged_slot.get_array<T>(static_cast<uint64_t>(plane) * static_cast<uint64_t>(planes));
        if (staged == nullptr) return;
        for (int32_t ch = 0; ch < c.in_c_extent; ++ch) {
            const int64_t channel_base = c.in_base - (int64_t{c.in_c_min} + ch) * c.in_c_stride;
            const Plane<T> src{c.in_host, channel_base, c.in_y_stride, c.in_x_min, c.in_x_end, c.in_y_min, c.in_y_end};
            stage_rect<T, P>(src, static_cast<int32_t>(x_block + c.off), static_cast<int32_t>(y_tile + c.off),
                             staged_cols, staged_rows, c.pad, staged + ch * plane);
        }
        T *pad_plane = staged + int64_t{c.in_c_extent} * plane;
        if (needs_pad_plane) std::fill(pad_plane, pad_plane + plane, c.pad);

        ColorRows<T> job{};
        job.staged = staged;
        job.stride = staged_cols;
        job.plane = plane;
        job.channels = c.in_c_extent;
        for (int k = 0; k < kOutputChannels; ++k) {
            job.source[k] = sources[k] < 0 ? pad_plane : staged + sources[k] * plane;
            job.out[k] = c.out_host + (x_block + y_tile * c.out_y_stride + channel_offset(c, k));
        }
        job.cols = block_cols;
        job.rows = tile_rows;
        job.N = c.N;
        job.centre = -c.off;
        job.R = c.R;
        job.w_host = c.w_host;
        job.w_y_stride = c.w_y_stride;
        job.w_base = c.w_base;
        job.out_stride = c.out_y_stride;
        color_rows(job);
    }
}

template void color_tile<float, Padding::constant>(void *, const Closure<float> &, const Tile &);
template void color_tile<float, Padding::replicate>(void *, const Closure<float> &, const Tile &);
template void color_tile<float, Padding::symmetric>(void *, const Closure<float> &, const Tile &);
template void color_tile<uint8_t, Padding::constant>(void *, const Closure<uint8_t> &, const Tile &);
template void color_tile<uint8_t, Padding::replicate>(void *, const Closure<uint8_t> &, const Tile &);
template void color_tile<uint8_t, Padding::symmetric>(void *, const Closure<uint8_t> &, const Tile &);

}  // namespace bilateral
#endif  // HWY_ONCE
