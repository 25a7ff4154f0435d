// The single-channel tile kernel: filters one task's tile of a gray entry
// point, float32 or 8-bit.
#ifndef BILATERAL_CORE_GRAY_KERNEL_H
#define BILATERAL_CORE_GRAY_KERNEL_H

#include <cstdint>

#include "entry/task_grid.h"
#include "entry/variant.h"

namespace bilateral {

// Writes every output sample of `tile` exactly once. Stops early, leaving the
// rest of the tile untouched, when a scratch allocation fails.
template <class T, Padding P>
void gray_tile(void *user_context, const Closure<T> &c, const Tile &tile);

// The rows of one staged block, for the row filter of any code path.
// staged[(r + j) * stride + q + i] is the neighbour of output (q, r) at tap
// (i, j); the staged array is readable for whole vectors past `cols`.
template <class T>
struct GrayRows {
    const T *staged;
    int64_t stride;
    int32_t cols, rows;
    int32_t N, centre;  // centre = -off: the tap that reads the sample itself
    float R;
    const float *w_host;  // W(i, j) = w_host[i + j * w_y_stride - w_base]
    int64_t w_y_stride, w_base;
    T *out;  // output sample of the block's first column and row
    int64_t out_stride;
};

}  // namespace bilateral

#endif  // BILATERAL_CORE_GRAY_KERNEL_H
