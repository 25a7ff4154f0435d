// Bounds queries: descriptors without storage are answered with the region,
// element type and dense strides that a real call would need.
#ifndef BILATERAL_ENTRY_BOUNDS_QUERY_H
#define BILATERAL_ENTRY_BOUNDS_QUERY_H

#include <HalideRuntime.h>

#include <cstdint>

#include "core/variant.h"

namespace bilateral {

// A buffer asks for its shape when it has neither host memory nor a device.
inline bool is_query(const halide_buffer_t *b) { return b->host == nullptr && b->device == 0; }

struct QueryRequest {
    Layout layout;
    Padding padding;
    Sample sample;  // sample type of input and output
    int32_t N, off;
};

// Answers every query buffer among the three, in the order input, output,
// weights, each from the values all three held before any answer was written.
// Returns true when at least one buffer was a query (the call then filters
// nothing).
bool answer_bounds_query(const QueryRequest &request, halide_buffer_t *input,
                         halide_buffer_t *weights, halide_buffer_t *output);

}  // namespace bilateral

#endif  // BILATERAL_ENTRY_BOUNDS_QUERY_H
