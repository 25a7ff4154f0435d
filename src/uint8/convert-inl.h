// Per-target output conversion shared by the vector kernels: quotients leave
// as float32 or as truncated, saturated bytes.

#if defined(BILATERAL_UINT8_CONVERT_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef BILATERAL_UINT8_CONVERT_INL_H_
#undef BILATERAL_UINT8_CONVERT_INL_H_
#else
#define BILATERAL_UINT8_CONVERT_INL_H_
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// Bytes: NaN gives 0, otherwise truncation toward zero saturated to 0..255,
// which is what clamping to the 16-bit range, truncating and saturating gives.
template <class D>
HWY_INLINE void store_quotients(D d, hn::Vec<D> q, uint8_t *HWY_RESTRICT p, size_t count) {
    const hn::Rebind<uint8_t, D> d8;
    const hn::Rebind<int32_t, D> di;
    const hn::Vec<D> finite = hn::IfThenZeroElse(hn::IsNaN(q), q);
    const hn::Vec<D> clamped = hn::Min(hn::Max(finite, hn::Zero(d)), hn::Set(d, 255.0f));
    const auto bytes = hn::DemoteTo(d8, hn::ConvertTo(di, clamped));
    if (count == hn::Lanes(d)) {
        hn::StoreU(bytes, d8, p);
        return;
    }
    HWY_ALIGN uint8_t lanes[hn::MaxLanes(d8)];
    hn::Store(bytes, d8, lanes);
    std::memcpy(p, lanes, count);
}

}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#endif  // BILATERAL_UINT8_CONVERT_INL_H_
