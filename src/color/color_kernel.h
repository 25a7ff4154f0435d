// The three-channel tile kernel: filters one task's tile of an RGB entry
// point, float32 or 8-bit.
#ifndef BILATERAL_COLOR_COLOR_KERNEL_H
#define BILATERAL_COLOR_COLOR_KERNEL_H

#include "entry/task_grid.h"
#include "entry/variant.h"

namespace bilateral {

// Writes output channels 0, 1 and 2 of every pixel of `tile` exactly once.
// Stops early, leaving the rest of the tile untouched, when a scratch
// allocation fails.
template <class T, Padding P>
void color_tile(void *user_context, const Closure<T> &c, const Tile &tile);

}  // namespace bilateral

#endif  // BILATERAL_COLOR_COLOR_KERNEL_H
