#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "core/simd.cc"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include "core/simd.h"

#include <cstring>

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

bool has_native_fma() { return HWY_NATIVE_FMA != 0; }

// By bits, as signed integers b: the floats that pass are 0 .. 0x7F7FFFFF and
// INT32_MIN (-0). So all pass when max(b) <= 0x7F7FFFFF and min(b - 1) >= -1
// (b - 1 wraps INT32_MIN round to INT32_MAX; every negative float but -0 gives
// b - 1 < -1).
bool all_finite_nonnegative(const float *p, int64_t count) {
    const hn::ScalableTag<int32_t> d;
    const int64_t lanes = static_cast<int64_t>(hn::Lanes(d));
    const auto *b = reinterpret_cast<const int32_t *>(p);
    auto most = hn::Set(d, 0), least = hn::Set(d, -1);
    const auto one = hn::Set(d, 1);
    int64_t i = 0;
    for (; i + lanes <= count; i += lanes) {
        const auto v = hn::LoadU(d, b + i);
        most = hn::Max(most, v);
        least = hn::Min(least, hn::Sub(v, one));
    }
    bool ok = hn::GetLane(hn::MaxOfLanes(d, most)) <= 0x7F7FFFFF && hn::GetLane(hn::MinOfLanes(d, least)) >= -1;
    for (; i < count; ++i) {
        uint32_t u;
        std::memcpy(&u, p + i, sizeof u);
        ok = ok && (u <= 0x7F7FFFFFu || u == 0x80000000u);
    }
    return ok;
}
}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace bilateral {
HWY_EXPORT(has_native_fma);

bool vector_kernels_usable() { return HWY_DYNAMIC_DISPATCH(has_native_fma)(); }

HWY_EXPORT(all_finite_nonnegative);

bool all_finite_nonnegative(const float *p, int64_t count) { return HWY_DYNAMIC_DISPATCH(all_finite_nonnegative)(p, count); }
}  // namespace bilateral
#endif
