// A host program built against an installed copy of the library: sizes the
// weights through a bounds query, filters a small 8-bit image and checks that
// a flat image stays flat.
#include <bilateral_filter.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main() {
    const int W = 40, H = 30, N = 3;
    std::vector<uint8_t> in(W * H, 77), out(W * H, 0);
    halide_dimension_t in_dims[2] = {{0, W, 1, 0}, {0, H, W, 0}}, out_dims[2] = {{0, W, 1, 0}, {0, H, W, 0}};
    halide_dimension_t w_dims[2] = {};
    halide_buffer_t input{}, output{}, weights{};
    input.host = in.data(), input.type = halide_type_t(halide_type_uint, 8), input.dimensions = 2, input.dim = in_dims;
    output.host = out.data(), output.type = input.type, output.dimensions = 2, output.dim = out_dims;
    weights.dimensions = 2, weights.dim = w_dims;  // no storage: a bounds query
    BilateralFilter_gray_uint8_replicate(&input, &weights, N, 25.5, &output);
    if (w_dims[0].extent != N || w_dims[1].extent != N) {
        std::fprintf(stderr, "bounds query answered %d x %d\n", w_dims[0].extent, w_dims[1].extent);
        return 1;
    }
    std::vector<float> w(N * N, 1.0f);
    weights.host = reinterpret_cast<uint8_t *>(w.data());
    halide_set_num_threads(2);
    BilateralFilter_gray_uint8_replicate(&input, &weights, N, 25.5, &output);
    for (uint8_t v : out) {
        if (v != 77) {
            std::fprintf(stderr, "flat image changed: %d\n", v);
            return 1;
        }
    }
    std::printf("consumer OK\n");
    return 0;
}
