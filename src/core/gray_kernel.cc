// Gray tile kernel: staging, the portable scalar row filter, and dispatch to
// the per-target vector row filter.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/gray_kernel.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "core/gray_kernel-inl.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
void gray_rows_f32(const GrayRows<float> &job) { gray_rows(job); }
void gray_rows_u8(const GrayRows<uint8_t> &job) { gray_rows(job); }
}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/gray_kernel.h"
#include "core/range_exp.h"
#include "core/simd.h"
#include "core/staging.h"
#include "entry/scratch.h"
#include "uint8/convert.h"

namespace bilateral {

HWY_EXPORT(gray_rows_f32);
HWY_EXPORT(gray_rows_u8);

namespace {

// The same per-sample arithmetic one float at a time, with std::fma: the path
// for CPUs without a vector target that has a fused multiply-add.
template <class T>
void gray_rows_scalar(const GrayRows<T> &job) {
    const int64_t centre_offset = job.centre * job.stride + job.centre;
    for (int32_t r = 0; r < job.rows; ++r) {
        const T *row = job.staged + r * job.stride;
        T *out = job.out + r * job.out_stride;
        for (int32_t q = 0; q < job.cols; ++q) {
            const T *base = row + q;
            const T centre = base[centre_offset];
            float sum = 0.0f, acc = 0.0f;
            for (int32_t j = 0; j < job.N; ++j) {
                const T *neighbours = base + j * job.stride;
                const float *spatial = job.w_host + (j * job.w_y_stride - job.w_base);
                for (int32_t i = 0; i < job.N; ++i) {
                    const T n = neighbours[i];
                    const float d = range_difference(centre, n);
                    const float w = range_exp_scalar((d * -d) / job.R) * spatial[i];
                    sum = w + sum;
                    acc = std::fma(w, sample_to_f32(n), acc);
                }
            }
            out[q] = store_quotient<T>(acc / sum);
        }
    }
}

void gray_rows(const GrayRows<float> &job) {
    if (vector_kernels_usable()) {
        HWY_DYNAMIC_DISPATCH(gray_rows_f32)(job);
    } else {
        gray_rows_scalar(job);
    }
}

void gray_rows(const GrayRows<uint8_t> &job) {
    if (vector_kernels_usable()) {
        HWY_DYNAMIC_DISPATCH(gray_rows_u8)(job);
    } else {
        gray_rows_scalar(job);
    }
}

// With no window position there is nothing to sum: 0/0 everywhere.
template <class T>
void write_empty_window(const Closure<T> &c, int64_t x_first, int64_t y_first, int64_t cols, int64_t rows) {
    const T nan_result = store_quotient<T>(std::numeric_limits<float>::quiet_NaN());
    for (int64_t y = y_first; y < y_first + rows; ++y) {
        T *row = c.out_host + (y * c.out_y_stride - c.out_base);
        std::fill(row + x_first, row + x_first + cols, nan_result);
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

    // Each block is staged once through the boundary rule: its rows plus the
    // window's reach, its columns rounded up to whole vectors plus the reach.
    const Plane<T> plane{c.in_host, c.in_base, c.in_y_stride, c.in_x_min, c.in_x_end, c.in_y_min, c.in_y_end};
    ScratchSlot staged_slot(user_context);
    const int64_t staged_rows = int64_t{tile_rows} + c.N - 1;
    for (int32_t b = 0; b < kBlocksPerTile; ++b) {
        const int32_t block_cols = std::min(kBlockWidth, tile_cols - kBlockWidth * b);
        if (block_cols <= 0) break;
        const int64_t x_block = x_tile + kBlockWidth * b;
        const int64_t staged_cols = (int64_t{block_cols} + kMaxLanes - 1) / kMaxLanes * kMaxLanes + c.N - 1;
        T *staged_tile = staged_slot.get_array<T>(static_cast<uint64_t>(staged_rows * staged_cols));
        if (staged_tile == nullptr) return;
        stage_rect<T, P>(plane, static_cast<int32_t>(x_block + c.off), static_cast<int32_t>(y_tile + c.off),
                         staged_cols, staged_rows, c.pad, staged_tile);
        const GrayRows<T> job{staged_tile, staged_cols, block_cols, tile_rows, c.N, -c.off, c.R,
                              c.w_host, c.w_y_stride, c.w_base,
                              c.out_host + (x_block + y_tile * c.out_y_stride - c.out_base), c.out_y_stride};
        gray_rows(job);
    }
}

template void gray_tile<float, Padding::constant>(void *, const Closure<float> &, const Tile &);
template void gray_tile<float, Padding::replicate>(void *, const Closure<float> &, const Tile &);
template void gray_tile<float, Padding::symmetric>(void *, const Closure<float> &, const Tile &);
template void gray_tile<uint8_t, Padding::constant>(void *, const Closure<uint8_t> &, const Tile &);
template void gray_tile<uint8_t, Padding::replicate>(void *, const Closure<uint8_t> &, const Tile &);
template void gray_tile<uint8_t, Padding::symmetric>(void *, const Closure<uint8_t> &, const Tile &);

}  // namespace bilateral
#endif  // HWY_ONCE
