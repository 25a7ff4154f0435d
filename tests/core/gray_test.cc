// The gray entry points end to end: worked examples by bits, degenerate
// inputs, the 8-bit path, and independence from the caller's FP mode.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "core/range_exp.h"
#include "reference/reference.h"
#include "support/buffers.h"
#include "uint8/convert.h"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace bilateral_test {
namespace {

using bilateral::bits_from_float;

TestBuffer gray(Sample type, int32_t W, int32_t H, int32_t x_min = 0, int32_t y_min = 0) {
    return dense(type, Layout::gray, W, H, 0, x_min, y_min);
}

Variant gray_variant(Sample type, Padding padding) { return {Layout::gray, type, padding}; }

TEST(GrayFilter, WorkedRowOfFourSamples) {
    TestBuffer in = gray(Sample::f32, 4, 1);
    const float row[4] = {1.0f, 2.0f, 4.0f, 8.0f};
    for (int x = 0; x < 4; ++x) in.set_f(x, 0, row[x]);
    TestBuffer w = flat_weights(5, 1.0f);
    const struct {
        Padding padding;
        uint32_t bits[4];
    } cases[] = {{Padding::replicate, {0x3FB87B44, 0x3FEDA30E, 0x405FE6A1, 0x40F9D10A}},
                 {Padding::symmetric, {0x3FD5B9A7, 0x3FEDA30E, 0x405FE6A1, 0x40EFE1AE}},
                 {Padding::constant, {0x3E4072B9, 0x3EB55D88, 0x3FACA3AE, 0x40ED8024}}};
    for (const auto &c : cases) {
        TestBuffer out = gray(Sample::f32, 4, 1);
        ASSERT_EQ(call_library(gray_variant(Sample::f32, c.padding), in.raw(), w.raw(), 5.0, 2.0, 0.0, out.raw()), 0);
        for (int x = 0; x < 4; ++x) {
            EXPECT_EQ(bits_from_float(out.f(x, 0)), c.bits[x]) << variant_name(gray_variant(Sample::f32, c.padding)) << " x " << x;
        }
        EXPECT_TRUE(out.untouched_outside_region());
    }
}

// Sample and weight sums round separately, and the conversion truncates: a
// flat 8-bit image need not come back unchanged.
TEST(GrayFilter, FlatEightBitImagesTruncate) {
    TestBuffer w(Sample::f32, {{0, 3, 1}, {0, 3, 3}});
    for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 3; ++i) {
            const double di = i - 1, dj = j - 1;
            w.set_f(i, j, static_cast<float>(std::exp(-(di * di + dj * dj) / 1.125)));
        }
    }
    const struct {
        uint8_t value, result;
    } cases[] = {{33, 32}, {49, 48}, {66, 65}, {200, 200}};
    for (Padding padding : {Padding::replicate, Padding::symmetric, Padding::constant}) {
        for (const auto &c : cases) {
            TestBuffer in = gray(Sample::u8, 40, 9), out = gray(Sample::u8, 40, 9);
            in.fill(c.value);
            ASSERT_EQ(call_library(gray_variant(Sample::u8, padding), in.raw(), w.raw(), 3.0, 10.0, c.value, out.raw()), 0);
            out.for_each([&](int32_t x, int32_t y, int32_t) {
                EXPECT_EQ(out.u(x, y), c.result) << "value " << int(c.value) << " at " << x << "," << y;
            });
        }
    }
}

TEST(GrayFilter, SingleTapReturnsTheSample) {
    std::mt19937 rng(2);
    TestBuffer in = gray(Sample::f32, 70, 70, -3, 8);
    in.fill_random(rng, SampleFill{-1e6, 1e6});
    in.set_f(5, 20, std::numeric_limits<float>::infinity());
    TestBuffer w = flat_weights(1, 1.0f);
    for (Padding padding : {Padding::replicate, Padding::symmetric, Padding::constant}) {
        TestBuffer out = gray(Sample::f32, 70, 70, -3, 8);
        call_library(gray_variant(Sample::f32, padding), in.raw(), w.raw(), 1.0, 0.3, 0.0, out.raw());
        out.for_each([&](int32_t x, int32_t y, int32_t) {
            if (x == 5 && y == 20) {
                EXPECT_TRUE(std::isnan(out.f(x, y))) << "inf - inf in the range difference";
            } else {
                EXPECT_EQ(bits_from_float(out.f(x, y)), bits_from_float(in.f(x, y))) << x << "," << y;
            }
        });
    }
}

// The caller's flush-to-zero and denormals-are-zero settings must not change a
// result: with subnormal spatial weights they would turn every sum into 0.
TEST(GrayFilter, ResultsIgnoreTheCallersFloatingPointMode) {
#if defined(__x86_64__) || defined(__i386__)
    TestBuffer in = gray(Sample::f32, 140, 70);
    in.fill(0.5);
    TestBuffer w = flat_weights(3, 1e-40f);  // subnormal
    TestBuffer out = gray(Sample::f32, 140, 70);
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(saved | (1u << 15) | (1u << 6));  // FTZ and DAZ
    call_library(gray_variant(Sample::f32, Padding::replicate), in.raw(), w.raw(), 3.0, 0.1, 0.0, out.raw());
    const unsigned during = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(during, saved | (1u << 15) | (1u << 6)) << "the caller's mode is restored";
    TestBuffer want = gray(Sample::f32, 140, 70);
    ref_filter(gray_variant(Sample::f32, Padding::replicate), in.raw(), w.raw(), 3.0, 0.1, 0.0, want.raw());
    EXPECT_FALSE(std::isnan(want.f(0, 0)));
    EXPECT_TRUE(same_samples(want, out));
#else
    GTEST_SKIP() << "checked on x86 only";
#endif
}

// W(i, j) is the weight buffer's element at absolute column i, row j: a buffer
// whose mins are not 0 holds the same weights at the same coordinates, and
// whatever lies outside [0, N)^2 (NaN here) is never read.
TEST(GrayFilter, SpatialWeightsAtAbsoluteCoordinates) {
    std::mt19937 rng(7);
    for (const Variant v : {Variant{Layout::gray, Sample::f32, Padding::symmetric},
                            Variant{Layout::rgb, Sample::u8, Padding::constant}}) {
        const bool rgb = v.layout == Layout::rgb;
        std::vector<Dim> in_dims = {{-3, 9, 1}, {4, 7, -11}}, out_dims = {{-5, 12, 1}, {2, 9, 12}};
        if (rgb) in_dims.push_back({0, 3, 80}), out_dims.push_back({0, 3, -120});
        TestBuffer in(v.sample, in_dims);
        in.fill_random(rng, v.sample == Sample::f32 ? SampleFill{0, 1} : SampleFill{0, 255});
        TestBuffer dense(Sample::f32, {{0, 5, 1}, {0, 5, 5}});
        TestBuffer offset(Sample::f32, {{-2, 8, 1}, {-1, 7, -9}});
        offset.fill(std::nan(""));
        dense.fill_random(rng, SampleFill{0, 1});
        dense.for_each([&](int32_t i, int32_t j, int32_t) { offset.set_f(i, j, dense.f(i, j)); });
        TestBuffer want(v.sample, out_dims), got(v.sample, out_dims);
        call_library(v, in.raw(), dense.raw(), 5, rgb ? 30 : 0.3, 17, want.raw());
        call_library(v, in.raw(), offset.raw(), 5, rgb ? 30 : 0.3, 17, got.raw());
        EXPECT_TRUE(same_samples(want, got)) << variant_name(v);
    }
}

// An 8-bit call equals the float call on the converted image followed by the
// truncating conversion, for every padding.
TEST(GrayFilter, EightBitIsTheFloatResultTruncated) {
    std::mt19937 rng(8);
    for (Padding padding : {Padding::replicate, Padding::symmetric, Padding::constant}) {
        for (int round = 0; round < 6; ++round) {
            const int32_t W = 20 + 97 * round, H = 5 + 23 * round;
            TestBuffer bytes = gray(Sample::u8, W, H, -7, 3), floats = gray(Sample::f32, W, H, -7, 3);
            bytes.fill_random(rng, SampleFill{0.0, 255.0, round % 2 ? 6 : 0});
            bytes.for_each([&](int32_t x, int32_t y, int32_t) { floats.set_f(x, y, bytes.u(x, y)); });
            TestBuffer w(Sample::f32, {{0, 7, 1}, {0, 7, 7}});
            w.fill_random(rng, SampleFill{-0.2, 1.0});
            const double pad = 17 + 40 * round, window = 2.0 + round, sigma = 5.0 + 10 * round;
            TestBuffer out8 = gray(Sample::u8, W + 10, H, -12, 3), out32 = gray(Sample::f32, W + 10, H, -12, 3);
            call_library(gray_variant(Sample::u8, padding), bytes.raw(), w.raw(), window, sigma, pad, out8.raw());
            call_library(gray_variant(Sample::f32, padding), floats.raw(), w.raw(), window, sigma, pad, out32.raw());
            out8.for_each([&](int32_t x, int32_t y, int32_t) {
                ASSERT_EQ(out8.u(x, y), bilateral::quotient_to_u8(out32.f(x, y)))
                    << variant_name(gray_variant(Sample::u8, padding)) << " at " << x << "," << y;
            });
        }
    }
}

}  // namespace
}  // namespace bilateral_test
