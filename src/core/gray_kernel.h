// The gray kernel: filters one staged block of a single-channel image, on
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
// column i inner): d = c - n, w = range_exp((d * -d) / R) * W(i, j),
// sum = w + sum, acc = fma(w, n, acc); the result is acc / sum.
template <class T>
void gray_block_scalar(const BlockJob<T> &job) {
    for (int32_t r = 0; r < job.rows; ++r) {
        for (int32_t q = 0; q < job.cols; ++q) {
            const float c = *job.sample(q, r);
            float sum = 0.0f, acc = 0.0f;
            for (int32_t k = 0; k < job.taps.taps; ++k) {
                const int32_t t = job.taps.tap[k];
                const float n = *job.sample(q + job.off + t % job.N, r + job.off + t / job.N);
                const float d = c - n;
                const float w = range_exp_scalar((d * -d) / job.R) * job.taps.spatial[k];
                sum = w + sum;
                acc = std::fma(w, n, acc);
            }
            store_result(job, 0, r, q, acc / sum);
        }
    }
}

}  // namespace bilateral

#endif  // BILATERAL_CORE_GRAY_KERNEL_H
