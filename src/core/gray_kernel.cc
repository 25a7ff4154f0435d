// Dispatch of the gray kernel: compiled once per vector target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/gray_kernel.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "core/gray_kernel-inl.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
// One output channel (a gray input) or three (an RGB input beside a gray guide).
template <class T>
void gray_block(const BlockJob<T> &job) {
    if (job.outputs == 3) {
        filter_block<GrayAccumulate<3>, 1>(job);
    } else {
        filter_block<GrayAccumulate<1>, 1>(job);
    }
}
void gray_block_f32(const BlockJob<float> &job) { gray_block(job); }
void gray_block_u8(const BlockJob<uint8_t> &job) { gray_block(job); }
void gray_block_u16(const BlockJob<uint16_t> &job) { gray_block(job); }
}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "core/gray_kernel.h"

namespace bilateral {
HWY_EXPORT(gray_block_f32);
HWY_EXPORT(gray_block_u8);
HWY_EXPORT(gray_block_u16);

void gray_block_vector(const BlockJob<float> &job) { HWY_DYNAMIC_DISPATCH(gray_block_f32)(job); }
void gray_block_vector(const BlockJob<uint8_t> &job) { HWY_DYNAMIC_DISPATCH(gray_block_u8)(job); }
void gray_block_vector(const BlockJob<uint16_t> &job) { HWY_DYNAMIC_DISPATCH(gray_block_u16)(job); }
}  // namespace bilateral
#endif  // HWY_ONCE
