// Filters a generated noisy picture with sharp edges and reports what the
// filter did: noise in flat areas goes down, the height of edges stays.
//
// Shows the calling idiom: the spatial-weight buffer is sized through a bounds
// query (a Halide::Runtime::Buffer without storage), then allocated and filled.
#include <HalideBuffer.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>

#include "bilateral_filter.h"

namespace {

using Halide::Runtime::Buffer;

// Flat areas split by straight and curved edges, plus Gaussian noise.
Buffer<uint8_t> make_picture(int width, int height, double noise) {
    Buffer<uint8_t> img(width, height, 3);
    std::mt19937 rng(1);
    std::normal_distribution<double> grain(0.0, noise);
    const double cx = width * 0.65, cy = height * 0.5, radius = height * 0.3;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double rgb[3] = {60, 90, 140};
            if (x < width / 3) rgb[0] = 200, rgb[1] = 180, rgb[2] = 60;
            if (std::hypot(x - cx, y - cy) < radius) rgb[0] = 30, rgb[1] = 160, rgb[2] = 70;
            for (int c = 0; c < 3; ++c) {
                img(x, y, c) = static_cast<uint8_t>(std::clamp(rgb[c] + grain(rng), 0.0, 255.0));
            }
        }
    }
    return img;
}

// Standard deviation of channel c over a square patch.
double patch_noise(const Buffer<uint8_t> &img, int x0, int y0, int size, int c) {
    double sum = 0, sq = 0;
    for (int y = y0; y < y0 + size; ++y) {
        for (int x = x0; x < x0 + size; ++x) {
            sum += img(x, y, c);
            sq += double(img(x, y, c)) * img(x, y, c);
        }
    }
    const double n = double(size) * size, mean = sum / n;
    return std::sqrt(std::max(0.0, sq / n - mean * mean));
}

}  // namespace

int main() {
    const int width = 1024, height = 768;
    const double sigma_spatial = 2.0, sigma_range = 40.0;
    const int window = 2 * static_cast<int>(std::ceil(2 * sigma_spatial)) + 1;

    Buffer<uint8_t> input = make_picture(width, height, 20.0);
    Buffer<uint8_t> output(width, height, 3);

    // Ask the library how large the spatial weights must be, then fill them
    // with a Gaussian of the window offsets.
    Buffer<float> weights(nullptr, 0, 0);
    BilateralFilter_RGB_uint8_replicate(input, weights, window, sigma_range, output);
    weights.allocate();
    const int off = -(window / 2);
    weights.for_each_element([&](int i, int j) {
        const double di = i + off, dj = j + off;
        weights(i, j) = static_cast<float>(std::exp(-(di * di + dj * dj) / (2 * sigma_spatial * sigma_spatial)));
    });

    const auto start = std::chrono::steady_clock::now();
    BilateralFilter_RGB_uint8_replicate(input, weights, window, sigma_range, output);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

    std::printf("Filtered a %dx%d RGB picture, window %d, spatial sigma %.1f, range sigma %.1f, in %.1f ms\n",
                width, height, window, sigma_spatial, sigma_range, ms);
    const char *names[3] = {"red", "green", "blue"};
    for (int c = 0; c < 3; ++c) {
        std::printf("  %-5s noise in a flat patch: %5.2f -> %5.2f\n", names[c], patch_noise(input, 40, 40, 64, c),
                    patch_noise(output, 40, 40, 64, c));
    }
    // The step at x = width / 3 should keep its height.
    const int y = height / 4, edge = width / 3;
    auto mean_run = [&](const Buffer<uint8_t> &img, int x0, int c) {
        double s = 0;
        for (int x = x0; x < x0 + 6; ++x) s += img(x, y, c);
        return s / 6;
    };
    std::printf("  red step across the edge: %.1f -> %.1f\n", mean_run(input, edge - 8, 0) - mean_run(input, edge + 2, 0),
                mean_run(output, edge - 8, 0) - mean_run(output, edge + 2, 0));
    return 0;
}
