// Scalar per-sample oracle for the bilateral filter.
//
// A plain transcription of the filter's arithmetic: one loop per output sample,
// the boundary rule applied at every read, every float32 step rounded on its
// own and fused only through std::fma. Every optimised path of the library is
// compared against it bit for bit, so it favours clarity over speed.
#ifndef BILATERAL_TESTS_REFERENCE_REFERENCE_H
#define BILATERAL_TESTS_REFERENCE_REFERENCE_H

#include <HalideRuntime.h>

#include <cstdint>
#include <string>
#include <vector>

#include "front_end.h"

namespace bilateral_test {

using bilateral::Layout;
using bilateral::Padding;
using bilateral::Sample;
using bilateral::Variant;
using bilateral::all_variants;

/** The exported name of the variant's entry point, e.g. "BilateralFilter_RGB_uint8_symmetric". */
inline std::string variant_name(Variant v) { return bilateral::entry_name(v); }

/** Truncation toward zero to int32, saturating at both ends; NaN gives 0. */
int32_t ref_truncate_sat(double v);

/** Per-call scalars derived from the double arguments. */
struct RefScalars {
    int32_t N;       // window size: taps per side
    int32_t off;     // window origin offset: tap (i, j) of (x, y) reads (x + off + i, y + off + j)
    float R;         // range term 2 sigma^2, formed in double, rounded once
    float pad_f;     // pad value of the float variants
    uint8_t pad_u8;  // pad sample of the 8-bit variants: low eight bits of trunc(pad)
};
RefScalars ref_scalars(double window, double sigma, double pad);

/** The polynomial exponential that gives every range weight, bit exact. */
float ref_range_exp(float t);

/** Replicate rule: max(min(v, end - 1), m). */
int32_t ref_clamp_index(int32_t v, int32_t m, int32_t end);

/** Symmetric rule: mirror with the edge sample repeated, period 2e. Needs e >= 1. */
int32_t ref_mirror_index(int32_t v, int32_t m, int32_t e);

/** Float quotient to output byte: clamp to the int16 range keeping NaN, truncate (NaN gives 0),
 *  saturate to 0..255. */
uint8_t ref_quotient_to_u8(float q);

/**
 * Writes every sample of the output descriptor's region (x, y; RGB: channels 0, 1 and 2) exactly as
 * the variant's entry point would. All buffers must have host memory, input extents >= 1 (RGB: at
 * least one channel) and, for RGB, an output holding channels 0..2. Reads only inside the input and
 * the weights; the weight of tap (i, j) is the element at absolute column i, row j.
 */
void ref_filter(Variant v, const halide_buffer_t *in, const halide_buffer_t *w, double window, double sigma, double pad,
                halide_buffer_t *out);

}  // namespace bilateral_test

#endif  // BILATERAL_TESTS_REFERENCE_REFERENCE_H
