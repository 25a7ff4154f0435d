// The exported entry points and their task functions, generated from the
// variant lists, each an instantiation of one template over layout, sample
// type and padding: the eighteen, the twelve that round integer results and
// take any x stride, and the six joint ones, which pick the instantiation of
// their input's layout and sample type at call time.
#include <HalideRuntime.h>

#include <cstdint>
#include <type_traits>

#include "bilateral_filter.h"
#include "bilateral_filter_variants.h"
#include "core/variant.h"
#include "entry/bounds_query.h"
#include "entry/fp_mode.h"
#include "entry/scalars.h"
#include "samples/convert.h"
#include "tile/task_grid.h"
#include "tile/tile_driver.h"

namespace bilateral {
namespace {

// One task: decode the tile, then run the tile driver on it.
template <Layout L, class T, Padding P>
int run_task(void *user_context, int task, uint8_t *record) {
    FpModeGuard fp_mode;
    const auto &c = *reinterpret_cast<const Closure<T> *>(record);
    const Tile tile = decode_tile<L>(c, task);
    filter_tile<L, T, P>(user_context, c, tile);
    return 0;
}

// How a call stores its results and which x strides it reads: the eighteen
// truncate and read x strides of 1; the twelve _rounded ones round and read
// the descriptors' x strides, as the joint entry points do with either store.
struct Form {
    bool round;         // integer results rounded to nearest instead of truncated
    bool any_x_stride;  // the descriptors' x strides, else 1
};

int64_t offset2(const halide_buffer_t *b, int64_t x_stride, int32_t x, int32_t y) {
    return int64_t{x} * x_stride + int64_t{y} * b->dim[1].stride;
}

// Cases that the filter itself leaves undefined and that would touch memory
// outside the buffers: they return without writing anything.
template <Layout L>
bool refused(const halide_buffer_t *in, const halide_buffer_t *guide, const halide_buffer_t *w,
             const halide_buffer_t *out) {
    if (in->host == nullptr || w->host == nullptr || out->host == nullptr) return true;
    if (guide != nullptr && guide->host == nullptr) return true;
    const int dims = L == Layout::rgb ? 3 : 2;
    for (int d = 0; d < dims; ++d) {
        if (in->dim[d].extent < 1) return true;
    }
    if constexpr (L == Layout::rgb) {
        const int64_t c_min = out->dim[2].min, c_end = c_min + out->dim[2].extent;
        if (c_min > 0 || c_end < 3) return true;
    }
    return false;
}

// The guide's record: element (x, y, c) at host[x*x_stride + y*y_stride +
// c*c_stride - base], channels counted from the guide's channel min.
GuideRecord guide_record(const halide_buffer_t *g, Sample sample, double pad, Padding padding) {
    GuideRecord r{};
    const bool rgb = g->dimensions == 3;
    r.host = g->host;
    r.sample = sample;
    r.layout = rgb ? Layout::rgb : Layout::gray;
    r.x_stride = g->dim[0].stride;
    r.y_stride = g->dim[1].stride;
    r.c_stride = rgb ? g->dim[2].stride : 0;
    r.base = offset2(g, r.x_stride, g->dim[0].min, g->dim[1].min);
    r.channels = rgb ? g->dim[2].extent : 1;
    if (padding == Padding::constant) {
        r.pad = sample == Sample::f32 ? padded_with<float>(pad)
                                      : sample == Sample::u8 ? sample_to_f32(padded_with<uint8_t>(pad))
                                                             : sample_to_f32(padded_with<uint16_t>(pad));
    }
    return r;
}

template <Layout L, class T>
Closure<T> make_closure(const halide_buffer_t *in, const halide_buffer_t *w, const halide_buffer_t *out,
                        int32_t N, int32_t off, float R, T pad, Form form) {
    Closure<T> c{};
    c.in_host = reinterpret_cast<const T *>(in->host);
    c.out_host = reinterpret_cast<T *>(out->host);
    c.w_host = reinterpret_cast<const float *>(w->host);
    c.round = form.round;
    c.in_x_stride = form.any_x_stride ? in->dim[0].stride : 1;
    c.out_x_stride = form.any_x_stride ? out->dim[0].stride : 1;
    c.in_base = offset2(in, c.in_x_stride, in->dim[0].min, in->dim[1].min);
    c.out_base = offset2(out, c.out_x_stride, out->dim[0].min, out->dim[1].min);
    c.w_base = offset2(w, 1, w->dim[0].min, w->dim[1].min);
    c.in_y_stride = in->dim[1].stride;
    c.out_y_stride = out->dim[1].stride;
    c.w_y_stride = w->dim[1].stride;
    c.in_x_min = in->dim[0].min;
    c.in_y_min = in->dim[1].min;
    c.in_x_end = int64_t{c.in_x_min} + in->dim[0].extent;
    c.in_y_end = int64_t{c.in_y_min} + in->dim[1].extent;
    if constexpr (L == Layout::rgb) {
        c.in_c_stride = in->dim[2].stride;
        c.in_c_min = in->dim[2].min;
        c.in_c_extent = in->dim[2].extent;
        c.in_base += int64_t{in->dim[2].min} * in->dim[2].stride;
        c.out_base += int64_t{out->dim[2].min} * out->dim[2].stride;
        const int64_t out_xy_base = offset2(out, c.out_x_stride, out->dim[0].min, out->dim[1].min);
        c.out_c1 = (1 - int64_t{out->dim[2].min}) * out->dim[2].stride - out_xy_base;
        c.out_c2 = (2 - int64_t{out->dim[2].min}) * out->dim[2].stride - out_xy_base;
    }
    c.out_width = out->dim[0].extent;
    c.out_height = out->dim[1].extent;
    c.out_x_min = out->dim[0].min;
    c.out_y_min = out->dim[1].min;
    c.N = N;
    c.off = off;
    c.nx = tile_columns(c.out_width);
    c.R = R;
    c.pad = pad;
    return c;
}

// The call of one entry point; `guide` (of `guide_sample`) is NULL but for a
// joint call.
template <Layout L, class T, Padding P>
int filter(halide_buffer_t *in, halide_buffer_t *w, double window, double sigma, double pad,
           halide_buffer_t *out, halide_task_t task, Form form, halide_buffer_t *guide = nullptr,
           Sample guide_sample = Sample::f32) {
    FpModeGuard fp_mode;  // the scalar roundings below happen under the defined mode
    const int32_t N = window_taps(window);
    const int32_t off = window_offset(window);

    const QueryRequest query{L, P, sample_of<T>, N, off, guide_sample};
    if (answer_bounds_query(query, in, guide, w, out)) return 0;
    if (refused<L>(in, guide, w, out)) return 0;
    if (guide != nullptr && !guide_covers(guide, in)) return halide_error_code_access_out_of_bounds;

    const T pad_sample = P == Padding::constant ? padded_with<T>(pad) : T{};
    Closure<T> record = make_closure<L, T>(in, w, out, N, off, range_term(sigma), pad_sample, form);
    if (guide != nullptr) {
        record.joint = true;
        record.guide = guide_record(guide, guide_sample, pad, P);
    }
    const int32_t tasks =
        static_cast<int32_t>(int64_t{record.nx} * tile_rows<L>(record.out_height));
    // The result is not examined: there is no error to report.
    (void)halide_do_par_for(nullptr, task, 0, tasks, reinterpret_cast<uint8_t *>(&record));
    return 0;
}

// A joint entry point: the input's layout and sample type pick the tile
// driver, whose task function serves as well as the named ones.
template <Padding P>
int filter_joint(halide_buffer_t *in, halide_buffer_t *guide, halide_buffer_t *w, double window, double sigma,
                 double pad, halide_buffer_t *out, bool round) {
    Sample sample = Sample::f32, guide_sample = Sample::f32;
    if (const halide_error_code_t fault = joint_descriptor_fault(in, guide, w, out, sample, guide_sample)) {
        return fault;
    }
    const Form form{round, true};
    // Called with a layout constant and a type tag (std::common_type<T>::type is T).
    const auto call = [&](auto layout, auto sample_type) {
        constexpr Layout L = decltype(layout)::value;
        using T = typename decltype(sample_type)::type;
        return filter<L, T, P>(in, w, window, sigma, pad, out, run_task<L, T, P>, form, guide, guide_sample);
    };
    using Gray = std::integral_constant<Layout, Layout::gray>;
    using Rgb = std::integral_constant<Layout, Layout::rgb>;
    const bool rgb = in->dimensions == 3;
    switch (sample) {
        case Sample::f32:
            return rgb ? call(Rgb(), std::common_type<float>()) : call(Gray(), std::common_type<float>());
        case Sample::u8:
            return rgb ? call(Rgb(), std::common_type<uint8_t>()) : call(Gray(), std::common_type<uint8_t>());
        case Sample::u16:
            break;
    }
    return rgb ? call(Rgb(), std::common_type<uint16_t>()) : call(Gray(), std::common_type<uint16_t>());
}

}  // namespace
}  // namespace bilateral

using bilateral::filter;
using bilateral::filter_joint;
using bilateral::run_task;

// What the padding word adds to an entry point's parameters (constant padding
// takes the pad value), and the pad value filter() then gets.
#define BF_PAD_PARAMETER_constant , double pad
#define BF_PAD_PARAMETER_replicate
#define BF_PAD_PARAMETER_symmetric
#define BF_PAD_ARGUMENT_constant pad
#define BF_PAD_ARGUMENT_replicate 0.0
#define BF_PAD_ARGUMENT_symmetric 0.0

// One entry point called `name` and its task function, named after it. A
// definition that differs from the public header's declaration does not
// compile.
#define BF_DEFINE_NAMED_ENTRY_POINT(name, layout, sample, padding, form)                           \
    int name##_par_for_out_s0_x_x_x(void *uc, int t, uint8_t *r) {                                  \
        return run_task<BILATERAL_VARIANT_TYPES(layout, sample, padding)>(uc, t, r);               \
    }                                                                                               \
    int name(halide_buffer_t *in, halide_buffer_t *w, double n, double s BF_PAD_PARAMETER_##padding, \
             halide_buffer_t *out) {                                                                \
        return filter<BILATERAL_VARIANT_TYPES(layout, sample, padding)>(                           \
            in, w, n, s, BF_PAD_ARGUMENT_##padding, out, name##_par_for_out_s0_x_x_x, form);       \
    }
#define BF_DEFINE_ENTRY_POINT(layout, sample, padding)                                                   \
    BF_DEFINE_NAMED_ENTRY_POINT(BilateralFilter_##layout##_##sample##_##padding, layout, sample, padding, \
                                (bilateral::Form{false, false}))
#define BF_DEFINE_ROUNDED_ENTRY_POINT(layout, sample, padding)                                     \
    BF_DEFINE_NAMED_ENTRY_POINT(BilateralFilter_##layout##_##sample##_##padding##_rounded, layout, \
                                sample, padding, (bilateral::Form{true, true}))

// The joint entry points of one padding rule, truncating and rounding.
#define BF_DEFINE_JOINT_ENTRY_POINTS(padding)                                                             \
    int BilateralFilter_joint_##padding(halide_buffer_t *in, halide_buffer_t *g, halide_buffer_t *w,      \
                                        double n, double s BF_PAD_PARAMETER_##padding, halide_buffer_t *out) { \
        return filter_joint<bilateral::words::padding_##padding>(in, g, w, n, s, BF_PAD_ARGUMENT_##padding,  \
                                                                 out, false);                               \
    }                                                                                                     \
    int BilateralFilter_joint_##padding##_rounded(halide_buffer_t *in, halide_buffer_t *g, halide_buffer_t *w, \
                                                  double n, double s BF_PAD_PARAMETER_##padding,            \
                                                  halide_buffer_t *out) {                                    \
        return filter_joint<bilateral::words::padding_##padding>(in, g, w, n, s, BF_PAD_ARGUMENT_##padding,  \
                                                                 out, true);                                \
    }

extern "C" {
BILATERAL_FILTER_VARIANTS(BF_DEFINE_ENTRY_POINT)
BILATERAL_FILTER_ROUNDED_VARIANTS(BF_DEFINE_ROUNDED_ENTRY_POINT)
BILATERAL_FILTER_JOINT_VARIANTS(BF_DEFINE_JOINT_ENTRY_POINTS)
}  // extern "C"
