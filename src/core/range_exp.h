// The range-weight exponential: a fixed single-precision approximation of e^t
// evaluated the same way, operation for operation, by every kernel, so that a
// range weight has the same bits on every machine, code path and lane.
//
// `range_exp` is written once over an operations policy `Ops` (value type V,
// 32-bit integer type VI). ScalarOps below evaluates one float with std::fma;
// the SIMD kernels supply a vector policy with the same operations.
#ifndef BILATERAL_CORE_RANGE_EXP_H
#define BILATERAL_CORE_RANGE_EXP_H

#include <cmath>
#include <cstdint>
#include <cstring>

namespace bilateral {

// Constants by bit pattern.
namespace range_exp_bits {
constexpr uint32_t kLog2e = 0x3FB8AA3B;     // scale into base 2
constexpr uint32_t kMinusLn2 = 0xBF317218;  // one-step range reduction
constexpr uint32_t kC7 = 0x39A797F3;
constexpr uint32_t kC6 = 0x3A9C2E66;
constexpr uint32_t kC5 = 0x3C0B192A;
constexpr uint32_t kC4 = 0x3D2A66BC;
constexpr uint32_t kC3 = 0x3E2AAE1F;
constexpr uint32_t kC2 = 0x3EFFFFDE;  // not quite 0.5
constexpr uint32_t kOne = 0x3F800000;
constexpr uint32_t kInfinity = 0x7F800000;
}  // namespace range_exp_bits

inline float float_from_bits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

inline uint32_t bits_from_float(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

#include "core/range_exp_body.h"  // defines range_exp<Ops> here, for scalar floats

// One float at a time.
struct ScalarOps {
    using V = float;
    using VI = int32_t;
    static constexpr bool kArgumentNeverPositive = false;
    static V constant(uint32_t bits) { return float_from_bits(bits); }
    static V mul(V a, V b) { return a * b; }
    static V add(V a, V b) { return a + b; }
    static V fma(V a, V b, V c) { return std::fma(a, b, c); }
    static V floor(V a) { return std::floor(a); }
    static VI exponent(V a) {
        if (std::isnan(a)) return 0;
        if (a >= 2147483648.0f) return INT32_MAX;
        if (a <= -2147483648.0f) return INT32_MIN;
        return static_cast<VI>(a);
    }
    static V scale_by_exponent(V p, VI k) { return p * float_from_bits((static_cast<uint32_t>(k) << 23) + 0x3F800000u); }
    static V select_if_ge(VI k, int32_t limit, V yes, V no) { return k >= limit ? yes : no; }
    static V select_if_le(VI k, int32_t limit, V yes, V no) { return k <= limit ? yes : no; }
};

inline float range_exp_scalar(float t) { return range_exp<ScalarOps>(t); }

}  // namespace bilateral

#endif  // BILATERAL_CORE_RANGE_EXP_H
