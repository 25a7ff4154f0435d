// Per-target vector operations for range_exp: one lane per output column.
// Only targets with a true fused multiply-add run this code (see simd.h).

// Highway's per-target include guard.
#if defined(BILATERAL_CORE_RANGE_EXP_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef BILATERAL_CORE_RANGE_EXP_INL_H_
#undef BILATERAL_CORE_RANGE_EXP_INL_H_
#else
#define BILATERAL_CORE_RANGE_EXP_INL_H_
#endif

#include <cstdint>

#include "core/range_exp.h"
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The operations range_exp needs, on full float32 vectors of tag D.
template <class D>
struct VectorOps {
    using V = hn::Vec<D>;
    using DI = hn::RebindToSigned<D>;
    using VI = hn::Vec<DI>;

    static V constant(uint32_t bits) { return hn::BitCast(D(), hn::Set(DI(), static_cast<int32_t>(bits))); }
    static V mul(V a, V b) { return hn::Mul(a, b); }
    static V add(V a, V b) { return hn::Add(a, b); }
    static V fma(V a, V b, V c) { return hn::MulAdd(a, b, c); }
    static V floor(V a) { return hn::Floor(a); }
    // Truncating, saturating conversion; the hardware gives INT_MIN (or
    // Highway INT_MAX) for NaN, so NaN lanes are set to 0 explicitly.
    static VI to_int32_sat(V a) {
        return hn::IfThenZeroElse(hn::RebindMask(DI(), hn::IsNaN(a)), hn::ConvertTo(DI(), a));
    }
    static V scale_from_exponent(VI k) {
        return hn::BitCast(D(), hn::Add(hn::ShiftLeft<23>(k), hn::Set(DI(), 0x3F800000)));
    }
    static V select_if_ge(VI k, int32_t limit, V yes, V no) {
        return hn::IfThenElse(hn::RebindMask(D(), k > hn::Set(DI(), limit - 1)), yes, no);
    }
    static V select_if_le(VI k, int32_t limit, V yes, V no) {
        return hn::IfThenElse(hn::RebindMask(D(), k < hn::Set(DI(), limit + 1)), yes, no);
    }
};

#include "core/range_exp_body.h"  // range_exp<Ops>, compiled for this target

template <class D>
HWY_INLINE hn::Vec<D> range_exp_vector(D, hn::Vec<D> t) {
    return range_exp<VectorOps<D>>(t);
}

}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#endif  // BILATERAL_CORE_RANGE_EXP_INL_H_
