// Conversions that let the 8- and 16-bit variants run the float kernels:
// samples enter float32 exactly (so differences of converted samples are the
// exact integer differences), and the float quotient leaves by truncation and
// saturation (never rounding).
#ifndef BILATERAL_SAMPLES_CONVERT_H
#define BILATERAL_SAMPLES_CONVERT_H

#include <cstdint>
#include <limits>
#include <type_traits>

namespace bilateral {

// Integer sample to float32: zero-extended and converted, exact (255 gives
// 255.0, 65535 gives 65535.0).
inline float sample_to_f32(uint8_t s) { return static_cast<float>(static_cast<uint32_t>(s)); }
inline float sample_to_f32(uint16_t s) { return static_cast<float>(static_cast<uint32_t>(s)); }
inline float sample_to_f32(float v) { return v; }

// Float quotient to an unsigned integer sample T: NaN gives 0, otherwise
// truncation toward zero saturated to T's range (q < 1 gives 0, +inf the
// maximum). For bytes this is the same as clamping to the signed 16-bit
// range, truncating and saturating to 0..255.
template <class T>
inline T quotient_to_sample(float q) {
    constexpr float kMax = static_cast<float>(std::numeric_limits<T>::max());
    if (!(q > 0.0f)) return 0;  // NaN, zero and negative quotients
    if (q >= kMax) return std::numeric_limits<T>::max();
    return static_cast<T>(static_cast<uint32_t>(q));
}

// Float quotient to an unsigned integer sample T rounded to nearest, ties to
// even: NaN gives 0, otherwise saturated to T's range. Adding and taking away
// 2^23 rounds 0 <= q < 2^23 to an integer in the round-to-nearest-even mode
// that the entry points set.
template <class T>
inline T quotient_to_sample_rounded(float q) {
    constexpr float kMax = static_cast<float>(std::numeric_limits<T>::max());
    const float clamped = q > 0.0f ? (q < kMax ? q : kMax) : 0.0f;  // NaN fails q > 0
    return static_cast<T>(static_cast<uint32_t>((clamped + 8388608.0f) - 8388608.0f));
}

// The value a kernel stores for a float quotient in an output of type T;
// `round` (integer T only) rounds instead of truncating.
template <class T>
inline T store_quotient(float q, bool round = false) {
    if constexpr (std::is_same_v<T, float>) {
        return q;
    } else {
        return round ? quotient_to_sample_rounded<T>(q) : quotient_to_sample<T>(q);
    }
}

}  // namespace bilateral

#endif  // BILATERAL_SAMPLES_CONVERT_H
