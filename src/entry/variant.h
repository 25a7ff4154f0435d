// The three choices that make up one entry point: channel layout, sample type
// and padding rule. Everything else is shared.
#ifndef BILATERAL_ENTRY_VARIANT_H
#define BILATERAL_ENTRY_VARIANT_H

#include <cstdint>
#include <type_traits>

namespace bilateral {

enum class Layout { gray, rgb };
enum class Padding { constant, replicate, symmetric };

// Sample types: float (the `single` variants) and uint8_t.
template <class T>
constexpr bool is_sample_type_v = std::is_same_v<T, float> || std::is_same_v<T, uint8_t>;

// Halide type word of a sample type: float32 = (2, 32, 1), uint8 = (1, 8, 1).
template <class T>
struct SampleTypeCode;
template <>
struct SampleTypeCode<float> {
    static constexpr uint8_t code = 2, bits = 32;
};
template <>
struct SampleTypeCode<uint8_t> {
    static constexpr uint8_t code = 1, bits = 8;
};

}  // namespace bilateral

#endif  // BILATERAL_ENTRY_VARIANT_H
