#include "front/defaults.h"

#include <cstddef>

namespace bilateral::front {

bool window_shape_from_name(const std::string &name, WindowShape &shape) {
    for (WindowShape s : {WindowShape::disc, WindowShape::square}) {
        if (name == window_shape_name(s)) {
            shape = s;
            return true;
        }
    }
    return false;
}

const char *window_shape_name(WindowShape shape) { return shape == WindowShape::disc ? "disc" : "square"; }

std::vector<float> gaussian_weights(int window, double sigma_spatial, WindowShape shape) {
    const size_t n = size_t(window);
    std::vector<float> weights(n * n);
    const int off = -(window / 2);
    const double two_s2 = 2 * sigma_spatial * sigma_spatial;
    const double radius2 = double(window / 2) * double(window / 2);
    for (int j = 0; j < window; ++j) {
        for (int i = 0; i < window; ++i) {
            const double di = i + off, dj = j + off, d2 = di * di + dj * dj;
            const bool inside = shape == WindowShape::square || d2 <= radius2;
            weights[size_t(j) * n + size_t(i)] = inside ? float(std::exp(-d2 / two_s2)) : 0.0f;
        }
    }
    return weights;
}

}  // namespace bilateral::front
