// The exported helpers beside the entry points: the check of a call's
// arguments (named or joint), and for callers that size a call before making
// it, the sample an entry point pads with and the heap its tasks take.
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

// What a call's descriptors must be: the layout and sample type of input and
// output, the padding, whether any x stride but 0 is taken, and for a joint
// call the guide's layout and sample type.
struct Expected {
    Layout layout;
    Sample sample;
    Padding padding;
    bool any_x_stride;
    bool joint;
    Layout guide_layout;
    Sample guide_sample;
};

Expected expected_of(const NamedVariant &v) {
    return {v.layout, v.sample, v.padding, v.rounded, false, Layout::gray, Sample::f32};
}

// The scratch shape of a call whose descriptors have the expected dimensions.
ScratchShape scratch_shape(const Expected &e, const halide_buffer_t *input, const halide_buffer_t *guide,
                           double window, const halide_buffer_t *output) {
    const bool rgb = e.layout == Layout::rgb;
    const bool rgb_guide = e.joint && e.guide_layout == Layout::rgb;
    return {e.layout,
            e.sample,
            e.padding,
            window_taps(window),
            window_offset(window),
            rgb ? input->dim[2].min : 0,
            rgb ? input->dim[2].extent : 1,
            output->dim[0].extent,
            output->dim[1].extent,
            e.joint,
            e.guide_layout,
            e.guide_sample,
            rgb_guide ? guide->dim[2].extent : 1};
}

bool same_type(halide_type_t a, halide_type_t b) { return a.code == b.code && a.bits == b.bits && a.lanes == b.lanes; }

int dims_of(Layout layout) { return layout == Layout::rgb ? 3 : 2; }

// The faults of a call whose descriptors are not NULL and have the expected
// dimensions, from the query on, as BilateralFilter_check documents them; the
// guide is NULL but for a joint call.
halide_error_code_t fault_of_call(const Expected &e, const halide_buffer_t *input, const halide_buffer_t *guide,
                                  const halide_buffer_t *weights, double window, const halide_buffer_t *output) {
    // A call with a query buffer only answers it, from the shapes.
    if (is_query(input) || is_query(weights) || is_query(output) || (guide != nullptr && is_query(guide))) {
        return halide_error_code_success;
    }
    const halide_buffer_t *const buffers[4] = {input, guide, weights, output};
    for (const halide_buffer_t *b : buffers) {
        if (b == nullptr) continue;
        if (b->host == nullptr) return halide_error_code_host_is_null;
        const Sample sample = b == guide ? e.guide_sample : e.sample;
        if (!same_type(b->type, b == weights ? halide_type_t(halide_type_float, 32) : type_of(sample))) {
            return halide_error_code_bad_type;
        }
        const bool any_x_stride = e.any_x_stride && b != weights;
        if (any_x_stride ? b->dim[0].stride == 0 : b->dim[0].stride != 1) return halide_error_code_constraint_violated;
        for (int d = 0; d < b->dimensions; ++d) {
            if (b->dim[d].extent < 0) return halide_error_code_buffer_extents_negative;
        }
    }
    const bool rgb = e.layout == Layout::rgb;
    for (int d = 0; d < dims_of(e.layout); ++d) {
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
    if (guide != nullptr && !guide_covers(guide, input)) return halide_error_code_access_out_of_bounds;
    const int64_t scratch = task_scratch_bytes(scratch_shape(e, input, guide, window, output));
    if (scratch < 0 || scratch > kMaxTaskScratch) return halide_error_code_out_of_memory;
    return halide_error_code_success;
}

// The first fault of a call of one of the thirty named entry points.
halide_error_code_t first_fault(const NamedVariant *v, const halide_buffer_t *input, const halide_buffer_t *weights,
                                double window, const halide_buffer_t *output) {
    if (v == nullptr) return halide_error_code_generic_error;
    if (input == nullptr || weights == nullptr || output == nullptr) return halide_error_code_buffer_argument_is_null;
    const int dims = dims_of(v->layout);
    const halide_buffer_t *const buffers[3] = {input, weights, output};
    for (const halide_buffer_t *b : buffers) {
        if (b->dimensions != (b == weights ? 2 : dims) || b->dim == nullptr) return halide_error_code_bad_dimensions;
    }
    return fault_of_call(expected_of(*v), input, nullptr, weights, window, output);
}

// A joint call's expectations from its descriptors; false when the joint
// entry point would report them.
bool joint_expected(const NamedJoint &j, const halide_buffer_t *input, const halide_buffer_t *guide,
                    const halide_buffer_t *weights, const halide_buffer_t *output, Expected &e,
                    halide_error_code_t &fault) {
    fault = joint_descriptor_fault(input, guide, weights, output, e.sample, e.guide_sample);
    e.layout = input != nullptr && input->dimensions == 3 ? Layout::rgb : Layout::gray;
    e.guide_layout = guide != nullptr && guide->dimensions == 3 ? Layout::rgb : Layout::gray;
    e.padding = j.padding;
    e.any_x_stride = true;
    e.joint = true;
    return fault == halide_error_code_success;
}

// The first fault of a call of a joint entry point.
halide_error_code_t first_joint_fault(const NamedJoint *j, const halide_buffer_t *input, const halide_buffer_t *guide,
                                      const halide_buffer_t *weights, double window, const halide_buffer_t *output) {
    if (j == nullptr) return halide_error_code_generic_error;
    Expected e{};
    halide_error_code_t fault = halide_error_code_success;
    if (!joint_expected(*j, input, guide, weights, output, e, fault)) return fault;
    return fault_of_call(e, input, guide, weights, window, output);
}

// Working memory of `threads` running tasks of a call, as
// BilateralFilter_scratch_bytes documents it, for descriptors of the expected
// dimensions.
int64_t scratch_for_threads(const Expected &e, const halide_buffer_t *input, const halide_buffer_t *guide,
                            double window, const halide_buffer_t *output, int threads) {
    // Shapes that the entry point refuses take nothing.
    for (int d = 0; d < dims_of(e.layout); ++d) {
        if (input->dim[d].extent < 1) return 0;
    }
    if (e.layout == Layout::rgb && (output->dim[2].min > 0 || int64_t{output->dim[2].min} + output->dim[2].extent < 3)) {
        return 0;
    }
    if (guide != nullptr && !guide_covers(guide, input)) return 0;
    const ScratchShape shape = scratch_shape(e, input, guide, window, output);
    const int64_t per_task = task_scratch_bytes(shape);
    if (per_task <= 0) return per_task;
    const int64_t tasks = int64_t{tile_columns(shape.out_width)} * tile_row_count(e.layout, shape.out_height);
    const int64_t running = std::min<int64_t>(std::max(threads, 1), tasks);
    return per_task > std::numeric_limits<int64_t>::max() / running ? std::numeric_limits<int64_t>::max()
                                                                    : per_task * running;
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

int BilateralFilter_check_joint(const char *entry_point, const halide_buffer_t *input, const halide_buffer_t *guide,
                                const halide_buffer_t *weights, double window_size, double sigma, double pad_value,
                                const halide_buffer_t *output) {
    (void)sigma, (void)pad_value;  // every value gives a defined result
    return bilateral::first_joint_fault(bilateral::find_joint(entry_point), input, guide, weights, window_size, output);
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
    if (v == nullptr || input == nullptr || output == nullptr) return -1;
    const int dims = bilateral::dims_of(v->layout);
    if (input->dimensions < dims || output->dimensions < dims) return -1;
    return bilateral::scratch_for_threads(bilateral::expected_of(*v), input, nullptr, window_size, output, threads);
}

int64_t BilateralFilter_scratch_bytes_joint(const char *entry_point, const halide_buffer_t *input,
                                            const halide_buffer_t *guide, double window_size,
                                            const halide_buffer_t *output, int threads) {
    const bilateral::NamedJoint *j = bilateral::find_joint(entry_point);
    if (j == nullptr || input == nullptr || guide == nullptr || output == nullptr) return -1;
    // The weights are not asked for: any 2-D descriptor stands for them.
    halide_dimension_t dims[2] = {};
    halide_buffer_t weights{};
    weights.dimensions = 2;
    weights.dim = dims;
    bilateral::Expected e{};
    halide_error_code_t fault = halide_error_code_success;
    if (!bilateral::joint_expected(*j, input, guide, &weights, output, e, fault)) return -1;
    return bilateral::scratch_for_threads(e, input, guide, window_size, output, threads);
}

}  // extern "C"
