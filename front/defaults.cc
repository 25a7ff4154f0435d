#include "front/defaults.h"

#include <cstddef>

namespace bilateral::front {

std::vector<float> gaussian_weights(int window, double sigma_spatial) {
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

}  // namespace bilateral::front
