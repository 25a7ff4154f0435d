// The eighteen entry points as the front ends see them: a variant is a
// channel layout, a sample type and a padding rule, and each variant has one
// exported function. Built from the public variant list, so no entry point
// can be missing here.
#ifndef BILATERAL_FRONT_VARIANTS_H
#define BILATERAL_FRONT_VARIANTS_H

#include <string>
#include <string_view>
#include <vector>

#include "bilateral_filter.h"
#include "bilateral_filter_variants.h"

namespace bilateral::front {

enum class Layout { gray, rgb };
enum class Sample { f32, u8, u16 };
enum class Padding { constant, replicate, symmetric };

struct Variant {
    Layout layout;
    Sample sample;
    Padding padding;
};

// The words of the exported names.
inline const char *layout_name(Layout l) { return l == Layout::rgb ? "RGB" : "gray"; }
inline const char *sample_name(Sample s) { return s == Sample::f32 ? "single" : s == Sample::u8 ? "uint8" : "uint16"; }
inline const char *padding_name(Padding p) {
    return p == Padding::constant ? "constant" : p == Padding::replicate ? "replicate" : "symmetric";
}

// The padding a user names ("constant", "replicate", "symmetric"); false for any other word.
bool padding_from_name(std::string_view name, Padding &padding);

// The exported name, e.g. "BilateralFilter_RGB_uint8_symmetric".
std::string entry_name(Variant v);

// Every variant, in the order of the public list: gray before RGB; float,
// 8-bit, 16-bit; constant, replicate, symmetric.
const std::vector<Variant> &all_variants();

// Calls the variant's entry point; pad reaches only the constant ones.
int call_entry(Variant v, halide_buffer_t *in, halide_buffer_t *weights, double window, double sigma, double pad,
               halide_buffer_t *out);

// call_entry after BilateralFilter_check: the validator's Halide error code
// for a faulty descriptor, else the entry point's 0.
int call_checked(Variant v, halide_buffer_t *in, halide_buffer_t *weights, double window, double sigma, double pad,
                 halide_buffer_t *out);

// The C type of a variant's samples.
template <class T>
inline constexpr Sample sample_of = sizeof(T) == 4 ? Sample::f32 : sizeof(T) == 1 ? Sample::u8 : Sample::u16;

// The largest sample value of an integer type (65535 or 255); 1 for float,
// whose samples are usually in 0..1.
inline double sample_top(Sample s) { return s == Sample::u8 ? 255.0 : s == Sample::u16 ? 65535.0 : 1.0; }

}  // namespace bilateral::front

#endif  // BILATERAL_FRONT_VARIANTS_H
