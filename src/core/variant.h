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

// The words of the exported names, as BILATERAL_FILTER_VARIANTS lists them,
// by token pasting: words::layout_RGB is Layout::rgb, words::sample_uint8 is
// uint8_t, words::padding_symmetric is Padding::symmetric.
namespace words {
inline constexpr Layout layout_gray = Layout::gray, layout_RGB = Layout::rgb;
using sample_single = float;
using sample_uint8 = uint8_t;
using sample_uint16 = uint16_t;
inline constexpr Padding padding_constant = Padding::constant, padding_replicate = Padding::replicate,
                         padding_symmetric = Padding::symmetric;
}  // namespace words

// The template arguments <Layout, sample type, Padding> of a list entry
// X(layout, sample, padding).
#define BILATERAL_VARIANT_TYPES(layout, sample, padding)                                      \
    ::bilateral::words::layout_##layout, ::bilateral::words::sample_##sample,                 \
        ::bilateral::words::padding_##padding

}  // namespace bilateral

#endif  // BILATERAL_CORE_VARIANT_H
