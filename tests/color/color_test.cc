// The RGB entry points end to end: which input channel feeds which output
// channel, the shared range weight, flat colours, and the 8-bit path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "core/range_exp.h"
#include "reference/reference.h"
#include "support/buffers.h"
#include "uint8/convert.h"

namespace bilateral_test {
namespace {

using bilateral::bits_from_float;

TestBuffer planar(Sample type, int32_t W, int32_t H, int32_t c_min, int32_t channels) {
    return TestBuffer(type, {{0, W, 1}, {0, H, W}, {c_min, channels, W * H}});
}

Variant rgb(Sample type, Padding padding) { return {Layout::rgb, type, padding}; }

// Filters with the library and the oracle; returns the library's output after
// checking that both agree.
TestBuffer filter_checked(Variant v, TestBuffer &in, TestBuffer &w, double window, double sigma, double pad,
                          int32_t W, int32_t H) {
    TestBuffer out = planar(v.sample, W, H, 0, 3), want = planar(v.sample, W, H, 0, 3);
    EXPECT_EQ(call_library(v, in.raw(), w.raw(), window, sigma, pad, out.raw()), 0);
    ref_filter(v, in.raw(), w.raw(), window, sigma, pad, want.raw());
    EXPECT_TRUE(same_samples(want, out)) << variant_name(v);
    EXPECT_TRUE(out.untouched_outside_region());
    return out;
}

// With a single tap of weight 1 every output channel is its source sample, so
// the channel mapping shows directly: out(k) = in(source(k)) or the pad value.
TEST(ColorChannels, OutputChannelSources) {
    std::mt19937 rng(21);
    const float pad = 0.625f;
    const struct {
        int32_t c_min, channels;
        Padding padding;
        int sources[3];  // input channel per output channel, -1 for the pad value
    } cases[] = {
        {0, 1, Padding::replicate, {0, 0, 0}}, {0, 1, Padding::symmetric, {0, 0, 0}},
        {0, 1, Padding::constant, {0, -1, -1}}, {0, 4, Padding::replicate, {0, 1, 2}},
        {0, 4, Padding::constant, {0, 1, 2}},  {1, 2, Padding::replicate, {1, 1, 2}},
        {1, 2, Padding::symmetric, {1, 1, 2}}, {1, 2, Padding::constant, {-1, 1, 2}},
        {0, 2, Padding::symmetric, {0, 1, 1}}, {2, 3, Padding::symmetric, {3, 2, 2}},
    };
    for (const auto &c : cases) {
        const Variant v = rgb(Sample::f32, c.padding);
        SCOPED_TRACE(variant_name(v) + " channels from " + std::to_string(c.c_min) + ", " +
                     std::to_string(c.channels) + " of them");
        TestBuffer in = planar(Sample::f32, 37, 5, c.c_min, c.channels);
        in.fill_random(rng, SampleFill{0.0, 1.0});
        TestBuffer w = flat_weights(1, 1.0f);
        TestBuffer out = filter_checked(v, in, w, 1.0, 0.1, pad, 37, 5);
        out.for_each([&](int32_t x, int32_t y, int32_t k) {
            const float want = c.sources[k] < 0 ? pad : in.f(x, y, c.sources[k]);
            ASSERT_EQ(bits_from_float(out.f(x, y, k)), bits_from_float(want)) << x << "," << y << " channel " << k;
        });
        // And with a real window, against the oracle.
        TestBuffer w5 = flat_weights(5, 0.5f);
        filter_checked(v, in, w5, 5.0, 0.2, pad, 37, 5);
    }
}

// Every input channel enters the distance, also one that is never written.
TEST(ColorChannels, EveryInputChannelEntersTheDistance) {
    const Variant v = rgb(Sample::f32, Padding::replicate);
    TestBuffer w = flat_weights(3, 1.0f);
    TestBuffer with_fourth = planar(Sample::f32, 40, 8, 0, 4), flat_fourth = planar(Sample::f32, 40, 8, 0, 4);
    with_fourth.for_each([&](int32_t x, int32_t y, int32_t c) {
        with_fourth.set_f(x, y, c, c < 3 ? 0.02f * x : float(x % 2));
        flat_fourth.set_f(x, y, c, c < 3 ? 0.02f * x : 0.0f);
    });
    TestBuffer a = filter_checked(v, with_fourth, w, 3.0, 0.3, 0.0, 40, 8);
    TestBuffer b = filter_checked(v, flat_fourth, w, 3.0, 0.3, 0.0, 40, 8);
    EXPECT_FALSE(a.bytes() == b.bytes()) << "the fourth channel must change the range weights";

    // Flat channels add nothing to a distance: a neighbour that differs in one
    // channel only is weighted exactly as if the others were absent.
    TestBuffer three = planar(Sample::f32, 40, 8, 0, 3), one = planar(Sample::f32, 40, 8, 0, 1);
    std::mt19937 rng(6);
    one.fill_random(rng, SampleFill{0.0, 1.0});
    three.for_each([&](int32_t x, int32_t y, int32_t c) { three.set_f(x, y, c, c == 0 ? one.f(x, y) : 0.25f); });
    TestBuffer from_three = filter_checked(v, three, w, 3.0, 0.2, 0.0, 40, 8);
    TestBuffer from_one = filter_checked(v, one, w, 3.0, 0.2, 0.0, 40, 8);
    from_one.for_each([&](int32_t x, int32_t y, int32_t c) {
        if (c == 0) {
            ASSERT_EQ(bits_from_float(from_three.f(x, y, 0)), bits_from_float(from_one.f(x, y, 0))) << x << "," << y;
        }
    });
}

// A flat colour: every distance is 0 and every range weight 1, so a channel is
// (sum of rounded v*W) / (sum of W), both in window order.
TEST(ColorFilter, FlatColourAndSingleTap) {
    const float colour[3] = {0.2f, 0.55f, 0.9f};
    TestBuffer in = planar(Sample::f32, 140, 40, 0, 3);
    in.for_each([&](int32_t x, int32_t y, int32_t c) { in.set_f(x, y, c, colour[c]); });
    TestBuffer w(Sample::f32, {{0, 5, 1}, {0, 5, 5}});
    w.for_each([&](int32_t i, int32_t j, int32_t) {
        w.set_f(i, j, static_cast<float>(std::exp(-((i - 2) * (i - 2) + (j - 2) * (j - 2)) / 2.0) / 6.0));
    });
    for (Padding padding : {Padding::replicate, Padding::symmetric}) {
        TestBuffer out = filter_checked(rgb(Sample::f32, padding), in, w, 5.0, 0.1, 0.0, 140, 40);
        for (int k = 0; k < 3; ++k) {
            float num = 0.0f, sum = 0.0f;
            for (int j = 0; j < 5; ++j) {
                for (int i = 0; i < 5; ++i) {
                    const float product = colour[k] * w.f(i, j);
                    num = product + num;
                    sum = w.f(i, j) + sum;
                }
            }
            const float want = num / sum;
            out.for_each([&](int32_t x, int32_t y, int32_t c) {
                if (c == k) {
                    ASSERT_EQ(bits_from_float(out.f(x, y, c)), bits_from_float(want)) << x << "," << y;
                }
            });
        }
    }
    // One tap of weight 0.3: (S * 0.3) / 0.3, rounded twice.
    std::mt19937 rng(5);
    in.fill_random(rng, SampleFill{0.0, 1.0});
    TestBuffer w1 = flat_weights(1, 0.3f);
    TestBuffer out = filter_checked(rgb(Sample::f32, Padding::constant), in, w1, 1.0, 0.1, 0.0, 140, 40);
    out.for_each([&](int32_t x, int32_t y, int32_t c) {
        const float want = (in.f(x, y, c) * 0.3f) / 0.3f;
        ASSERT_EQ(bits_from_float(out.f(x, y, c)), bits_from_float(want)) << x << "," << y << "," << c;
    });
}

// A range term beyond float32 leaves only the spatial weights: the result is
// the normalised spatial filter, the same for any content scale.
TEST(ColorFilter, InfiniteRangeTermIsTheSpatialFilter) {
    std::mt19937 rng(9);
    TestBuffer in = planar(Sample::f32, 70, 35, 0, 3);
    in.fill_random(rng, SampleFill{0.0, 1.0});
    TestBuffer w(Sample::f32, {{0, 3, 1}, {0, 3, 3}});
    w.fill_random(rng, SampleFill{0.1, 1.0});
    TestBuffer out = filter_checked(rgb(Sample::f32, Padding::symmetric), in, w, 3.0, 1e30, 0.0, 70, 35);
    // Spatial filter computed directly: e = 1 for every tap.
    const int32_t x = 30, y = 17;
    for (int k = 0; k < 3; ++k) {
        float num = 0.0f, sum = 0.0f;
        for (int j = 0; j < 3; ++j) {
            for (int i = 0; i < 3; ++i) {
                num = in.f(x - 1 + i, y - 1 + j, k) * w.f(i, j) + num;
                sum = w.f(i, j) + sum;
            }
        }
        EXPECT_EQ(bits_from_float(out.f(x, y, k)), bits_from_float(num / sum)) << "channel " << k;
    }
}

TEST(ColorFilter, EightBitIsTheFloatResultTruncated) {
    std::mt19937 rng(18);
    for (Padding padding : {Padding::replicate, Padding::symmetric, Padding::constant}) {
        for (int round = 0; round < 4; ++round) {
            const int32_t W = 30 + 131 * round, H = 3 + 17 * round, channels = 1 + round;
            TestBuffer bytes = planar(Sample::u8, W, H, 0, channels);
            TestBuffer floats = planar(Sample::f32, W, H, 0, channels);
            bytes.fill_random(rng, SampleFill{0.0, 255.0, round % 2 ? 5 : 0});
            bytes.for_each([&](int32_t x, int32_t y, int32_t c) { floats.set_f(x, y, c, bytes.u(x, y, c)); });
            TestBuffer w(Sample::f32, {{0, 6, 1}, {0, 6, 6}});
            w.fill_random(rng, SampleFill{-0.1, 1.0});
            const double pad = 250 - 60 * round, window = 2.5 + round, sigma = 8.0 + 12 * round;
            TestBuffer out8 = planar(Sample::u8, W, H, 0, 3), out32 = planar(Sample::f32, W, H, 0, 3);
            call_library(rgb(Sample::u8, padding), bytes.raw(), w.raw(), window, sigma, pad, out8.raw());
            call_library(rgb(Sample::f32, padding), floats.raw(), w.raw(), window, sigma, pad, out32.raw());
            out8.for_each([&](int32_t x, int32_t y, int32_t c) {
                ASSERT_EQ(out8.u(x, y, c), bilateral::quotient_to_u8(out32.f(x, y, c)))
                    << variant_name(rgb(Sample::u8, padding)) << " at " << x << "," << y << "," << c;
            });
        }
    }
}

}  // namespace
}  // namespace bilateral_test
