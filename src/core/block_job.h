// A block job: everything a kernel needs to filter one staged block of
// output samples, as plain pointers, strides, counts and scalars.
#ifndef BILATERAL_CORE_BLOCK_JOB_H
#define BILATERAL_CORE_BLOCK_JOB_H

#include <cstdint>

#include "core/weight_planes.h"
#include "samples/convert.h"

namespace bilateral {

// One staged block, as the row filters of every code path see it. Positions
// (u, v) are relative to the block's first output sample; input channel ch at
// (u, v) is staged[ch * plane + (v - v_lo) * stride + (u - u_lo)]. The staged
// planes and the weight planes are readable for whole vectors past `cols`.
template <class T>
struct BlockJob {
    const float *staged;
    const uint8_t *staged_bytes;  // gray 8-bit distance: plane 0 once more as bytes; else NULL
    int64_t stride, plane;
    int32_t u_lo, v_lo;
    int32_t channels;     // planes from plane 0 on that enter the distance: the input's
                          // channels, or in a joint call the guide's
    int32_t outputs;      // output channels: 1 (gray) or 3 (RGB)
    int64_t source[3];    // offset from plane 0 to the plane each output channel's
                          // numerator reads (a plane of pad values for a padded channel)
    int32_t cols, rows;   // output columns and rows of the block
    int32_t N, off;
    float R;
    TapPlan plan;
    TapList taps;         // the taps run, with their W; the kernels index taps by position in this list
    const float *plane_weight;  // gray: W of every weight plane the taps read when the planes hold
                                // products range weight * W (point-symmetric W); NULL: range weights
    float *planes;        // weight planes, plane_cols floats each; NULL: weights computed per tap
    int64_t plane_cols;
    const float **tap_weight, **tap_sample;  // room for N * N pointers: one row's tap tables, per tap run
    T *out[3];            // output sample (first column, first row) of each output channel
    int64_t out_stride, out_x_stride;  // output rows and columns apart, in elements
    bool round;           // integer results rounded to nearest instead of truncated

    const float *sample(int32_t u, int32_t v) const { return staged + (v - v_lo) * stride + (u - u_lo); }
    const uint8_t *sample_byte(int32_t u, int32_t v) const { return staged_bytes + (v - v_lo) * stride + (u - u_lo); }
};

// Stores the quotient of output channel k at column q, row r of the block.
template <class T>
inline void store_result(const BlockJob<T> &job, int k, int32_t r, int32_t q, float quotient) {
    job.out[k][r * job.out_stride + q * job.out_x_stride] = store_quotient<T>(quotient, job.round);
}

}  // namespace bilateral

#endif  // BILATERAL_CORE_BLOCK_JOB_H
