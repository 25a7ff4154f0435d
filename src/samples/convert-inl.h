// Per-target output conversion shared by the vector kernels: quotients leave
// as float32 or as truncated, saturated integer samples.

#if defined(BILATERAL_SAMPLES_CONVERT_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef BILATERAL_SAMPLES_CONVERT_INL_H_
#undef BILATERAL_SAMPLES_CONVERT_INL_H_
#else
#define BILATERAL_SAMPLES_CONVERT_INL_H_
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Stores the first `count` lanes of a quotient vector. A partial vector goes
// through a local copy so that nothing past the last lane is read or written:
// the bytes beyond may belong to another task's tile.
template <class D>
HWY_INLINE void store_quotients(D d, hn::Vec<D> q, float *HWY_RESTRICT p, size_t count) {
    if (count == hn::Lanes(d)) {
        hn::StoreU(q, d, p);
        return;
    }
    HWY_ALIGN float lanes[hn::MaxLanes(d)];
    hn::Store(q, d, lanes);
    std::memcpy(p, lanes, count * sizeof(float));
}

// Unsigned integer samples (uint8_t, uint16_t): NaN gives 0, otherwise
// truncation toward zero saturated to the type's range.
template <class D, class T>
HWY_INLINE void store_quotients(D d, hn::Vec<D> q, T *HWY_RESTRICT p, size_t count) {
    static_assert(std::is_unsigned_v<T> && sizeof(T) <= 2);
    const hn::Rebind<T, D> dt;
    const hn::Rebind<int32_t, D> di;
    const hn::Vec<D> finite = hn::IfThenZeroElse(hn::IsNaN(q), q);
    const hn::Vec<D> clamped =
        hn::Min(hn::Max(finite, hn::Zero(d)), hn::Set(d, static_cast<float>(std::numeric_limits<T>::max())));
    const auto samples = hn::DemoteTo(dt, hn::ConvertTo(di, clamped));
    if (count == hn::Lanes(d)) {
        hn::StoreU(samples, dt, p);
        return;
    }
    HWY_ALIGN T lanes[hn::MaxLanes(dt)];
    hn::Store(samples, dt, lanes);
    std::memcpy(p, lanes, count * sizeof(T));
}

}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#endif  // BILATERAL_SAMPLES_CONVERT_INL_H_
