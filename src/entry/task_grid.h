// The tile grid of one call: the closure record that the entry point fills
// once, and the first steps of every task (index to tile, column blocks, row
// groups, and the split of a tile's blocks into edge and interior runs).
#ifndef BILATERAL_ENTRY_TASK_GRID_H
#define BILATERAL_ENTRY_TASK_GRID_H

#include <HalideRuntime.h>

#include <algorithm>
#include <cstdint>

#include "core/variant.h"

namespace bilateral {

// Tile and subdivision sizes. Tiles are anchored at multiples of the tile size,
// relative to the output's mins, and clipped at the output's far edges.
constexpr int32_t kTileWidth = 512;
constexpr int32_t kBlockWidth = 128;
constexpr int32_t kBlocksPerTile = 4;

template <Layout L>
struct TileShape;
template <>
struct TileShape<Layout::gray> {
    static constexpr int32_t height = 64, group_rows = 4, height_shift = 6, group_shift = 2;
};
template <>
struct TileShape<Layout::rgb> {
    static constexpr int32_t height = 32, group_rows = 2, height_shift = 5, group_shift = 1;
};

// Read-only record shared by all tasks of one call. Everything a task needs is
// computed here once; tasks never look at the buffer descriptors. Element
// offsets are formed in 64-bit arithmetic: element (x, y[, c]) of a buffer is
// host[x + y*y_stride (+ c*c_stride) - base].
template <class T>
struct Closure {
    const T *in_host;
    T *out_host;
    const float *w_host;
    int64_t in_base, out_base, w_base;
    int64_t out_c1, out_c2;  // output channels 1 and 2: out_host[x + y*out_y_stride + out_cK]
    int64_t in_y_stride, in_c_stride, out_y_stride, w_y_stride;
    int32_t in_x_min, in_y_min, in_c_min;
    int32_t in_x_end, in_y_end;        // min + extent
    int32_t in_x_extent, in_y_extent, in_c_extent;
    int32_t W, H;                      // output extents
    int32_t out_x_min, out_y_min;
    int32_t N, off;                    // window taps per side and window origin offset
    int32_t nx;                        // tile columns
    int32_t x_skew;                    // in_x_min - out_x_min - min(off, 0)
    int32_t full_blocks;               // whole 128-column blocks in an output row
    int32_t last_group, full_groups;   // row group of the last output row; whole row groups
    int32_t c_lo, c_hi;                // output channels c_lo <= k < c_hi exist in the input
    float R;                           // range term 2*sigma^2
    T pad;                             // pad value or pad sample (constant padding)
};

// One task's tile. x0 and y0 are relative to the output's mins.
struct Tile {
    int32_t tx, ty;
    int32_t x0, y0;
    // Blocks [0, left_end) form the left-edge run, [left_end, interior_end)
    // the interior run and [interior_end, 4) the right-edge run. The split
    // only chooses code paths: every path computes the same bits.
    int32_t left_end, interior_end;
};

enum class Run { left_edge, interior, right_edge };

inline Run block_run(const Tile &tile, int32_t block) {
    if (block < tile.left_end) return Run::left_edge;
    if (block < tile.interior_end) return Run::interior;
    return Run::right_edge;
}

// Arithmetic shift right, i.e. floor division by 2^s, for any sign.
inline int32_t floor_shift(int64_t v, int s) { return static_cast<int32_t>(v >> s); }

template <Layout L, class T>
Tile decode_tile(const Closure<T> &c, int32_t task) {
    Tile tile{};
    // Euclidean division: tasks run along x first; nx = 0 gives tile (0, 0).
    if (c.nx != 0) {
        int32_t q = task / c.nx, r = task % c.nx;
        if (r < 0) {
            r += c.nx > 0 ? c.nx : -c.nx;
            q += c.nx > 0 ? -1 : 1;
        }
        tile.tx = r;
        tile.ty = q;
    }
    tile.x0 = kTileWidth * tile.tx;
    tile.y0 = TileShape<L>::height * tile.ty;

    // Edge and interior runs. D is how far right of the tile's leftmost reach
    // the input starts; blocks left of it need the boundary rule.
    const int32_t D = c.x_skew - tile.x0;
    const int32_t A = std::min(floor_shift(int64_t{D} + 127, 7), kBlocksPerTile);
    const int32_t left = D > 0 ? A : 0;
    int32_t last_inside;  // last block whose reads stay left of the input's end
    if constexpr (L == Layout::gray) {
        const int64_t xs = int64_t{c.out_x_min} + tile.x0 + std::min(c.off, 0);
        last_inside = std::min({floor_shift(int64_t{c.in_x_end} - 1 - xs, 7),
                                c.full_blocks - 4 * tile.tx - 1, int32_t{3}});
    } else {
        const int64_t reach = int64_t{c.in_x_end} - c.out_x_min - c.N - c.off - 127;
        last_inside = std::min(std::min(floor_shift(reach, 7), c.full_blocks - 1) - 4 * tile.tx,
                               int32_t{3});
    }
    const int32_t E = std::max(A, last_inside + 1);
    tile.left_end = left;
    tile.interior_end = std::max(E, int32_t{0});
    return tile;
}

// Number of tasks: tile columns times tile rows, 0 when W or H is 0.
template <Layout L>
int32_t tile_columns(int32_t W) {
    return floor_shift(int64_t{W} + kTileWidth - 1, 9);
}
template <Layout L>
int32_t tile_rows(int32_t H) {
    return floor_shift(int64_t{H} + TileShape<L>::height - 1, TileShape<L>::height_shift);
}

}  // namespace bilateral

#endif  // BILATERAL_ENTRY_TASK_GRID_H
