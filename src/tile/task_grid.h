// The tile grid of one call: the closure record that the entry point fills
// once, the tile shapes, and the first step of every task (index to tile).
#ifndef BILATERAL_TILE_TASK_GRID_H
#define BILATERAL_TILE_TASK_GRID_H

#include <cstdint>

#include "core/variant.h"

namespace bilateral {

// Tiles are anchored at multiples of the tile size, relative to the output's
// mins, and clipped at the output's far edges. The sizes are part of a call's
// contract: the task count and the RGB bounds answer are defined by them.
constexpr int32_t kTileWidth = 512;
constexpr int kTileWidthShift = 9;  // log2(kTileWidth)

template <Layout L>
struct TileShape;
template <>
struct TileShape<Layout::gray> {
    static constexpr int32_t height = 64, height_shift = 6;
};
template <>
struct TileShape<Layout::rgb> {
    static constexpr int32_t height = 32, height_shift = 5;
};

// The guide of a joint call: its samples are compared where a plain call
// compares the input's. Element (x, y, c) is host[x*x_stride + y*y_stride +
// c*c_stride - base], read at the coordinates the input's boundary rule maps
// a position to (the guide covers the input's region), channels 0 .. channels - 1
// relative to its channel min. Its sample type is a call-time word, so that
// the tile driver is not instantiated per pair of types.
struct GuideRecord {
    const void *host;
    Sample sample;
    Layout layout;
    int64_t base, x_stride, y_stride, c_stride;
    int32_t channels;
    float pad;  // constant padding: the guide's pad sample, as float32 (exact)
};

// Read-only record shared by all tasks of one call. Everything a task needs is
// computed here once; tasks never look at the buffer descriptors. Element
// offsets are formed in 64-bit arithmetic: element (x, y[, c]) of a buffer is
// host[x*x_stride + y*y_stride (+ c*c_stride) - base]; the weights' x stride
// is 1.
template <class T>
struct Closure {
    const T *in_host;
    T *out_host;
    const float *w_host;
    int64_t in_base, out_base, w_base;
    int64_t out_c1, out_c2;  // output channels 1 and 2: out_host[x*out_x_stride + y*out_y_stride + out_cK]
    int64_t in_x_stride, out_x_stride;  // 1 but for the entry points that round
    int64_t in_y_stride, in_c_stride, out_y_stride, w_y_stride;
    bool round;  // integer results rounded to nearest instead of truncated
    int32_t in_x_min, in_y_min, in_c_min;
    int64_t in_x_end, in_y_end;  // min + extent, up to 2^32 - 2
    int32_t in_c_extent;
    int32_t out_width, out_height;
    int32_t out_x_min, out_y_min;
    int32_t N, off;  // window taps per side and window origin offset
    int32_t nx;      // tile columns
    float R;         // range term 2*sigma^2
    T pad;           // pad value or pad sample (constant padding)
    bool joint;      // the range weights compare the guide's samples
    GuideRecord guide;
};

// One task's tile: its first column and row, relative to the output's mins.
struct Tile {
    int32_t x0, y0;
};

// Arithmetic shift right, i.e. floor division by 2^s, for any sign.
inline int32_t floor_shift(int64_t v, int s) { return static_cast<int32_t>(v >> s); }

// Tasks run along x first: task = ty * nx + tx. Tasks are 0 .. nx * rows - 1,
// so one runs only when nx != 0, and task >= 0 keeps the remainder
// non-negative. (Both counts are negative only for an output with negative
// extents, whose tiles are empty.)
template <Layout L, class T>
Tile decode_tile(const Closure<T> &c, int32_t task) {
    return {kTileWidth * (task % c.nx), TileShape<L>::height * (task / c.nx)};
}

// Number of tasks: tile columns times tile rows, 0 when the output is empty.
inline int32_t tile_columns(int32_t width) { return floor_shift(int64_t{width} + kTileWidth - 1, kTileWidthShift); }
template <Layout L>
int32_t tile_rows(int32_t height) {
    return floor_shift(int64_t{height} + TileShape<L>::height - 1, TileShape<L>::height_shift);
}

}  // namespace bilateral

#endif  // BILATERAL_TILE_TASK_GRID_H
