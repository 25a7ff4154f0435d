// Scalar per-sample oracle: a plain transcription of the filter's arithmetic, one output sample at a
// time, the boundary rule at every read, every float32 step rounded on its own and fused only through
// std::fma. Every path of the library must match it bit for bit.
#ifndef BILATERAL_TESTS_REFERENCE_REFERENCE_H
#define BILATERAL_TESTS_REFERENCE_REFERENCE_H

#include <HalideRuntime.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bilateral_filter_variants.h"
#include "front/variants.h"

namespace bilateral_test {

using bilateral::front::all_variants;
using bilateral::front::Layout;
using bilateral::front::Padding;
using bilateral::front::Sample;
using bilateral::front::Variant;

/** The exported names as the variant list spells them, in its order. */
#define BF_LISTED_NAME(l, s, p) "BilateralFilter_" #l "_" #s "_" #p,
inline constexpr const char *kListedNames[] = {BILATERAL_FILTER_VARIANTS(BF_LISTED_NAME)};
#undef BF_LISTED_NAME

/** The exported name of the variant's entry point, e.g. "BilateralFilter_RGB_uint8_symmetric". */
inline std::string variant_name(Variant v) { return bilateral::front::entry_name(v); }

/** Truncation toward zero to int32, saturating at both ends; NaN gives 0. */
int32_t ref_truncate_sat(double v);

/** Per-call scalars: N taps per side, tap (i, j) of (x, y) reads (x + off + i, y + off + j), R = 2 sigma^2
 *  rounded once, the float pad value and the 8- and 16-bit pad samples (low bits of trunc(pad)). */
struct RefScalars {
    int32_t N, off;
    float R, pad_f;
    uint8_t pad_u8;
    uint16_t pad_u16;
};
RefScalars ref_scalars(double window, double sigma, double pad);

/** The polynomial exponential that gives every range weight. */
float ref_range_exp(float t);
/** Replicate rule: max(min(v, end - 1), m), in 64 bits (end = min + extent may pass INT32_MAX). */
int64_t ref_clamp_index(int64_t v, int64_t m, int64_t end);
/** Symmetric rule: mirror with the edge sample repeated, period 2e (e >= 1), in 64 bits. */
int64_t ref_mirror_index(int64_t v, int64_t m, int64_t e);
/** Quotient to byte: clamp to the int16 range keeping NaN, truncate (NaN gives 0), saturate to 0..255. */
uint8_t ref_quotient_to_u8(float q);
/** Quotient to 16-bit sample: NaN gives 0, truncate toward zero, saturate to 0..65535. */
uint16_t ref_quotient_to_u16(float q);

/** Quotient to an 8- or 16-bit sample rounded to nearest, ties to even: NaN gives 0, saturated. */
template <class T>
T ref_quotient_rounded(float q);

/** Writes every sample of the output region (RGB: channels 0..2) as the variant's entry point would
 *  (rounded: its _rounded entry point). Needs host memory, input extents >= 1 and, for RGB, output
 *  channels 0..2. Reads only inside the input and the weights; the weight of tap (i, j) is the
 *  element at absolute column i, row j. */
void ref_filter(Variant v, const halide_buffer_t *in, const halide_buffer_t *w, double window, double sigma, double pad,
                halide_buffer_t *out, bool rounded = false);

/** Writes every sample of the output region as the joint entry point of padding p would (rounded: its
 *  _rounded one), sample types and layouts taken from the buffers. The guide is read at the input's
 *  coordinates, every position mapped by the rule into the input's region; constant padding pads each
 *  image with the pad sample of its own type. Needs what ref_filter needs and a guide covering the input. */
void ref_filter_joint(Padding p, const halide_buffer_t *in, const halide_buffer_t *guide, const halide_buffer_t *w,
                      double window, double sigma, double pad, halide_buffer_t *out, bool rounded = false);

}  // namespace bilateral_test

#endif  // BILATERAL_TESTS_REFERENCE_REFERENCE_H
