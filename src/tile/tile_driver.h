// The tile driver: runs one task's tile of any entry point. It stages each
// block of the tile through the boundary rule as float32, prepares the tap
// tables and scratch, and hands the block to the layout's kernel.
#ifndef BILATERAL_TILE_TILE_DRIVER_H
#define BILATERAL_TILE_TILE_DRIVER_H

#include "core/variant.h"
#include "tile/task_grid.h"

namespace bilateral {

// Writes every output sample of `tile` (all three channels for RGB) exactly
// once. Stops early, leaving the rest of the tile untouched, when a scratch
// allocation fails.
template <Layout L, class T, Padding P>
void filter_tile(void *user_context, const Closure<T> &c, const Tile &tile);

}  // namespace bilateral

#endif  // BILATERAL_TILE_TILE_DRIVER_H
