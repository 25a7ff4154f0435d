// The words that name an entry point: channel layout, sample type and padding
// rule. One vocabulary for every layer of the library, the front ends and the
// tests.
#ifndef BILATERAL_CORE_VARIANT_H
#define BILATERAL_CORE_VARIANT_H

#include <cstdint>
#include <type_traits>

namespace bilateral {

enum class Layout { gray, rgb };
enum class Sample { f32, u8, u16 };
enum class Padding { constant, replicate, symmetric };

// The sample word of a C++ sample type: float is `single`, uint8_t `uint8`,
// uint16_t `uint16`.
template <class T>
inline constexpr Sample sample_of =
    std::is_same_v<T, float> ? Sample::f32 : sizeof(T) == 1 ? Sample::u8 : Sample::u16;

}  // namespace bilateral

#endif  // BILATERAL_CORE_VARIANT_H
