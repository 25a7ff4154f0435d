// The words that name an entry point: channel layout, sample type and padding
// rule. One vocabulary for every layer of the library, the front ends and the
// tests.
#ifndef BILATERAL_CORE_VARIANT_H
#define BILATERAL_CORE_VARIANT_H

#include <cstdint>

namespace bilateral {

enum class Layout { gray, rgb };
enum class Sample { f32, u8 };
enum class Padding { constant, replicate, symmetric };

// The sample word of a C++ sample type: float is `single`, uint8_t `uint8`.
template <class T>
inline constexpr Sample sample_of = Sample::u8;
template <>
inline constexpr Sample sample_of<float> = Sample::f32;

}  // namespace bilateral

#endif  // BILATERAL_CORE_VARIANT_H
