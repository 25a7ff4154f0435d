// Whether the vector kernels may run on this CPU. Results are defined with
// fused multiply-adds; Highway's fallback target emulates them with a
// separate multiply and add, so on CPUs whose best target has no native FMA
// the portable scalar kernels (std::fma) run instead.
#ifndef BILATERAL_CORE_SIMD_H
#define BILATERAL_CORE_SIMD_H

namespace bilateral {

// True when the target Highway dispatches to has a native fused multiply-add.
// Asked on every tile so that tests can switch targets between calls.
bool vector_kernels_usable();

// Columns a staged row must hold beyond the block so that whole-vector loads
// of the last chunk stay inside the staged array: vectors hold at most this
// many float32 lanes on any compiled target.
constexpr int kMaxLanes = 32;

}  // namespace bilateral

#endif  // BILATERAL_CORE_SIMD_H
