// The colour kernel: filters one staged block whose range weights compare
// several planes (an RGB image, or an RGB guide beside a gray or RGB input), on
// the best vector target or, on CPUs without a vector target that has a fused
// multiply-add, one float at a time with std::fma.
#ifndef BILATERAL_COLOR_COLOR_KERNEL_H
#define BILATERAL_COLOR_COLOR_KERNEL_H

#include <cmath>
#include <cstdint>

#include "core/range_exp.h"
#include "core/block_job.h"
#include "samples/convert.h"

namespace bilateral {

// The block on the vector target Highway dispatches to; only for targets with
// a native fused multiply-add (vector_kernels_usable()).
void color_block_vector(const BlockJob<float> &job);
void color_block_vector(const BlockJob<uint8_t> &job);
void color_block_vector(const BlockJob<uint16_t> &job);

// For every pixel, over the taps run in window order: D = fma(d, d, D) over the
// compared channels (the input's, or a joint call's guide's) in ascending
// order, e = range_exp(-D / R), sum = fma(e, W(i, j), sum), and for each output
// channel k num_k = fma(S_k * W(i, j), e, num_k) with S_k the neighbour's
// sample in plane source[k]; each result is num_k / sum.
template <class T>
void color_block_scalar(const BlockJob<T> &job) {
    for (int32_t r = 0; r < job.rows; ++r) {
        for (int32_t q = 0; q < job.cols; ++q) {
            const float *centre = job.sample(q, r);
            float sum = 0.0f, num[3] = {0.0f, 0.0f, 0.0f};
            for (int32_t m = 0; m < job.taps.taps; ++m) {
                const int32_t t = job.taps.tap[m];
                const float *n = job.sample(q + job.off + t % job.N, r + job.off + t / job.N);
                float D = 0.0f;
                for (int32_t ch = 0; ch < job.channels; ++ch) {
                    const float d = centre[ch * job.plane] - n[ch * job.plane];
                    D = std::fma(d, d, D);
                }
                const float e = range_exp_scalar(-D / job.R);
                const float w = job.taps.spatial[m];
                sum = std::fma(e, w, sum);
                for (int32_t k = 0; k < job.outputs; ++k) num[k] = std::fma(n[job.source[k]] * w, e, num[k]);
            }
            for (int32_t k = 0; k < job.outputs; ++k) store_result(job, k, r, q, num[k] / sum);
        }
    }
}

}  // namespace bilateral

#endif  // BILATERAL_COLOR_COLOR_KERNEL_H
