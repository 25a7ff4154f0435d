// Conversions that let the 8-bit variants run the float kernels: samples
// enter float32 exactly (so differences of converted bytes are the exact
// integer differences), and the float quotient leaves by truncation and
// saturation (never rounding).
#ifndef BILATERAL_UINT8_CONVERT_H
#define BILATERAL_UINT8_CONVERT_H

#include <cmath>
#include <cstdint>

namespace bilateral {

// Byte to float32: zero-extended and converted, exact (255 gives 255.0).
inline float sample_to_f32(uint8_t b) { return static_cast<float>(static_cast<uint32_t>(b)); }
inline float sample_to_f32(float v) { return v; }

// Float quotient to byte: clamp to the signed 16-bit range keeping NaN,
// truncate toward zero (NaN gives 0), then saturate to 0..255.
inline uint8_t quotient_to_u8(float q) {
    const float a = q > 32767.0f ? 32767.0f : q;    // NaN compares false: stays NaN
    const float b = a < -32768.0f ? -32768.0f : a;
    const int32_t i = std::isnan(b) ? 0 : static_cast<int32_t>(b);
    const auto h = static_cast<int16_t>(i);
    return static_cast<uint8_t>(h < 0 ? 0 : (h > 255 ? 255 : h));
}

// The value a kernel stores for a float quotient in an output of type T.
template <class T>
inline T store_quotient(float q);
template <>
inline float store_quotient<float>(float q) { return q; }
template <>
inline uint8_t store_quotient<uint8_t>(float q) { return quotient_to_u8(q); }

}  // namespace bilateral

#endif  // BILATERAL_UINT8_CONVERT_H
