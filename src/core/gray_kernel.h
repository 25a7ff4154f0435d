// The single-channel tile kernel: filters one task's tile of a gray entry
// point, float32 or 8-bit.
#ifndef BILATERAL_CORE_GRAY_KERNEL_H
#define BILATERAL_CORE_GRAY_KERNEL_H

#include "entry/task_grid.h"
#include "entry/variant.h"

namespace bilateral {

// Writes every output sample of `tile` exactly once. Stops early, leaving the
// rest of the tile untouched, when a scratch allocation fails.
template <class T, Padding P>
void gray_tile(void *user_context, const Closure<T> &c, const Tile &tile);

}  // namespace bilateral

#endif  // BILATERAL_CORE_GRAY_KERNEL_H
