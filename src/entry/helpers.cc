// The exported helpers beside the entry points: the check of a call's
// arguments, and for callers that size a call before making it, the sample an
// entry point pads with and the heap its tasks take.
#include <HalideRuntime.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "bilateral_filter.h"
#include "core/variant.h"
#include "entry/bounds_query.h"
#include "entry/fp_mode.h"
#include "entry/scalars.h"
#include "entry/variant_table.h"
#include "tile/task_grid.h"
#include "tile/tile_driver.h"

namespace bilateral {
namespace {

// One task's scratch beyond which BilateralFilter_check refuses a window: 64 GiB.
constexpr int64_t kMaxTaskScratch = int64_t{1} << 36;

// Tile rows of an output `height` rows high.
int64_t tile_row_count(Layout layout, int32_t height) {
    return layout == Layout::rgb ? tile_rows<Layout::rgb>(height) : tile_rows<Layout::gray>(height);
}

// The scratch shape of a call whose descriptors have the layout's dimensions.
ScratchShape scratch_shape(const NamedVariant &v, const halide_buffer_t *input, double window,
                           const halide_buffer_t *output) {
    const bool rgb = v.layout == Layout::rgb;
    return {v.layout,
            v.sample,
            v.padding,
            window_taps(window),
            window_offset(window),
            rgb ? input->dim[2].min : 0,
            rgb ? input->dim[2].extent : 1,
            output->dim[0].extent,
            output->dim[1].extent};
}

halide_type_t sample_type(Sample s) {
    return s == Sample::f32 ? halide_type_t(halide_type_float, 32) : halide_type_t(halide_type_uint, s == Sample::u8 ? 8 : 16);
}

bool same_type(halide_type_t a, halide_type_t b) { return a.code == b.code && a.bits == b.bits && a.lanes == b.lanes; }

// The first fault of a call's arguments, as BilateralFilter_check documents them.
halide_error_code_t first_fault(const NamedVariant *v, const halide_buffer_t *input, const halide_buffer_t *weights,
                                double window, const halide_buffer_t *output) {
    if (v == nullptr) return halide_error_code_generic_error;
    if (input == nullptr || weights == nullptr || output == nullptr) return halide_error_code_buffer_argument_is_null;
    const bool rgb = v->layout == Layout::rgb;
    const int dims = rgb ? 3 : 2;
    const halide_buffer_t *const buffers[3] = {input, weights, output};
    for (const halide_buffer_t *b : buffers) {
        if (b->dimensions != (b == weights ? 2 : dims) || b->dim == nullptr) return halide_error_code_bad_dimensions;
    }
    // A call with a query buffer only answers it, from the shapes.
    if (is_query(input) || is_query(weights) || is_query(output)) return halide_error_code_success;
    for (const halide_buffer_t *b : buffers) {
        if (b->host == nullptr) return halide_error_code_host_is_null;
        if (!same_type(b->type, b == weights ? halide_type_t(halide_type_float, 32) : sample_type(v->sample))) {
            return halide_error_code_bad_type;
        }
        const bool any_x_stride = v->rounded && b != weights;
        if (any_x_stride ? b->dim[0].stride == 0 : b->dim[0].stride != 1) return halide_error_code_constraint_violated;
        for (int d = 0; d < b->dimensions; ++d) {
            if (b->dim[d].extent < 0) return halide_error_code_buffer_extents_negative;
        }
    }
    for (int d = 0; d < dims; ++d) {
        if (input->dim[d].extent < 1) return halide_error_code_access_out_of_bounds;
    }
    if (rgb && (output->dim[2].min > 0 || int64_t{output->dim[2].min} + output->dim[2].extent < 3)) {
        return halide_error_code_access_out_of_bounds;
    }
    const int32_t N = window_taps(window);
    for (int d = 0; d < 2 && N >= 1; ++d) {
        if (weights->dim[d].min > 0 || int64_t{weights->dim[d].min} + weights->dim[d].extent < N) {
            return halide_error_code_access_out_of_bounds;
        }
    }
    const int64_t scratch = task_scratch_bytes(scratch_shape(*v, input, window, output));
    if (scratch < 0 || scratch > kMaxTaskScratch) return halide_error_code_out_of_memory;
    return halide_error_code_success;
}

}  // namespace
}  // namespace bilateral

using bilateral::Layout;
using bilateral::Sample;

extern "C" {

int BilateralFilter_check(const char *entry_point, const halide_buffer_t *input, const halide_buffer_t *weights,
                          double window_size, double sigma, double pad_value, const halide_buffer_t *output) {
    (void)sigma, (void)pad_value;  // every value gives a defined result
    return bilateral::first_fault(bilateral::find_variant(entry_point), input, weights, window_size, output);
}

double BilateralFilter_pad_sample(const char *entry_point, double pad_value) {
    const bilateral::NamedVariant *v = bilateral::find_variant(entry_point);
    if (v == nullptr) return std::numeric_limits<double>::quiet_NaN();
    bilateral::FpModeGuard fp_mode;  // rounds to float32 as the entry points do
    switch (v->sample) {
        case Sample::f32:
            return bilateral::padded_with<float>(pad_value);
        case Sample::u8:
            return bilateral::padded_with<uint8_t>(pad_value);
        case Sample::u16:
            break;
    }
    return bilateral::padded_with<uint16_t>(pad_value);
}

int64_t BilateralFilter_scratch_bytes(const char *entry_point, const halide_buffer_t *input, double window_size,
                                      const halide_buffer_t *output, int threads) {
    const bilateral::NamedVariant *v = bilateral::find_variant(entry_point);
    const bool rgb = v != nullptr && v->layout == Layout::rgb;
    const int dims = rgb ? 3 : 2;
    if (v == nullptr || input == nullptr || output == nullptr || input->dimensions < dims ||
        output->dimensions < dims) {
        return -1;
    }
    // Shapes that the entry point refuses take nothing.
    for (int d = 0; d < dims; ++d) {
        if (input->dim[d].extent < 1) return 0;
    }
    if (rgb && (output->dim[2].min > 0 || int64_t{output->dim[2].min} + output->dim[2].extent < 3)) return 0;

    const bilateral::ScratchShape shape = bilateral::scratch_shape(*v, input, window_size, output);
    const int64_t per_task = bilateral::task_scratch_bytes(shape);
    if (per_task <= 0) return per_task;
    const int64_t tasks = int64_t{bilateral::tile_columns(shape.out_width)} *
                          bilateral::tile_row_count(v->layout, shape.out_height);
    const int64_t running = std::min<int64_t>(std::max(threads, 1), tasks);
    return per_task > std::numeric_limits<int64_t>::max() / running ? std::numeric_limits<int64_t>::max()
                                                                    : per_task * running;
}

}  // extern "C"
