// The front ends' filter call: interleaved pictures described in place, and
// 8- and 16-bit results rounded to nearest instead of truncated.
#ifndef BILATERAL_FRONT_ROUNDING_H
#define BILATERAL_FRONT_ROUNDING_H

#include <cstddef>

#include "front/variants.h"

namespace bilateral::front {

// How an 8- or 16-bit result is made from its quotient: to nearest, ties to
// even (what a person expects: flat areas and pure white survive repeated
// passes), or truncated, which is what the integer entry points do.
enum class Rounding { nearest, truncate };

// What the float copies of one strip may take when rounding to nearest.
constexpr size_t kRoundingBudget = size_t(16) << 20;

// Calls the variant's _rounded entry point (results rounded to nearest, any
// x stride but 0); pad reaches only the constant ones. An 8- or 16-bit
// variant only: returns -1 for float32 ones.
int call_rounded_entry(Variant v, halide_buffer_t *in, halide_buffer_t *weights, double window, double sigma,
                       double pad, halide_buffer_t *out);

// Bytes of copies call_filter would allocate for these descriptors (only
// their shapes and strides are read); 0 when it calls the entry point directly.
size_t copy_bytes(Variant v, Rounding r, const halide_buffer_t *in, double window, const halide_buffer_t *out,
                  size_t budget_bytes = kRoundingBudget);

// Filters like call_entry, and also takes input and output buffers whose x
// stride is not 1 (an interleaved picture described in place). With
// Rounding::nearest an 8- or 16-bit image is filtered through the float entry
// point on float copies of its samples in their own units, which gives the
// integer entry point's quotient, and each quotient is rounded to nearest
// (ties to even, saturating, NaN to 0). Copies are made strip by strip, the
// strips overlapping by the window's reach so that the result is that of one
// call on the whole image; a strip's copies stay near budget_bytes (at least
// 2N - 1 input rows). Float samples, or Rounding::truncate, with x stride 1
// call the entry point directly. Returns 0, or -1 when a copy cannot be
// allocated.
int call_filter(Variant v, Rounding r, halide_buffer_t *in, halide_buffer_t *weights, double window, double sigma,
                double pad, halide_buffer_t *out, size_t budget_bytes = kRoundingBudget);

}  // namespace bilateral::front

#endif  // BILATERAL_FRONT_ROUNDING_H
