// The gray kernel: filters one staged block whose range weights compare one
// plane (a gray image, or a gray guide beside a gray or RGB input), on
// the best vector target or, on CPUs without a vector target that has a fused
// multiply-add, one float at a time with std::fma.
#ifndef BILATERAL_CORE_GRAY_KERNEL_H
#define BILATERAL_CORE_GRAY_KERNEL_H

#include <cmath>
#include <cstdint>

#include "core/range_exp.h"
#include "core/block_job.h"
#include "samples/convert.h"

namespace bilateral {

// The block on the vector target Highway dispatches to; only for targets with
// a native fused multiply-add (vector_kernels_usable()).
void gray_block_vector(const BlockJob<float> &job);
void gray_block_vector(const BlockJob<uint8_t> &job);
void gray_block_vector(const BlockJob<uint16_t> &job);

// For every output sample, over the taps run in window order (row j outer,
// column i inner): d = c - g between the compared samples of the centre and
// the neighbour, w = range_exp((d * -d) / R) * W(i, j), sum = w + sum, and for
// each output channel k acc_k = fma(w, S_k, acc_k) with S_k the neighbour's
// sample in plane source[k]; each result is acc_k / sum.
template <class T>
void gray_block_scalar(const BlockJob<T> &job) {
    for (int32_t r = 0; r < job.rows; ++r) {
        for (int32_t q = 0; q < job.cols; ++q) {
            const float c = *job.sample(q, r);
            float sum = 0.0f, acc[3] = {0.0f, 0.0f, 0.0f};
            for (int32_t k = 0; k < job.taps.taps; ++k) {
                const int32_t t = job.taps.tap[k];
                const float *n = job.sample(q + job.off + t % job.N, r + job.off + t / job.N);
                const float d = c - *n;
                const float w = range_exp_scalar((d * -d) / job.R) * job.taps.spatial[k];
                sum = w + sum;
                for (int32_t o = 0; o < job.outputs; ++o) acc[o] = std::fma(w, n[job.source[o]], acc[o]);
            }
            for (int32_t o = 0; o < job.outputs; ++o) store_result(job, o, r, q, acc[o] / sum);
        }
    }
}

}  // namespace bilateral

#endif  // BILATERAL_CORE_GRAY_KERNEL_H
