// What the front ends (the command-line tool and the Python module) share:
// the defaults for spatial sigma, window size, Gaussian spatial weights and
// range sigma, and the entry points by layout and sample type.
#ifndef BILATERAL_FRONT_END_H
#define BILATERAL_FRONT_END_H

#include <cmath>
#include <cstddef>
#include <vector>

#include "bilateral_filter.h"

namespace bilateral {

// Spatial sigma in pixels when none is given.
constexpr double kDefaultSigmaSpatial = 1.0;

// Range sigma when none is given: 10 % of the sample range, in the sample's
// own units (0..255 for 8-bit samples, 0..1 for float samples).
constexpr double kDefaultSigmaRangeUint8 = 25.5;
constexpr double kDefaultSigmaRangeFloat = 0.1;

inline double default_sigma_range(bool float_samples) {
    return float_samples ? kDefaultSigmaRangeFloat : kDefaultSigmaRangeUint8;
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

using PaddedFn = int (*)(halide_buffer_t *, halide_buffer_t *, double, double, double, halide_buffer_t *);
using EdgeFn = int (*)(halide_buffer_t *, halide_buffer_t *, double, double, halide_buffer_t *);

// The three entry points of one layout and sample type.
struct EntryPoints {
    PaddedFn constant;
    EdgeFn replicate, symmetric;
};

// Entry points by [rgb][uint8].
inline constexpr EntryPoints kEntryPoints[2][2] = {
    {{BilateralFilter_gray_single_constant, BilateralFilter_gray_single_replicate,
      BilateralFilter_gray_single_symmetric},
     {BilateralFilter_gray_uint8_constant, BilateralFilter_gray_uint8_replicate, BilateralFilter_gray_uint8_symmetric}},
    {{BilateralFilter_RGB_single_constant, BilateralFilter_RGB_single_replicate, BilateralFilter_RGB_single_symmetric},
     {BilateralFilter_RGB_uint8_constant, BilateralFilter_RGB_uint8_replicate, BilateralFilter_RGB_uint8_symmetric}},
};

}  // namespace bilateral

#endif  // BILATERAL_FRONT_END_H
