// Dispatch of the colour kernel: compiled once per vector target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "color/color_kernel.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "color/color_kernel-inl.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
// Three compared channels are the common case: the distance loop is unrolled.
// One output channel (a gray input beside an RGB guide) or three.
template <int kOutputs, class T>
void color_block_outputs(const BlockJob<T> &job) {
    if (job.channels == 3) {
        filter_block<ColorAccumulate<kOutputs>, 3>(job);
    } else {
        filter_block<ColorAccumulate<kOutputs>, 0>(job);
    }
}
template <class T>
void color_block(const BlockJob<T> &job) {
    if (job.outputs == 3) {
        color_block_outputs<3>(job);
    } else {
        color_block_outputs<1>(job);
    }
}
void color_block_f32(const BlockJob<float> &job) { color_block(job); }
void color_block_u8(const BlockJob<uint8_t> &job) { color_block(job); }
void color_block_u16(const BlockJob<uint16_t> &job) { color_block(job); }
}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "color/color_kernel.h"

namespace bilateral {
HWY_EXPORT(color_block_f32);
HWY_EXPORT(color_block_u8);
HWY_EXPORT(color_block_u16);

void color_block_vector(const BlockJob<float> &job) { HWY_DYNAMIC_DISPATCH(color_block_f32)(job); }
void color_block_vector(const BlockJob<uint8_t> &job) { HWY_DYNAMIC_DISPATCH(color_block_u8)(job); }
void color_block_vector(const BlockJob<uint16_t> &job) { HWY_DYNAMIC_DISPATCH(color_block_u16)(job); }
}  // namespace bilateral
#endif  // HWY_ONCE
