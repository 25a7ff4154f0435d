// Whether the vector kernels may run on this CPU. Results are defined with
// fused multiply-adds; Highway's fallback target emulates them with a
// separate multiply and add, so on CPUs whose best target has no native FMA
// the portable scalar kernels (std::fma) run instead.
#ifndef BILATERAL_CORE_SIMD_H
#define BILATERAL_CORE_SIMD_H

#include <cstdint>

namespace bilateral {

// True when the target Highway dispatches to has a native fused multiply-add.
// Asked on every tile so that tests can switch targets between calls.
bool vector_kernels_usable();

// True when none of the `count` floats at p is negative, infinite or NaN
// (-0 passes), on the best vector target (whatever its multiply-add).
bool all_finite_nonnegative(const float *p, int64_t count);

// dst[q] = src[q * stride] as float32 (exactly) for 0 <= q < count, stride
// not 0: a row of 8- or 16-bit samples, contiguous or interleaved with other
// channels.
// Reads only the memory from src up to the last sample read.
void widen_samples(const uint8_t *src, int64_t stride, int64_t count, float *dst);
void widen_samples(const uint16_t *src, int64_t stride, int64_t count, float *dst);

// Staged rows and weight planes are sized in multiples of this many columns,
// so that whole-vector loads and stores of the last chunk stay inside them:
// vectors hold at most 16 float32 lanes on any compiled target, and byte
// lookups work on 64 samples at a time.
constexpr int kMaxLanes = 64;

}  // namespace bilateral

#endif  // BILATERAL_CORE_SIMD_H
