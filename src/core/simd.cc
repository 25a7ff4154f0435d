#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "core/simd.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
bool has_native_fma() { return HWY_NATIVE_FMA != 0; }
}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace bilateral {
HWY_EXPORT(has_native_fma);

bool vector_kernels_usable() { return HWY_DYNAMIC_DISPATCH(has_native_fma)(); }
}  // namespace bilateral
#endif
