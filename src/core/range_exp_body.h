// The body of range_exp, written once over an operations policy.
//
// Deliberately without an include guard: range_exp.h includes it in namespace
// bilateral for scalar floats, and range_exp-inl.h includes it again inside
// each SIMD target's namespace, so that the vector instantiation is compiled
// with that target's instruction set. The constants live in range_exp.h.

// e^t: y = t*log2(e); k = floor(y); r = t - k*ln2 (one fused step); an odd and
// an even polynomial half in s = r^2, joined at the end; scaled by 2^k built
// from exponent bits; k >= 128 selects +inf and k <= -127 selects +0, both
// after the multiplication. Subnormal results are kept.
template <class Ops>
__attribute__((always_inline)) inline typename Ops::V range_exp(typename Ops::V t) {
    using V = typename Ops::V;
    using namespace range_exp_bits;
    const V y = Ops::mul(t, Ops::constant(kLog2e));
    const V kf = Ops::floor(y);
    // k: kf as int32, truncating, saturating, NaN giving 0. A policy may keep it
    // in another form when the three uses below give the same results.
    const auto k = Ops::exponent(kf);
    const V r = Ops::fma(kf, Ops::constant(kMinusLn2), t);
    const V s = Ops::mul(r, r);

    const V a = Ops::fma(s, Ops::constant(kC7), Ops::constant(kC5));
    const V b = Ops::fma(a, s, Ops::constant(kC3));
    const V b2 = Ops::mul(b, s);
    const V odd = Ops::fma(r, b2, r);

    const V c = Ops::fma(s, Ops::constant(kC6), Ops::constant(kC4));
    const V e = Ops::fma(c, s, Ops::constant(kC2));
    const V f = Ops::fma(e, s, Ops::constant(kOne));

    const V p = Ops::add(f, odd);
    // p * scale, scale = the float with bits (k << 23) + 0x3F800000 (wrapping),
    // which is 2^k wherever the result is kept; one rounded product.
    const V v = Ops::scale_by_exponent(p, k);
    // A policy for arguments that are never positive (every range argument is
    // -D / R with D >= 0 and R >= 0, or NaN) may skip the overflow selection:
    // t <= 0 gives k <= 0.
    if constexpr (Ops::kArgumentNeverPositive) return Ops::select_if_le(k, -127, Ops::constant(0), v);
    const V v_over = Ops::select_if_ge(k, 128, Ops::constant(kInfinity), v);
    return Ops::select_if_le(k, -127, Ops::constant(0), v_over);
}
