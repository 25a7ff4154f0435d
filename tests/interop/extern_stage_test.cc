// A Halide pipeline, compiled at test time, calls an entry point as an extern
// stage over a Buffer input and consumes its output in a further stage: the
// result equals a direct call, bit for bit.
#include <Halide.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "bilateral_filter.h"

namespace {

using Halide::Buffer;

TEST(ExternStage, PipelineResultEqualsDirectCall) {
    const int W = 300, H = 90, N = 5;
    Buffer<float> input(W, H), weights(N, N);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> sample(0.0f, 1.0f);
    input.for_each_value([&](float &v) { v = sample(rng); });
    weights.for_each_element([&](int i, int j) {
        weights(i, j) = static_cast<float>(std::exp(-((i - 2) * (i - 2) + (j - 2) * (j - 2)) / 2.0));
    });

    Halide::Func filtered("filtered"), doubled("doubled");
    Halide::Var x("x"), y("y");
    filtered.define_extern("BilateralFilter_gray_single_replicate",
                           {input, weights, Halide::Expr(static_cast<double>(N)), Halide::Expr(0.1)},
                           Halide::Float(32), {x, y}, Halide::NameMangling::C);
    doubled(x, y) = filtered(x, y) * 2.0f;  // exact: a power of two
    filtered.compute_root();

    Halide::Pipeline pipeline(doubled);
    pipeline.set_jit_externs({{"BilateralFilter_gray_single_replicate",
                               Halide::JITExtern(BilateralFilter_gray_single_replicate)}});
    Buffer<float> through_halide = pipeline.realize({W, H});

    Halide::Runtime::Buffer<float> direct(W, H);
    ASSERT_EQ(BilateralFilter_gray_single_replicate(input.raw_buffer(), weights.raw_buffer(), N, 0.1, direct), 0);
    int mismatches = 0;
    direct.for_each_element([&](int i, int j) {
        const float want = direct(i, j) * 2.0f, got = through_halide(i, j);
        if (std::memcmp(&want, &got, sizeof want) != 0) ++mismatches;
    });
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
