#include "core/gray_kernel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/range_exp.h"
#include "core/staging.h"
#include "entry/scratch.h"
#include "uint8/convert.h"

namespace bilateral {
namespace {

// Output row of the tile: element (x, y) is out_host[x + y*out_y_stride - out_base].
template <class T>
T *output_row(const Closure<T> &c, int64_t y) {
    return c.out_host + (y * c.out_y_stride - c.out_base);
}

// With no window position there is nothing to sum: 0/0 everywhere.
template <class T>
void write_empty_window(const Closure<T> &c, int64_t x_first, int64_t y_first, int64_t cols, int64_t rows) {
    const T nan_result = store_quotient<T>(std::numeric_limits<float>::quiet_NaN());
    for (int64_t y = y_first; y < y_first + rows; ++y) {
        T *row = output_row(c, y);
        std::fill(row + x_first, row + x_first + cols, nan_result);
    }
}

// Filters rows [0, rows) of one staged block. For every sample the taps run in
// window order (row j outer, column i inner): w = range_exp(-(d*d)/R) * W(i, j),
// sum = w + sum, acc = fma(w, n, acc); the result is acc / sum.
template <class T>
void filter_staged_block(const Closure<T> &c, const T *staged, int64_t stride, int64_t x_abs, int64_t y_abs,
                         int32_t cols, int32_t rows) {
    const int32_t N = c.N, centre = -c.off;
    const float R = c.R;
    for (int32_t r = 0; r < rows; ++r) {
        T *out = output_row(c, y_abs + r) + x_abs;
        for (int32_t q = 0; q < cols; ++q) {
            const T centre_sample = staged[(r + centre) * stride + (q + centre)];
            float sum = 0.0f, acc = 0.0f;
            for (int32_t j = 0; j < N; ++j) {
                const T *neighbours = staged + (r + j) * stride + q;
                const float *spatial = c.w_host + (int64_t{j} * c.w_y_stride - c.w_base);
                for (int32_t i = 0; i < N; ++i) {
                    const T n = neighbours[i];
                    const float d = range_difference(centre_sample, n);
                    const float t = (d * -d) / R;
                    const float w = range_exp_scalar(t) * spatial[i];
                    sum = w + sum;
                    acc = std::fma(w, sample_to_f32(n), acc);
                }
            }
            out[q] = store_quotient<T>(acc / sum);
        }
    }
}

}  // namespace

template <class T, Padding P>
void gray_tile(void *user_context, const Closure<T> &c, const Tile &tile) {
    const int32_t tile_cols = std::min(kTileWidth, c.W - tile.x0);
    const int32_t tile_rows = std::min(TileShape<Layout::gray>::height, c.H - tile.y0);
    if (tile_cols <= 0 || tile_rows <= 0) return;
    const int64_t x_tile = int64_t{c.out_x_min} + tile.x0, y_tile = int64_t{c.out_y_min} + tile.y0;
    if (c.N <= 0) {
        write_empty_window(c, x_tile, y_tile, tile_cols, tile_rows);
        return;
    }

    const Plane<T> plane{c.in_host, c.in_base, c.in_y_stride, c.in_x_min, c.in_x_end, c.in_y_min, c.in_y_end};
    ScratchSlot staged_slot(user_context);
    const int64_t staged_rows = int64_t{tile_rows} + c.N - 1;
    for (int32_t b = 0; b < kBlocksPerTile; ++b) {
        const int32_t block_cols = std::min(kBlockWidth, tile_cols - kBlockWidth * b);
        if (block_cols <= 0) break;
        const int64_t x_block = x_tile + kBlockWidth * b;
        const int64_t staged_cols = int64_t{block_cols} + c.N - 1;
        T *staged_tile = staged_slot.get_array<T>(static_cast<uint64_t>(staged_rows * staged_cols));
        if (staged_tile == nullptr) return;
        stage_rect<T, P>(plane, static_cast<int32_t>(x_block + c.off), static_cast<int32_t>(y_tile + c.off),
                         staged_cols, staged_rows, c.pad, staged_tile);
        filter_staged_block(c, staged_tile, staged_cols, x_block, y_tile, block_cols, tile_rows);
    }
}

template void gray_tile<float, Padding::constant>(void *, const Closure<float> &, const Tile &);
template void gray_tile<float, Padding::replicate>(void *, const Closure<float> &, const Tile &);
template void gray_tile<float, Padding::symmetric>(void *, const Closure<float> &, const Tile &);
template void gray_tile<uint8_t, Padding::constant>(void *, const Closure<uint8_t> &, const Tile &);
template void gray_tile<uint8_t, Padding::replicate>(void *, const Closure<uint8_t> &, const Tile &);
template void gray_tile<uint8_t, Padding::symmetric>(void *, const Closure<uint8_t> &, const Tile &);

}  // namespace bilateral
