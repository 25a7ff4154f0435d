#include "entry/bounds_query.h"

#include <algorithm>

#include "tile/task_grid.h"

namespace bilateral {
namespace {

// The RGB input answer in x covers the windows of every column of whole
// 512-column tiles, up to kTileWidth - 1 columns past the last tile's first
// one. Outputs narrower than kNarrowOutput columns are answered with a shorter
// reach instead: kNarrowReach columns plus the output width rounded down to a
// multiple of 8 (the answer is a fixed formula, not a description of which
// columns the kernel reads).
constexpr int32_t kNarrowOutput = 32;
constexpr int64_t kNarrowReach = 487;

// The query formulas are 32-bit; they are evaluated in 64 bits and wrapped
// back so that extreme descriptors cannot overflow a signed int.
int32_t wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

struct Interval {
    int32_t min, extent;
};

struct Dim {
    int32_t min, extent;
};

// The part of [lo, hi) that a rule needs from the input's own [i0, ie).
Interval fit_to_input(Padding padding, int64_t lo, int64_t hi, Dim input) {
    const int64_t i0 = input.min, ie = int64_t{input.min} + input.extent;
    if (padding == Padding::symmetric) {
        // Mirroring can reach any input sample once a window leaves the input.
        if (i0 <= lo && hi <= ie) return {wrap32(lo), wrap32(hi - lo)};
        return {wrap32(i0), wrap32(ie - i0)};
    }
    const int64_t min = std::max(std::min(lo, ie - 1), i0);
    const int64_t end = std::max(std::min(hi, ie), i0 + 1);
    return {wrap32(min), wrap32(end - min)};
}

void write_answer(halide_buffer_t *b, halide_type_t type, int dims, const Interval *intervals) {
    b->device = 0;
    b->device_interface = nullptr;
    b->host = nullptr;
    b->flags = 0;
    b->type = type;
    b->dimensions = dims;
    int32_t stride = 1;
    for (int d = 0; d < dims; ++d) {
        b->dim[d].min = intervals[d].min;
        b->dim[d].extent = intervals[d].extent;
        b->dim[d].stride = stride;
        b->dim[d].flags = 0;
        stride = wrap32(int64_t{stride} * intervals[d].extent);
    }
}

}  // namespace

halide_type_t type_of(Sample sample) {
    switch (sample) {
        case Sample::u8:
            return halide_type_t(halide_type_uint, 8);
        case Sample::u16:
            return halide_type_t(halide_type_uint, 16);
        case Sample::f32:
            break;
    }
    return halide_type_t(halide_type_float, 32);
}

bool sample_of_type(halide_type_t type, Sample &sample) {
    for (const Sample s : {Sample::f32, Sample::u8, Sample::u16}) {
        const halide_type_t t = type_of(s);
        if (type.code == t.code && type.bits == t.bits && type.lanes == 1) {
            sample = s;
            return true;
        }
    }
    return false;
}

bool guide_covers(const halide_buffer_t *guide, const halide_buffer_t *input) {
    for (int d = 0; d < 2; ++d) {
        if (guide->dim[d].min > input->dim[d].min ||
            int64_t{guide->dim[d].min} + guide->dim[d].extent < int64_t{input->dim[d].min} + input->dim[d].extent) {
            return false;
        }
    }
    return guide->dimensions == 2 || guide->dim[2].extent >= 1;
}

halide_error_code_t joint_descriptor_fault(const halide_buffer_t *in, const halide_buffer_t *guide,
                                           const halide_buffer_t *w, const halide_buffer_t *out, Sample &sample,
                                           Sample &guide_sample) {
    if (in == nullptr || guide == nullptr || w == nullptr || out == nullptr) {
        return halide_error_code_buffer_argument_is_null;
    }
    const bool dims_taken = (in->dimensions == 2 || in->dimensions == 3) &&
                            (guide->dimensions == 2 || guide->dimensions == 3) &&
                            out->dimensions == in->dimensions && w->dimensions == 2;
    if (!dims_taken || in->dim == nullptr || guide->dim == nullptr || w->dim == nullptr || out->dim == nullptr) {
        return halide_error_code_bad_dimensions;
    }
    if (!sample_of_type(in->type, sample) || !sample_of_type(guide->type, guide_sample) || !(out->type == in->type)) {
        return halide_error_code_bad_type;
    }
    return halide_error_code_success;
}

bool answer_bounds_query(const QueryRequest &q, halide_buffer_t *input, halide_buffer_t *guide,
                         halide_buffer_t *weights, halide_buffer_t *output) {
    const bool query_in = is_query(input), query_out = is_query(output), query_w = is_query(weights);
    const bool query_guide = guide != nullptr && is_query(guide);
    if (!query_in && !query_guide && !query_out && !query_w) return false;

    const bool rgb = q.layout == Layout::rgb;
    const int dims = rgb ? 3 : 2;
    // Everything is read before anything is written.
    const Dim in_x{input->dim[0].min, input->dim[0].extent};
    const Dim in_y{input->dim[1].min, input->dim[1].extent};
    const Dim in_c = rgb ? Dim{input->dim[2].min, input->dim[2].extent} : Dim{0, 0};
    const int32_t x0 = output->dim[0].min, width = output->dim[0].extent;
    const int32_t y0 = output->dim[1].min, height = output->dim[1].extent;
    const int64_t N = q.N, off = q.off;
    const bool rgb_guide = guide != nullptr && guide->dimensions == 3;
    const Dim guide_c = rgb_guide ? Dim{guide->dim[2].min, guide->dim[2].extent} : Dim{0, 0};

    if (query_in || query_guide) {
        // Rows: every row that a window of an output row touches.
        const int64_t yl = y0 + off, ye = int64_t{y0} + height + off + N - 1;
        const int64_t xl = x0 + off;
        int64_t xe;
        if (rgb) {
            const int64_t nx = wrap32((int64_t{width} + kTileWidth - 1) >> kTileWidthShift);
            const int64_t reach = width >= kNarrowOutput ? kTileWidth - 1
                                                         : (wrap32(int64_t{width} - 1) & ~int64_t{7}) + kNarrowReach;
            xe = x0 + kTileWidth * (nx - 1) + off + N + reach;
        } else {
            xe = int64_t{x0} + width + off + N - 1;
        }
        Interval answer[3];
        answer[0] = fit_to_input(q.padding, wrap32(xl), wrap32(xe), in_x);
        answer[1] = fit_to_input(q.padding, wrap32(yl), wrap32(ye), in_y);
        answer[2] = {in_c.min, std::max(in_c.extent, int32_t{1})};
        if (query_guide) {
            const Interval guide_answer[3] = {answer[0], answer[1], {guide_c.min, std::max(guide_c.extent, int32_t{1})}};
            write_answer(guide, type_of(q.guide_sample), rgb_guide ? 3 : 2, guide_answer);
        }
        if (query_in) write_answer(input, type_of(q.sample), dims, answer);
    }
    if (query_out) {
        const Interval answer[3] = {{x0, width}, {y0, height}, {0, 3}};
        write_answer(output, type_of(q.sample), dims, answer);
    }
    if (query_w) {
        const Interval answer[2] = {{0, q.N}, {0, q.N}};
        write_answer(weights, type_of(Sample::f32), 2, answer);
    }
    return true;
}

}  // namespace bilateral
