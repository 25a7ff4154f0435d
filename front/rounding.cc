#include "front/rounding.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

namespace bilateral::front {
namespace {

// Addressing of a 2- or 3-dimensional buffer whose x stride may be anything.
struct Plane {
    char *host;
    int64_t stride[3];
    int min[3];
    int extent[3];
    size_t size;  // bytes per sample

    explicit Plane(const halide_buffer_t *b) : host(reinterpret_cast<char *>(b->host)), size(b->type.bytes()) {
        for (int d = 0; d < 3; ++d) {
            const bool has = d < b->dimensions;
            stride[d] = has ? b->dim[d].stride : 0;
            min[d] = has ? b->dim[d].min : 0;
            extent[d] = has ? b->dim[d].extent : 1;
        }
    }
    template <class T>
    T *at(int x, int y, int c) const {
        const int64_t i = int64_t(x - min[0]) * stride[0] + int64_t(y - min[1]) * stride[1] +
                          int64_t(c - min[2]) * stride[2];
        return reinterpret_cast<T *>(host + i * int64_t(size));
    }
};

int channels_of(Layout l) { return l == Layout::rgb ? 3 : 1; }

// How the output rows are cut into strips and what one copy holds.
struct Strips {
    bool cut;       // false: one strip takes every input row
    int count;      // strips
    size_t elements;  // of the copy every strip reuses
};

// Strips are valid when every row the window reaches lies inside the strip's
// input rows or beyond the image's own edge; a strip of at least N rows also
// keeps mirrored rows inside it. Otherwise one strip takes every input row.
Strips plan_strips(Variant v, const Plane &in, const Plane &out, int n, size_t work_size, size_t budget) {
    const int h = out.extent[1], out_y = out.min[1];
    Strips s;
    s.cut = n >= 1 && out_y >= in.min[1] && int64_t(out_y) + h <= int64_t(in.min[1]) + in.extent[1];
    const size_t row_elements = size_t(in.extent[0]) * size_t(in.extent[2]) + size_t(out.extent[0]) * channels_of(v.layout);
    const int64_t fit = int64_t(budget / std::max<size_t>(row_elements * work_size, 1)) - (n - 1);
    const int64_t rows = s.cut ? std::max<int64_t>({fit, n, 1}) : h;
    s.count = int(std::max<int64_t>(1, h / rows));
    // One copy for every strip, sized for the tallest: fresh pages are slow.
    const int64_t most = (h + s.count - 1) / s.count;
    const int64_t in_rows = s.cut ? std::min<int64_t>(in.extent[1], most + n - 1) : in.extent[1];
    s.elements = row_elements * size_t(std::max<int64_t>(in_rows, most));
    return s;
}

// Filters rows [y0, y1) of out through copies in `copy`: input rows [a, b)
// with all their columns and channels, and the output rows, with x stride 1,
// through the entry point or (round) its _rounded one.
template <class T>
void filter_strip(Variant v, bool round, const Plane &in, const Plane &out, int y0, int y1, int a, int b,
                  halide_buffer_t *weights, double window, double sigma, double pad, T *copy) {
    const int channels = channels_of(v.layout);
    const int in_w = in.extent[0], in_c = in.extent[2], out_w = out.extent[0];
    const size_t in_n = size_t(in_w) * size_t(b - a) * size_t(in_c);
    for (int c = 0; c < in_c; ++c) {
        for (int y = a; y < b; ++y) {
            T *row = copy + (size_t(c) * size_t(b - a) + size_t(y - a)) * size_t(in_w);
            const T *src = in.at<const T>(in.min[0], y, in.min[2] + c);
            const int64_t step = in.stride[0];
            for (int x = 0; x < in_w; ++x) row[x] = src[x * step];
        }
    }
    const halide_type_t type = sample_of<T> == Sample::f32 ? halide_type_t(halide_type_float, 32)
                                                           : halide_type_t(halide_type_uint, sizeof(T) * 8);
    halide_dimension_t in_dims[3] = {{in.min[0], in_w, 1, 0},
                                     {a, b - a, in_w, 0},
                                     {in.min[2], in_c, int32_t(int64_t(in_w) * (b - a)), 0}};
    halide_dimension_t out_dims[3] = {{out.min[0], out_w, 1, 0},
                                      {y0, y1 - y0, out_w, 0},
                                      {0, channels, int32_t(int64_t(out_w) * (y1 - y0)), 0}};
    halide_buffer_t in_buf{}, out_buf{};
    in_buf.host = reinterpret_cast<uint8_t *>(copy);
    in_buf.type = type;
    in_buf.dimensions = v.layout == Layout::rgb ? 3 : 2;
    in_buf.dim = in_dims;
    out_buf.host = reinterpret_cast<uint8_t *>(copy + in_n);
    out_buf.type = type;
    out_buf.dimensions = in_buf.dimensions;
    out_buf.dim = out_dims;
    if (round) {
        call_rounded_entry(v, &in_buf, weights, window, sigma, pad, &out_buf);
    } else {
        call_entry(v, &in_buf, weights, window, sigma, pad, &out_buf);
    }
    for (int c = 0; c < channels; ++c) {
        for (int y = y0; y < y1; ++y) {
            const T *row = copy + in_n + (size_t(c) * size_t(y1 - y0) + size_t(y - y0)) * size_t(out_w);
            T *dst = out.at<T>(out.min[0], y, c);
            const int64_t step = out.stride[0];
            for (int x = 0; x < out_w; ++x) dst[x * step] = row[x];
        }
    }
}

// The window's N and origin offset as the library derives them from window_size.
int window_taps(double window) { return window >= 1 && window < 2147483648.0 ? int(window) : 0; }
int window_offset(int n) { return -(n / 2); }

template <class T>
int filter_in_strips(Variant v, bool round, halide_buffer_t *in_b, halide_buffer_t *weights, double window,
                     double sigma, double pad, halide_buffer_t *out_b, size_t budget) {
    const Plane in(in_b), out(out_b);
    const int n = window_taps(window), off = window_offset(n);
    const int in_end = in.min[1] + in.extent[1], out_y = out.min[1], h = out.extent[1];
    if (h <= 0 || out.extent[0] <= 0) return 0;
    const Strips s = plan_strips(v, in, out, n, sizeof(T), budget);
    std::unique_ptr<T[]> copy(new (std::nothrow) T[s.elements]);
    if (!copy) return -1;
    for (int k = 0; k < s.count; ++k) {
        const int y0 = out_y + int(int64_t(h) * k / s.count), y1 = out_y + int(int64_t(h) * (k + 1) / s.count);
        const int a = s.cut ? std::max(in.min[1], y0 + off) : in.min[1];
        const int b = s.cut ? int(std::min<int64_t>(in_end, int64_t(y1) + off + n - 1)) : in_end;
        filter_strip<T>(v, round, in, out, y0, y1, a, b, weights, window, sigma, pad, copy.get());
    }
    return 0;
}

bool is_query(const halide_buffer_t *in, const halide_buffer_t *weights, const halide_buffer_t *out) {
    return in->host == nullptr || weights->host == nullptr || out->host == nullptr;
}
bool rounds(Variant v, Rounding r) { return v.sample != Sample::f32 && r == Rounding::nearest; }
bool strided(const halide_buffer_t *in, const halide_buffer_t *out) {
    return in->dim[0].stride != 1 || out->dim[0].stride != 1;
}
// Whether the call needs copies: the eighteen read x strides of 1 only, the
// _rounded entry points any x stride but 0.
bool copies(Variant v, Rounding r, const halide_buffer_t *in, const halide_buffer_t *out) {
    return rounds(v, r) ? in->dim[0].stride == 0 || out->dim[0].stride == 0 : strided(in, out);
}
// The RGB entry points write nothing unless the output holds channels 0, 1 and 2.
bool writes_nothing(Variant v, const halide_buffer_t *out) {
    return v.layout == Layout::rgb &&
           !(out->dimensions >= 3 && out->dim[2].min <= 0 && int64_t(out->dim[2].min) + out->dim[2].extent >= 3);
}

// The _rounded entry point of a variant, called with the arguments its
// padding takes.
#define BF_CALL_ROUNDED_constant(f) f(in, weights, window, sigma, pad, out)
#define BF_CALL_ROUNDED_replicate(f) f(in, weights, window, sigma, out)
#define BF_CALL_ROUNDED_symmetric(f) f(in, weights, window, sigma, out)
#define BF_ROUNDED_CASE(l, s, p)                                                                  \
    if (entry == "BilateralFilter_" #l "_" #s "_" #p) {                                          \
        return BF_CALL_ROUNDED_##p(BilateralFilter_##l##_##s##_##p##_rounded);                  \
    }
int call_rounded_by_name(const std::string &entry, halide_buffer_t *in, halide_buffer_t *weights, double window,
                         double sigma, double pad, halide_buffer_t *out) {
    BILATERAL_FILTER_ROUNDED_VARIANTS(BF_ROUNDED_CASE)
    return -1;
}
#undef BF_ROUNDED_CASE

}  // namespace

int call_rounded_entry(Variant v, halide_buffer_t *in, halide_buffer_t *weights, double window, double sigma,
                       double pad, halide_buffer_t *out) {
    return call_rounded_by_name(entry_name(v), in, weights, window, sigma, pad, out);
}

size_t copy_bytes(Variant v, Rounding r, const halide_buffer_t *in, double window, const halide_buffer_t *out,
                  size_t budget_bytes) {
    if (!copies(v, r, in, out) || writes_nothing(v, out)) return 0;
    if (out->dim[0].extent <= 0 || out->dim[1].extent <= 0) return 0;
    const size_t work = in->type.bytes();
    return plan_strips(v, Plane(in), Plane(out), window_taps(window), work, budget_bytes).elements * work;
}

int call_filter(Variant v, Rounding r, halide_buffer_t *in, halide_buffer_t *weights, double window, double sigma,
                double pad, halide_buffer_t *out, size_t budget_bytes) {
    const bool round = rounds(v, r);
    if (is_query(in, weights, out)) return call_entry(v, in, weights, window, sigma, pad, out);
    if (!copies(v, r, in, out)) {
        if (!round) return call_checked(v, in, weights, window, sigma, pad, out);
        // The library's validator first: a fault in a descriptor becomes an error code, not a stray write.
        const std::string name = entry_name(v) + "_rounded";
        if (const int fault = BilateralFilter_check(name.c_str(), in, weights, window, sigma, pad, out)) return fault;
        return call_rounded_entry(v, in, weights, window, sigma, pad, out);
    }
    if (writes_nothing(v, out)) return 0;
    switch (v.sample) {
        case Sample::f32:
            return filter_in_strips<float>(v, round, in, weights, window, sigma, pad, out, budget_bytes);
        case Sample::u8:
            return filter_in_strips<uint8_t>(v, round, in, weights, window, sigma, pad, out, budget_bytes);
        case Sample::u16:
            break;
    }
    return filter_in_strips<uint16_t>(v, round, in, weights, window, sigma, pad, out, budget_bytes);
}

}  // namespace bilateral::front
