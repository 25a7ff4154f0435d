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

// For every output sample, over the taps in window order (row j outer,
// column i inner): d = c - n, w = range_exp((d * -d) / R) * W(i, j),
// sum = w + sum, acc = fma(w, n, acc); the result is acc / sum.
template <class T>
void gray_block_scalar(const BlockJob<T> &job) {
    for (int32_t r = 0; r < job.rows; ++r) {
        T *out = job.out[0] + r * job.out_stride;
        for (int32_t q = 0; q < job.cols; ++q) {
            const float c = *job.sample(q, r);
            float sum = 0.0f, acc = 0.0f;
            int32_t t = 0;
            for (int32_t j = 0; j < job.N; ++j) {
                const float *neighbours = job.sample(q + job.off, r + job.off + j);
                for (int32_t i = 0; i < job.N; ++i, ++t) {
                    const float n = neighbours[i];
                    const float d = c - n;
                    const float w = range_exp_scalar((d * -d) / job.R) * job.spatial[t];
                    sum = w + sum;
                    acc = std::fma(w, n, acc);
                }
            }
            out[q] = store_quotient<T>(acc / sum);
        }
    }
}

}  // namespace bilateral

#endif  // BILATERAL_CORE_GRAY_KERNEL_H
