// The front ends' defaults: spatial sigma, window size, Gaussian spatial
// weights and range sigma, the same in the tool, the Python package and the
// benchmark.
#ifndef BILATERAL_FRONT_DEFAULTS_H
#define BILATERAL_FRONT_DEFAULTS_H

#include <cmath>
#include <string>
#include <vector>

#include "front/variants.h"

namespace bilateral::front {

// Spatial sigma in pixels when none is given.
constexpr double kDefaultSigmaSpatial = 1.0;

// Range sigma when none is given: 10 % of the sample range, in the sample's
// own units (0..1 for float samples, 0..255 for 8-bit, 0..65535 for 16-bit).
inline double default_sigma_range(Sample sample) { return 0.1 * sample_top(sample); }

// Window size for a spatial sigma, 2 * ceil(2 * sigma) + 1 (two sigmas on
// each side), in double so that a huge sigma reaches the window limit check
// instead of overflowing an int.
inline double default_window(double sigma_spatial) { return 2 * std::ceil(2 * sigma_spatial) + 1; }

// Which window positions the default spatial weights cover: the disc of
// radius floor(N/2) (the offsets with di^2 + dj^2 <= floor(N/2)^2, as a
// diameter-N window is usually meant, and isotropic), or the whole N x N square.
enum class WindowShape { disc, square };

// The shape a user names ("disc", "square"); false for any other word.
bool window_shape_from_name(const std::string &name, WindowShape &shape);
const char *window_shape_name(WindowShape shape);

// Gaussian spatial weights for an N x N window, one window row after another:
// element j * N + i is W(i, j) = exp(-((i + off)^2 + (j + off)^2) / (2 sigma^2))
// with off = -floor(N / 2), evaluated in double and rounded once to float, and
// exactly +0 outside the disc when the shape is the disc (the library then
// skips those positions). An even window is centred one position further left
// and up, as the library places it.
std::vector<float> gaussian_weights(int window, double sigma_spatial, WindowShape shape = WindowShape::square);

}  // namespace bilateral::front

#endif  // BILATERAL_FRONT_DEFAULTS_H
