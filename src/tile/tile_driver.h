// The tile driver: runs one task's tile of any entry point. It stages each
// block of the tile through the boundary rule as float32 (the guide's samples
// too in a joint call), prepares the tap tables and scratch, and hands the
// block to the kernel of the compared layout.
#ifndef BILATERAL_TILE_TILE_DRIVER_H
#define BILATERAL_TILE_TILE_DRIVER_H

#include <cstdint>

#include "core/variant.h"
#include "tile/task_grid.h"

namespace bilateral {

// Writes every output sample of `tile` (all three channels for RGB) exactly
// once. Stops early, leaving the rest of the tile untouched, when a scratch
// allocation fails.
template <Layout L, class T, Padding P>
void filter_tile(void *user_context, const Closure<T> &c, const Tile &tile);

// What sizes the scratch of a call's tasks: the variant, the window (N, off),
// the input's channel range (RGB), the output's extents in x and y, and for a
// joint call the guide's layout, sample type and channel count.
struct ScratchShape {
    Layout layout;
    Sample sample;
    Padding padding;
    int32_t N, off;
    int32_t in_c_min, in_c_extent;
    int32_t out_width, out_height;
    bool joint;
    Layout guide_layout;
    Sample guide_sample;
    int32_t guide_channels;
};

// Bytes that one task of such a call takes from halide_malloc at most, over
// every tile shape of the call: its tap tables, its widest staged block (with
// the guide's planes, the pad plane, and for a gray 8-bit distance the byte
// copy) and its weight planes,
// each counted when it does not fit its slot's stack arena. Assumes the
// vector kernels, which take more than the scalar ones. 0 when no task takes
// heap; -1 when a task's scratch cannot be expressed (that task then writes
// nothing).
int64_t task_scratch_bytes(const ScratchShape &shape);

}  // namespace bilateral

#endif  // BILATERAL_TILE_TILE_DRIVER_H
