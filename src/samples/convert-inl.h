// Per-target output conversion shared by the vector kernels: quotients leave
// as float32 or as truncated or rounded, saturated integer samples, stored
// next to one another or x_stride apart.

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

// Stores the first `count` lanes of a quotient vector, lane i at p[i * x_stride].
// A partial or spread vector goes through a local copy so that nothing but
// those samples is read or written: the bytes between and beyond may belong
// to another task's tile or to other channels.
template <class D, class T>
HWY_INLINE void store_lanes(D d, hn::Vec<D> v, T *HWY_RESTRICT p, size_t count, int64_t x_stride) {
    if (x_stride == 1 && count == hn::Lanes(d)) {
        hn::StoreU(v, d, p);
        return;
    }
    // Sized by the float32 tag of the same lanes, not by MaxLanes(d): for SVE
    // tags narrower than a whole vector (8- and 16-bit lanes beside float32
    // ones) Highway 1.0.3's MaxLanes is below Lanes.
    HWY_ALIGN T lanes[hn::MaxLanes(hn::Rebind<float, D>())];
    hn::Store(v, d, lanes);
    if (x_stride == 1) {
        std::memcpy(p, lanes, count * sizeof(T));
        return;
    }
    for (size_t i = 0; i < count; ++i) p[static_cast<int64_t>(i) * x_stride] = lanes[i];
}

// Float quotients are stored as they are (`round` does not apply).
template <class D>
HWY_INLINE void store_quotients(D d, hn::Vec<D> q, float *HWY_RESTRICT p, size_t count, bool round,
                                int64_t x_stride) {
    (void)round;
    store_lanes(d, q, p, count, x_stride);
}

// Unsigned integer samples (uint8_t, uint16_t): NaN gives 0, otherwise
// truncation toward zero or (round) rounding to nearest, ties to even,
// saturated to the type's range. Adding and taking away 2^23 rounds the
// clamped quotient to an integer in the round-to-nearest-even mode the entry
// points set, exactly as quotient_to_sample_rounded does.
template <class D, class T>
HWY_INLINE void store_quotients(D d, hn::Vec<D> q, T *HWY_RESTRICT p, size_t count, bool round, int64_t x_stride) {
    static_assert(std::is_unsigned_v<T> && sizeof(T) <= 2);
    const hn::Rebind<T, D> dt;
    const hn::Rebind<int32_t, D> di;
    const hn::Vec<D> finite = hn::IfThenZeroElse(hn::IsNaN(q), q);
    hn::Vec<D> clamped =
        hn::Min(hn::Max(finite, hn::Zero(d)), hn::Set(d, static_cast<float>(std::numeric_limits<T>::max())));
    if (round) {
        const hn::Vec<D> two23 = hn::Set(d, 8388608.0f);
        clamped = hn::Sub(hn::Add(clamped, two23), two23);
    }
    store_lanes(dt, hn::DemoteTo(dt, hn::ConvertTo(di, clamped)), p, count, x_stride);
}

}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#endif  // BILATERAL_SAMPLES_CONVERT_INL_H_
