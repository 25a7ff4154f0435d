#include "color/color_kernel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/boundary.h"
#include "core/range_exp.h"
#include "core/staging.h"
#include "entry/scratch.h"
#include "uint8/convert.h"

namespace bilateral {
namespace {

constexpr int kOutputChannels = 3;

// Index of output channel k within the input's channel range, or -1 when the
// constant rule pads it.
template <Padding P>
int32_t output_channel_source(int32_t k, int32_t c_min, int32_t c_count) {
    bool inside = true;
    const int32_t source =
        extend_index<P>(k, c_min, static_cast<int32_t>(int64_t{c_min} + c_count), c_count, inside);
    return inside ? source - c_min : -1;
}

// Element offsets of output row y, channels 0, 1, 2, relative to out_host.
template <class T>
void output_rows(const Closure<T> &c, int64_t y, int64_t offsets[kOutputChannels]) {
    const int64_t row = y * c.out_y_stride;
    offsets[0] = row - c.out_base;
    offsets[1] = row + c.out_c1;
    offsets[2] = row + c.out_c2;
}

template <class T>
void write_empty_window(const Closure<T> &c, int64_t x_first, int64_t y_first, int64_t cols, int64_t rows) {
    const T nan_result = store_quotient<T>(std::numeric_limits<float>::quiet_NaN());
    for (int64_t y = y_first; y < y_first + rows; ++y) {
        int64_t offsets[kOutputChannels];
        output_rows(c, y, offsets);
        for (const int64_t o : offsets) std::fill(c.out_host + o + x_first, c.out_host + o + x_first + cols, nan_result);
    }
}

// Filters one staged block. `staged` holds one plane per input channel, each
// with row stride `stride` and plane size `plane`. For every pixel and tap in
// window order: D = fma(d, d, D) over all input channels in ascending order,
// e = range_exp(-D / R), sum = fma(e, W, sum) and num_k = fma(S_k * W, e,
// num_k); each output channel is num_k / sum. `sources` gives the staged plane
// of each output channel, or -1 for the pad value.
template <class T>
void filter_staged_block(const Closure<T> &c, const T *staged, int64_t stride, int64_t plane,
                         const int32_t sources[kOutputChannels], int64_t x_abs, int64_t y_abs, int32_t cols,
                         int32_t rows) {
    const int32_t N = c.N, centre = -c.off, channels = c.in_c_extent;
    const float R = c.R;
    const float pad = sample_to_f32(c.pad);
    for (int32_t r = 0; r < rows; ++r) {
        int64_t out_rows[kOutputChannels];
        output_rows(c, y_abs + r, out_rows);
        for (int32_t q = 0; q < cols; ++q) {
            const int64_t centre_at = (r + centre) * stride + (q + centre);
            float sum = 0.0f;
            float num[kOutputChannels] = {0.0f, 0.0f, 0.0f};
            for (int32_t j = 0; j < N; ++j) {
                const float *spatial = c.w_host + (int64_t{j} * c.w_y_stride - c.w_base);
                for (int32_t i = 0; i < N; ++i) {
                    const int64_t at = (r + j) * stride + (q + i);
                    float D = 0.0f;
                    for (int32_t ch = 0; ch < channels; ++ch) {
                        const T *p = staged + ch * plane;
                        const float d = range_difference(p[centre_at], p[at]);
                        D = std::fma(d, d, D);
                    }
                    const float e = range_exp_scalar(-D / R);
                    const float w = spatial[i];
                    sum = std::fma(e, w, sum);
                    for (int k = 0; k < kOutputChannels; ++k) {
                        const float s = sources[k] < 0 ? pad : sample_to_f32(staged[sources[k] * plane + at]);
                        num[k] = std::fma(s * w, e, num[k]);
                    }
                }
            }
            for (int k = 0; k < kOutputChannels; ++k) {
                c.out_host[out_rows[k] + x_abs + q] = store_quotient<T>(num[k] / sum);
            }
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
    for (int32_t k = 0; k < kOutputChannels; ++k) sources[k] = output_channel_source<P>(k, c.in_c_min, c.in_c_extent);

    ScratchSlot staged_slot(user_context);
    const int64_t staged_rows = int64_t{tile_rows} + c.N - 1;
    for (int32_t b = 0; b < kBlocksPerTile; ++b) {
        const int32_t block_cols = std::min(kBlockWidth, tile_cols - kBlockWidth * b);
        if (block_cols <= 0) break;
        const int64_t x_block = x_tile + kBlockWidth * b;
        const int64_t staged_cols = int64_t{block_cols} + c.N - 1;
        const int64_t plane = staged_rows * staged_cols;
        T *staged = staged_slot.get_array<T>(static_cast<uint64_t>(plane) * static_cast<uint64_t>(c.in_c_extent));
        if (staged == nullptr) return;
        for (int32_t ch = 0; ch < c.in_c_extent; ++ch) {
            const int64_t channel_base = c.in_base - (int64_t{c.in_c_min} + ch) * c.in_c_stride;
            const Plane<T> src{c.in_host, channel_base, c.in_y_stride, c.in_x_min, c.in_x_end, c.in_y_min, c.in_y_end};
            stage_rect<T, P>(src, static_cast<int32_t>(x_block + c.off), static_cast<int32_t>(y_tile + c.off),
                             staged_cols, staged_rows, c.pad, staged + ch * plane);
        }
        filter_staged_block(c, staged, staged_cols, plane, sources, x_block, y_tile, block_cols, tile_rows);
    }
}

template void color_tile<float, Padding::constant>(void *, const Closure<float> &, const Tile &);
template void color_tile<float, Padding::replicate>(void *, const Closure<float> &, const Tile &);
template void color_tile<float, Padding::symmetric>(void *, const Closure<float> &, const Tile &);
template void color_tile<uint8_t, Padding::constant>(void *, const Closure<uint8_t> &, const Tile &);
template void color_tile<uint8_t, Padding::replicate>(void *, const Closure<uint8_t> &, const Tile &);
template void color_tile<uint8_t, Padding::symmetric>(void *, const Closure<uint8_t> &, const Tile &);

}  // namespace bilateral
