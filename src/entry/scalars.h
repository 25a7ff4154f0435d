// Per-call scalars derived from the double arguments of an entry point.
#ifndef BILATERAL_ENTRY_SCALARS_H
#define BILATERAL_ENTRY_SCALARS_H

#include <cmath>
#include <cstdint>
#include <type_traits>

namespace bilateral {

// Truncation toward zero to int32, saturating at both ends; NaN gives 0.
inline int32_t truncate_sat(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483648.0) return INT32_MAX;
    if (v <= -2147483649.0) return INT32_MIN;
    return static_cast<int32_t>(v);  // in range: the cast truncates toward zero
}

// Window size N: the argument truncated.
inline int32_t window_taps(double window) { return truncate_sat(window); }

// Window origin offset: the double product window * -0.5, truncated. Taken on
// the argument, not on N, so 7.9 gives -3; an even N reaches one position
// further left and up (N = 4 covers offsets -2 .. 1).
inline int32_t window_offset(double window) { return truncate_sat(window * -0.5); }

// Range term 2*sigma^2: squared and doubled in double precision, rounded once.
inline float range_term(double sigma) {
    const double sq = sigma * sigma;
    return static_cast<float>(sq + sq);
}

// Pad value of the float variants: the double rounded to float32.
inline float pad_value_f32(double pad) { return static_cast<float>(pad); }

// Pad sample of the integer variants: the low 8 or 16 bits of the truncated
// value, with no clamping to the type's range (8 bits: 300 gives 44, -1 gives
// 255; 16 bits: 70000 gives 4464, -1 gives 65535).
template <class T>
inline T pad_sample(double pad) {
    return static_cast<T>(static_cast<uint32_t>(truncate_sat(pad)));
}

// What constant padding pads with in samples of type T.
template <class T>
inline T padded_with(double pad) {
    if constexpr (std::is_same_v<T, float>) {
        return pad_value_f32(pad);
    } else {
        return pad_sample<T>(pad);
    }
}

}  // namespace bilateral

#endif  // BILATERAL_ENTRY_SCALARS_H
