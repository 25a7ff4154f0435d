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
#include <type_traits>

#include "core/range_exp.h"
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace bilateral {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// SVE vectors are sizeless: they cannot be array elements or struct members.
// There, groups of independent vectors shrink to one vector.
#if HWY_TARGET == HWY_SVE || HWY_TARGET == HWY_SVE2 || HWY_TARGET == HWY_SVE_256 || HWY_TARGET == HWY_SVE2_128
constexpr bool kSizelessVectors = true;
#else
constexpr bool kSizelessVectors = false;
#endif

// K vectors worked on together: an array of them, or for K = 1 the vector
// itself (the only group sizeless vectors allow). at<K>(g, i) is vector i.
template <class D, int K>
struct VecGroupOf {
    using type = hn::Vec<D>[K];
};
template <class D>
struct VecGroupOf<D, 1> {
    using type = hn::Vec<D>;
};
template <class D, int K>
using VecGroup = typename VecGroupOf<D, K>::type;

template <int K, class G>
HWY_INLINE auto &at(G &group, int i) {
    if constexpr (K == 1) {
        (void)i;
        return group;
    } else {
        return group[i];
    }
}

// The size of a group type: 1 for a single vector.
template <class G>
constexpr int group_size_v = std::extent_v<G> > 0 ? static_cast<int>(std::extent_v<G>) : 1;

// The operations range_exp needs, on full float32 vectors of tag D.
template <class D, bool kNonPositive = false>
struct VectorOps {
    using V = hn::Vec<D>;
    using DI = hn::RebindToSigned<D>;
    static constexpr bool kArgumentNeverPositive = kNonPositive;

    static V constant(uint32_t bits) { return hn::BitCast(D(), hn::Set(DI(), static_cast<int32_t>(bits))); }
    static V mul(V a, V b) { return hn::Mul(a, b); }
    static V add(V a, V b) { return hn::Add(a, b); }
    static V fma(V a, V b, V c) { return hn::MulAdd(a, b, c); }
    static V floor(V a) { return hn::Floor(a); }

    // The exponent stays the float kf (an integer value, or +-inf or NaN):
    // comparing kf with the limits agrees with comparing the saturated int32
    // (NaN compares false, as k = 0 would), and the scale is only used where
    // -127 < kf < 128, where adding 1.5 * 2^23 puts k in the low mantissa bits
    // exactly. Shifted left by 23 those bits give k << 23, the rest falls out.
    // A NaN lane has p = NaN, so its scale does not matter.
    // With AVX-512, vscalefps forms p * 2^kf in one rounded step, the same
    // product as multiplying by the exact power of two.
    static V exponent(V kf) { return kf; }
    static V scale_by_exponent(V p, V kf) {
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
        if constexpr (hn::MaxLanes(D()) == 16) return V{_mm512_scalef_ps(p.raw, kf.raw)};
#endif
        const auto biased = hn::BitCast(DI(), hn::Add(kf, hn::Set(D(), 12582912.0f)));
        return hn::Mul(p, hn::BitCast(D(), hn::Add(hn::ShiftLeft<23>(biased), hn::Set(DI(), 0x3F800000))));
    }
    static V select_if_ge(V kf, int32_t limit, V yes, V no) {
        return hn::IfThenElse(hn::Ge(kf, hn::Set(D(), static_cast<float>(limit))), yes, no);
    }
    static V select_if_le(V kf, int32_t limit, V yes, V no) {
        return hn::IfThenElse(hn::Le(kf, hn::Set(D(), static_cast<float>(limit))), yes, no);
    }
};

// K > 1 independent vectors evaluated in lockstep: each step of range_exp is
// issued for all K before the next, so the long dependency chain of one
// evaluation overlaps with the others'.
template <class D, int K>
struct Lockstep {
    // User-provided, so that GCC builds it under this target's options (an
    // implicit one fails to inline the vectors' constructors on NEON).
    HWY_INLINE Lockstep() {}
    hn::Vec<D> v[K];
};

template <class D, int K, bool kNonPositive>
struct LockstepOps {
    using One = VectorOps<D>;
    using V = Lockstep<D, K>;
    static constexpr bool kArgumentNeverPositive = kNonPositive;

    template <class F>
    static HWY_INLINE V each(F f) {
        V r;
        for (int i = 0; i < K; ++i) r.v[i] = f(i);
        return r;
    }
    static V constant(uint32_t bits) {
        const auto c = One::constant(bits);
        return each([&](int) HWY_ATTR { return c; });
    }
    static V mul(const V &a, const V &b) { return each([&](int i) HWY_ATTR { return One::mul(a.v[i], b.v[i]); }); }
    static V add(const V &a, const V &b) { return each([&](int i) HWY_ATTR { return One::add(a.v[i], b.v[i]); }); }
    static V fma(const V &a, const V &b, const V &c) {
        return each([&](int i) HWY_ATTR { return One::fma(a.v[i], b.v[i], c.v[i]); });
    }
    static V floor(const V &a) { return each([&](int i) HWY_ATTR { return One::floor(a.v[i]); }); }
    static V exponent(const V &kf) { return kf; }
    static V scale_by_exponent(const V &p, const V &kf) {
        return each([&](int i) HWY_ATTR { return One::scale_by_exponent(p.v[i], kf.v[i]); });
    }
    static V select_if_ge(const V &kf, int32_t limit, const V &yes, const V &no) {
        return each([&](int i) HWY_ATTR { return One::select_if_ge(kf.v[i], limit, yes.v[i], no.v[i]); });
    }
    static V select_if_le(const V &kf, int32_t limit, const V &yes, const V &no) {
        return each([&](int i) HWY_ATTR { return One::select_if_le(kf.v[i], limit, yes.v[i], no.v[i]); });
    }
};

#include "core/range_exp_body.h"  // range_exp<Ops>, compiled for this target

// range_exp of a group of K vectors, in place, for arguments that are never
// positive (or NaN), as every range argument of the kernels is.
template <int K, class D>
HWY_INLINE void range_exp_nonpositive(D, VecGroup<D, K> &t) {
    if constexpr (K == 1) {
        t = range_exp<VectorOps<D, true>>(t);
    } else {
        Lockstep<D, K> in;
        for (int i = 0; i < K; ++i) in.v[i] = t[i];
        const Lockstep<D, K> out = range_exp<LockstepOps<D, K, true>>(in);
        for (int i = 0; i < K; ++i) t[i] = out.v[i];
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace bilateral
HWY_AFTER_NAMESPACE();

#endif  // BILATERAL_CORE_RANGE_EXP_INL_H_
