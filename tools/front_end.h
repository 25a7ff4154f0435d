// What the front ends (the command-line tool, the Python module, the benchmark
// and the tests) share: the defaults for spatial sigma, window size, Gaussian
// spatial weights and range sigma, and the entry points by variant.
#ifndef BILATERAL_FRONT_END_H
#define BILATERAL_FRONT_END_H

#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>
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

}  // namespace bilateral

#endif  // BILATERAL_FRONT_END_H
