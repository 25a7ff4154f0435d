// Bounds queries: descriptors without storage are answered with the region,
// element type and dense strides that a real call would need. And what the
// entry points read from descriptors alone: sample types, and the faults of
// a joint call's descriptors.
#ifndef BILATERAL_ENTRY_BOUNDS_QUERY_H
#define BILATERAL_ENTRY_BOUNDS_QUERY_H

#include <HalideRuntime.h>

#include <cstdint>

#include "core/variant.h"

namespace bilateral {

// A buffer asks for its shape when it has neither host memory nor a device.
inline bool is_query(const halide_buffer_t *b) { return b->host == nullptr && b->device == 0; }

struct QueryRequest {
    Layout layout;  // of input and output
    Padding padding;
    Sample sample;  // sample type of input and output
    int32_t N, off;
    Sample guide_sample;  // a joint call's guide
};

// Answers every query buffer among the three (four with a joint call's guide,
// NULL otherwise), in the order input, guide, output, weights, each from the
// values all of them held before any answer was written. The guide is asked
// for the input's region in x and y and for its own channel range (a 3-D
// guide), in its own sample type. Returns true when at least one buffer was a
// query (the call then filters nothing).
bool answer_bounds_query(const QueryRequest &request, halide_buffer_t *input, halide_buffer_t *guide,
                         halide_buffer_t *weights, halide_buffer_t *output);

// Whether a joint call's guide holds the input's x and y ranges and, 3-D, a
// channel: what the joint entry points require of it.
bool guide_covers(const halide_buffer_t *guide, const halide_buffer_t *input);

// The faults a joint entry point reports before anything else, in this order:
// a NULL descriptor; a dimension count it does not take (input and guide 2 or
// 3, output as the input, weights 2) or a NULL dim array; a sample type it
// does not take (input and guide float32, uint8 or uint16, one lane) or an
// output type other than the input's. Success otherwise, with the sample
// types of input and guide.
halide_error_code_t joint_descriptor_fault(const halide_buffer_t *input, const halide_buffer_t *guide,
                                           const halide_buffer_t *weights, const halide_buffer_t *output,
                                           Sample &sample, Sample &guide_sample);

// Halide's type word of a sample type: float32 is (2, 32), uint8 (1, 8),
// uint16 (1, 16).
halide_type_t type_of(Sample sample);

// The sample type of a Halide type word; false for any type the entry points
// do not take (other codes or widths, more than one lane).
bool sample_of_type(halide_type_t type, Sample &sample);

}  // namespace bilateral

#endif  // BILATERAL_ENTRY_BOUNDS_QUERY_H
