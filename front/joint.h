// The front ends' joint call: the input averaged with range weights from a
// guide image, through the library's joint entry points.
#ifndef BILATERAL_FRONT_JOINT_H
#define BILATERAL_FRONT_JOINT_H

#include <string>

#include "front/rounding.h"
#include "front/variants.h"

namespace bilateral::front {

// The exported name of the joint entry point of a padding rule that stores
// 8- and 16-bit results as `r` asks: "BilateralFilter_joint_replicate_rounded"
// for Rounding::nearest, "BilateralFilter_joint_replicate" for truncate.
std::string joint_entry_name(Padding p, Rounding r);

// Filters `in` with range weights from `guide`, through the joint entry point
// of padding p: with Rounding::nearest its _rounded form (8- and 16-bit
// results rounded to nearest, ties to even, saturating, NaN to 0), with
// Rounding::truncate the plain one (the integer entry points' truncation).
// Float results are the same either way. Sample types and layouts come from
// the descriptors: input and output float32, uint8 or uint16, gray (2-D) or
// RGB (3-D), the output as the input; the guide any of those, covering the
// input's x and y ranges. Every x stride but 0 is read in place; sigma is in
// the guide's units; pad reaches only constant padding, converted for each
// image by the rule of its own sample type. Returns what the entry point
// returns: 0, or a Halide error code for the faults the header lists (call
// BilateralFilter_check_joint with joint_entry_name(p, r) first to learn of
// every fault without calling).
int call_joint(Padding p, Rounding r, halide_buffer_t *in, halide_buffer_t *guide, halide_buffer_t *weights,
               double window, double sigma, double pad, halide_buffer_t *out);

// call_joint after BilateralFilter_check_joint: the validator's Halide error
// code for a faulty descriptor, else the entry point's 0.
int call_joint_checked(Padding p, Rounding r, halide_buffer_t *in, halide_buffer_t *guide, halide_buffer_t *weights,
                       double window, double sigma, double pad, halide_buffer_t *out);

}  // namespace bilateral::front

#endif  // BILATERAL_FRONT_JOINT_H
