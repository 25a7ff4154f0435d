// What the front ends (the command-line tool, the Python module, the benchmark
// and the tests) share: the defaults for spatial sigma, window size, Gaussian
// spatial weights and range sigma, and the entry points by variant.
#ifndef BILATERAL_FRONT_END_H
#define BILATERAL_FRONT_END_H

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "bilateral_filter.h"
#include "core/variant.h"

namespace bilateral {

// Spatial sigma in pixels when none is given.
constexpr double kDefaultSigmaSpatial = 1.0;

// Range sigma when none is given: 10 % of the sample range, in the sample's
// own units (0..1 for float samples, 0..255 for 8-bit, 0..65535 for 16-bit).
inline double default_sigma_range(Sample sample) {
    return sample == Sample::f32 ? 0.1 : sample == Sample::u8 ? 25.5 : 6553.5;
}

// Window size for a spatial sigma: 2 * ceil(2 * sigma) + 1, which reaches two
// sigmas on each side. The caller keeps sigma small enough for an int.
inline int default_window(double sigma_spatial) { return 2 * int(std::ceil(2 * sigma_spatial)) + 1; }

// Gaussian spatial weights for an N x N window, one window row after another:
// element j * N + i is W(i, j) = exp(-((i + off)^2 + (j + off)^2) / (2 sigma^2))
// with off = -floor(N / 2), evaluated in double and rounded once to float. An
// even window is centred one position further left and up, as the library
// places it.
inline std::vector<float> gaussian_weights(int window, double sigma_spatial) {
    const size_t n = size_t(window);
    std::vector<float> weights(n * n);
    const int off = -(window / 2);
    const double two_s2 = 2 * sigma_spatial * sigma_spatial;
    for (int j = 0; j < window; ++j) {
        for (int i = 0; i < window; ++i) {
            const double di = i + off, dj = j + off;
            weights[size_t(j) * n + size_t(i)] = float(std::exp(-(di * di + dj * dj) / two_s2));
        }
    }
    return weights;
}

// One entry point: its layout, sample type and padding.
struct Variant {
    Layout layout;
    Sample sample;
    Padding padding;
};

// All eighteen, gray before RGB, float before 8-bit before 16-bit, constant,
// replicate, symmetric.
inline std::vector<Variant> all_variants() {
    std::vector<Variant> all;
    for (Layout l : {Layout::gray, Layout::rgb}) {
        for (Sample s : {Sample::f32, Sample::u8, Sample::u16}) {
            for (Padding p : {Padding::constant, Padding::replicate, Padding::symmetric}) all.push_back({l, s, p});
        }
    }
    return all;
}

inline const char *padding_name(Padding p) {
    return p == Padding::constant ? "constant" : p == Padding::replicate ? "replicate" : "symmetric";
}

// The padding a user names ("constant", "replicate", "symmetric"); false for any other word.
inline bool padding_from_name(std::string_view name, Padding &padding) {
    for (Padding p : {Padding::constant, Padding::replicate, Padding::symmetric}) {
        if (name == padding_name(p)) {
            padding = p;
            return true;
        }
    }
    return false;
}

// The sample word of the exported names.
inline const char *sample_name(Sample s) { return s == Sample::f32 ? "single" : s == Sample::u8 ? "uint8" : "uint16"; }

// The exported name, e.g. "BilateralFilter_RGB_uint8_symmetric".
inline std::string entry_name(Variant v) {
    return std::string("BilateralFilter_") + (v.layout == Layout::rgb ? "RGB" : "gray") + "_" +
           sample_name(v.sample) + "_" + padding_name(v.padding);
}

// Calls the variant's entry point; pad reaches only the constant ones.
inline int call_entry(Variant v, halide_buffer_t *in, halide_buffer_t *weights, double window, double sigma,
                      double pad, halide_buffer_t *out) {
    using Padded = int (*)(halide_buffer_t *, halide_buffer_t *, double, double, double, halide_buffer_t *);
    using Edge = int (*)(halide_buffer_t *, halide_buffer_t *, double, double, halide_buffer_t *);
    struct Entries {
        Padded constant;
        Edge replicate, symmetric;
    };
    // By [rgb][sample].
    static constexpr Entries kEntries[2][3] = {
        {{BilateralFilter_gray_single_constant, BilateralFilter_gray_single_replicate,
          BilateralFilter_gray_single_symmetric},
         {BilateralFilter_gray_uint8_constant, BilateralFilter_gray_uint8_replicate,
          BilateralFilter_gray_uint8_symmetric},
         {BilateralFilter_gray_uint16_constant, BilateralFilter_gray_uint16_replicate,
          BilateralFilter_gray_uint16_symmetric}},
        {{BilateralFilter_RGB_single_constant, BilateralFilter_RGB_single_replicate,
          BilateralFilter_RGB_single_symmetric},
         {BilateralFilter_RGB_uint8_constant, BilateralFilter_RGB_uint8_replicate,
          BilateralFilter_RGB_uint8_symmetric},
         {BilateralFilter_RGB_uint16_constant, BilateralFilter_RGB_uint16_replicate,
          BilateralFilter_RGB_uint16_symmetric}},
    };
    const Entries &e = kEntries[v.layout == Layout::rgb][static_cast<int>(v.sample)];
    switch (v.padding) {
        case Padding::constant:
            return e.constant(in, weights, window, sigma, pad, out);
        case Padding::replicate:
            return e.replicate(in, weights, window, sigma, out);
        case Padding::symmetric:
            break;
    }
    return e.symmetric(in, weights, window, sigma, out);
}

// How the front ends turn a quotient into an 8- or 16-bit result: to nearest,
// ties to even (what a person expects: flat areas and pure white survive
// repeated passes), or truncated, which is what the integer entry points do.
enum class Rounding { nearest, truncate };

// What the float copies of one strip may take when rounding to nearest.
constexpr size_t kRoundingBudget = size_t(16) << 20;

namespace front_detail {

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

// The library's truncation of a double to int32: toward zero, saturating, NaN to 0.
inline int32_t truncate_saturate(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483648.0) return INT32_MAX;
    if (v <= -2147483649.0) return INT32_MIN;
    return int32_t(v);
}

// A quotient to an integer sample, to nearest with ties to even, saturating; NaN gives 0.
// Adding and taking away 2^23 leaves q rounded to an integer, ties to even,
// for 0 <= q < 2^23 (the front ends run in the default rounding mode); no
// library call, so the loops over a picture vectorise.
template <class T>
inline T round_quotient(float q) {
    constexpr float top = float(std::numeric_limits<T>::max());
    const float clamped = q > 0.0f ? (q < top ? q : top) : 0.0f;  // NaN fails q > 0
    return T((clamped + 8388608.0f) - 8388608.0f);
}

// Filters rows [y0, y1) of out through Work-typed copies in `copy`: input rows
// [a, b) with all their columns and channels, and the output rows, with x
// stride 1. Work is float when rounding an integer image, else the sample
// type itself.
template <class In, class Work>
void filter_strip(Variant v, Variant work, const Plane &in, const Plane &out, int y0, int y1, int a, int b,
                  halide_buffer_t *weights, double window, double sigma, double pad, Work *copy) {
    const int channels = v.layout == Layout::rgb ? 3 : 1;
    const int in_w = in.extent[0], in_c = in.extent[2], out_w = out.extent[0];
    const size_t in_n = size_t(in_w) * size_t(b - a) * size_t(in_c);
    for (int c = 0; c < in_c; ++c) {
        for (int y = a; y < b; ++y) {
            Work *row = copy + (size_t(c) * size_t(b - a) + size_t(y - a)) * size_t(in_w);
            const In *src = in.at<const In>(in.min[0], y, in.min[2] + c);
            const int64_t step = in.stride[0];
            for (int x = 0; x < in_w; ++x) row[x] = Work(src[x * step]);
        }
    }
    const halide_type_t type = sample_of<Work> == Sample::f32 ? halide_type_t(halide_type_float, 32)
                                                              : halide_type_t(halide_type_uint, sizeof(Work) * 8);
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
    call_entry(work, &in_buf, weights, window, sigma, pad, &out_buf);
    for (int c = 0; c < channels; ++c) {
        for (int y = y0; y < y1; ++y) {
            const Work *row = copy + in_n + (size_t(c) * size_t(y1 - y0) + size_t(y - y0)) * size_t(out_w);
            In *dst = out.at<In>(out.min[0], y, c);
            const int64_t step = out.stride[0];
            for (int x = 0; x < out_w; ++x) {
                if constexpr (std::is_same_v<In, Work>) {
                    dst[x * step] = row[x];
                } else {
                    dst[x * step] = round_quotient<In>(row[x]);
                }
            }
        }
    }
}

template <class In, class Work>
int filter_in_strips(Variant v, halide_buffer_t *in_b, halide_buffer_t *weights, double window, double sigma,
                     double pad, halide_buffer_t *out_b, size_t budget) {
    const Plane in(in_b), out(out_b);
    Variant work = v;
    work.sample = sample_of<Work>;
    if constexpr (!std::is_same_v<In, Work>) {
        // The float pad equal to the pad sample the integer entry point would use.
        pad = double(In(uint32_t(truncate_saturate(pad))));
    }
    const int n = truncate_saturate(window), off = truncate_saturate(window * -0.5);
    const int in_end = in.min[1] + in.extent[1], out_y = out.min[1], h = out.extent[1];
    if (h <= 0 || out.extent[0] <= 0) return 0;
    // Strips are valid when every row the window reaches lies inside the strip's
    // input rows or beyond the image's own edge; a strip of at least N rows also
    // keeps mirrored rows inside it. Otherwise one strip takes every input row.
    const bool strips = n >= 1 && out_y >= in.min[1] && out_y + h <= in_end;
    const size_t row_bytes = sizeof(Work) * (size_t(in.extent[0]) * size_t(in.extent[2]) +
                                             size_t(out.extent[0]) * (v.layout == Layout::rgb ? 3 : 1));
    const int64_t fit = int64_t(budget / std::max<size_t>(row_bytes, 1)) - (n - 1);
    const int64_t rows = strips ? std::max<int64_t>({fit, n, 1}) : h;
    const int count = int(std::max<int64_t>(1, h / rows));
    // One copy for every strip, sized for the tallest: fresh pages are slow.
    const int64_t most = (h + count - 1) / count;
    const int64_t in_rows = strips ? std::min<int64_t>(in.extent[1], most + n - 1) : in.extent[1];
    const size_t size = row_bytes / sizeof(Work) * size_t(std::max<int64_t>(in_rows, most));
    std::unique_ptr<Work[]> copy(new (std::nothrow) Work[size]);
    if (!copy) return -1;
    for (int k = 0; k < count; ++k) {
        const int y0 = out_y + int(int64_t(h) * k / count), y1 = out_y + int(int64_t(h) * (k + 1) / count);
        const int a = strips ? std::max(in.min[1], y0 + off) : in.min[1];
        const int b = strips ? int(std::min<int64_t>(in_end, int64_t(y1) + off + n - 1)) : in_end;
        filter_strip<In, Work>(v, work, in, out, y0, y1, a, b, weights, window, sigma, pad, copy.get());
    }
    return 0;
}

}  // namespace front_detail

// Filters like call_entry, and also takes input and output buffers whose x
// stride is not 1 (an interleaved picture described in place). With
// Rounding::nearest an 8- or 16-bit image is filtered through the float entry
// point on float copies of its samples in their own units, which gives the
// integer entry point's quotient, and each quotient is rounded to nearest
// (ties to even, saturating, NaN to 0). Copies are made strip by strip, the
// strips overlapping by the window's reach so that the result is that of one
// call on the whole image; a strip's copies stay near budget_bytes (at least
// N rows). Float samples, or Rounding::truncate, with x stride 1 call the
// entry point directly. Returns 0, or -1 when a copy cannot be allocated.
inline int call_filter(Variant v, Rounding r, halide_buffer_t *in, halide_buffer_t *weights, double window,
                       double sigma, double pad, halide_buffer_t *out, size_t budget_bytes = kRoundingBudget) {
    const bool query = in->host == nullptr || weights->host == nullptr || out->host == nullptr;
    const bool round = v.sample != Sample::f32 && r == Rounding::nearest;
    const bool strided = in->dim[0].stride != 1 || out->dim[0].stride != 1;
    if (query || (!round && !strided)) return call_entry(v, in, weights, window, sigma, pad, out);
    // The RGB entry points write nothing unless the output holds channels 0, 1 and 2.
    const bool rgb_channels = out->dimensions >= 3 && out->dim[2].min <= 0 && out->dim[2].min + out->dim[2].extent >= 3;
    if (v.layout == Layout::rgb && !rgb_channels) return 0;
    using namespace front_detail;
    switch (v.sample) {
        case Sample::f32:
            return filter_in_strips<float, float>(v, in, weights, window, sigma, pad, out, budget_bytes);
        case Sample::u8:
            return round ? filter_in_strips<uint8_t, float>(v, in, weights, window, sigma, pad, out, budget_bytes)
                         : filter_in_strips<uint8_t, uint8_t>(v, in, weights, window, sigma, pad, out, budget_bytes);
        case Sample::u16:
            break;
    }
    return round ? filter_in_strips<uint16_t, float>(v, in, weights, window, sigma, pad, out, budget_bytes)
                 : filter_in_strips<uint16_t, uint16_t>(v, in, weights, window, sigma, pad, out, budget_bytes);
}

}  // namespace bilateral

#endif  // BILATERAL_FRONT_END_H
