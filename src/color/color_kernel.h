// The three-channel tile kernel: filters one task's tile of an RGB entry
// point, float32 or 8-bit.
#ifndef BILATERAL_COLOR_COLOR_KERNEL_H
#define BILATERAL_COLOR_COLOR_KERNEL_H

#include <cstdint>

#include "entry/task_grid.h"
#include "entry/variant.h"

namespace bilateral {

// Writes output channels 0, 1 and 2 of every pixel of `tile` exactly once.
// Stops early, leaving the rest of the tile untouched, when a scratch
// allocation fails.
template <class T, Padding P>
void color_tile(void *user_context, const Closure<T> &c, const Tile &tile);

// The rows of one staged block, for the row filter of any code path. Input
// channel ch of the neighbour of output (q, r) at tap (i, j) is
// staged[ch * plane + (r + j) * stride + q + i]; every plane is readable for
// whole vectors past `cols`.
template <class T>
struct ColorRows {
    const T *staged;
    int64_t stride, plane;
    int32_t channels;     // input channels, all of which enter the distance
    const T *source[3];   // plane each output channel's numerator reads (a plane of pad values
                          // for a constant-padded channel outside the input)
    int32_t cols, rows;
    int32_t N, centre;    // centre = -off: the tap that reads the pixel itself
    float R;
    const float *w_host;  // W(i, j) = w_host[i + j * w_y_stride - w_base]
    int64_t w_y_stride, w_base;
    T *out[3];            // output sample of the block's first column and row, per channel
    int64_t out_stride;
};

}  // namespace bilateral

#endif  // BILATERAL_COLOR_COLOR_KERNEL_H
