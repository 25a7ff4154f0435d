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
// Whole vectors of samples x stride 1 to 4 apart (RGB and RGBA pictures
// interleave 3 or 4 samples per pixel), then one at a time. An interleaved
// load of K samples reads stride * K elements, up to stride - 1 past the last
// sample it needs: those lie before the next sample, so only groups followed
// by another sample take whole vectors.
template <class T>
void widen_row(const T *src, int64_t stride, int64_t count, float *dst) {
    const hn::ScalableTag<float> df;
    const hn::Rebind<T, decltype(df)> dt;
    const hn::RebindToSigned<decltype(df)> di;
    const int64_t K = static_cast<int64_t>(hn::Lanes(df));
    const auto widen = [&](hn::Vec<decltype(dt)> v) HWY_ATTR { return hn::ConvertTo(df, hn::PromoteTo(di, v)); };
    int64_t q = 0;
    hn::Vec<decltype(dt)> a, b, c, e;
    if (stride == 1) {
        for (; q + K <= count; q += K) hn::StoreU(widen(hn::LoadU(dt, src + q)), df, dst + q);
    } else if (stride == 2) {
        for (; q + K < count; q += K) hn::LoadInterleaved2(dt, src + 2 * q, a, b), hn::StoreU(widen(a), df, dst + q);
    } else if (stride == 3) {
        for (; q + K < count; q += K) hn::LoadInterleaved3(dt, src + 3 * q, a, b, c), hn::StoreU(widen(a), df, dst + q);
    } else if (stride == 4) {
        for (; q + K < count; q += K) {
            hn::LoadInterleaved4(dt, src + 4 * q, a, b, c, e);
            hn::StoreU(widen(a), df, dst + q);
        }
    }
    for (; q < count; ++q) dst[q] = static_cast<float>(src[q * stride]);
}
void widen_u8(const uint8_t *src, int64_t stride, int64_t count, float *dst) { widen_row(src, stride, count, dst); }
void widen_u16(const uint16_t *src, int64_t stride, int64_t count, float *dst) { widen_row(src, stride, count, dst); }

}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace bilateral {
HWY_EXPORT(has_native_fma);

bool vector_kernels_usable() { return HWY_DYNAMIC_DISPATCH(has_native_fma)(); }

HWY_EXPORT(all_finite_nonnegative);

bool all_finite_nonnegative(const float *p, int64_t count) { return HWY_DYNAMIC_DISPATCH(all_finite_nonnegative)(p, count); }

HWY_EXPORT(widen_u8);
HWY_EXPORT(widen_u16);

void widen_samples(const uint8_t *src, int64_t stride, int64_t count, float *dst) {
    HWY_DYNAMIC_DISPATCH(widen_u8)(src, stride, count, dst);
}
void widen_samples(const uint16_t *src, int64_t stride, int64_t count, float *dst) {
    HWY_DYNAMIC_DISPATCH(widen_u16)(src, stride, count, dst);
}
}  // namespace bilateral
#endif
