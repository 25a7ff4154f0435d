// The front ends' filter call: interleaved pictures described in place, and
// 8- and 16-bit results rounded to nearest instead of truncated, both done by
// the library's _rounded entry points where it can.
#ifndef BILATERAL_FRONT_ROUNDING_H
#define BILATERAL_FRONT_ROUNDING_H

#include <cstddef>

#include "front/variants.h"

namespace bilateral::front {

// How an 8- or 16-bit result is made from its quotient: to nearest, ties to
// even (what a person expects: flat areas and pure white survive repeated
// passes), or truncated, which is what the integer entry points do.
enum class Rounding { nearest, truncate };

// What the copies of one strip may take.
constexpr size_t kRoundingBudget = size_t(16) << 20;

// Calls the variant's _rounded entry point (results rounded to nearest, any
// x stride but 0); pad reaches only the constant ones. An 8- or 16-bit
// variant only: returns -1 for float32 ones.
int call_rounded_entry(Variant v, halide_buffer_t *in, halide_buffer_t *weights, double window, double sigma,
                       double pad, halide_buffer_t *out);

// Bytes of copies call_filter would allocate for these descriptors (only
// their shapes and strides are read); 0 when it calls an entry point directly,
// as it does for every 8- or 16-bit call rounded to nearest whose x strides
// are not 0, and for every call with x strides of 1.
size_t copy_bytes(Variant v, Rounding r, const halide_buffer_t *in, double window, const halide_buffer_t *out,
                  size_t budget_bytes = kRoundingBudget);

// Filters like call_entry, and also takes input and output buffers whose x
// stride is not 1 (an interleaved picture described in place). With
// Rounding::nearest an 8- or 16-bit image goes to the variant's _rounded
// entry point, which reads and writes any x stride but 0 in place and rounds
// the integer entry point's quotient to nearest (ties to even, saturating,
// NaN to 0). Other calls whose x strides the entry point cannot take (float
// samples or Rounding::truncate with x stride other than 1, or an x stride of
// 0) are made on copies with x stride 1, strip by strip, the strips
// overlapping by the window's reach so that the result is that of one call on
// the whole image; a strip's copies stay near budget_bytes (at least 2N - 1
// input rows). A direct call is first put to BilateralFilter_check. Returns
// 0, the validator's Halide error code, or -1 when a copy cannot be allocated.
int call_filter(Variant v, Rounding r, halide_buffer_t *in, halide_buffer_t *weights, double window, double sigma,
                double pad, halide_buffer_t *out, size_t budget_bytes = kRoundingBudget);

}  // namespace bilateral::front

#endif  // BILATERAL_FRONT_ROUNDING_H
