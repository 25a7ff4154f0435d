// The oracle against the filter's worked values, so that every comparison with it means something.
#include "reference/reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "support/buffers.h"

namespace bilateral_test {
namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

uint32_t bits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

TEST(RefRangeExp, WorkedValuesBitForBit) {
    const struct {
        float t;
        uint32_t want;
    } cases[] = {
        {0.0f, 0x3F800000u},  {-0.0f, 0x3F800000u},
        {-0.5f, 0x3F1B4598u}, {-1.0f, 0x3EBC5AB2u},
        {-2.0f, 0x3E0A9555u}, {-10.0f, 0x383E6BCEu},
        {-0.1f, 0x3F67A36Cu}, {-87.3365478515625f, 0x007FFFE8u},  // k = -126, p just below 1: a subnormal result
        {-87.34f, 0u},        {-1e30f, 0u},
        {-kInf, 0u},                                // k <= -127: exactly +0.0
        {89.0f, 0x7F800000u}, {kInf, 0x7F800000u},  // k >= 128: +infinity
    };
    for (const auto &c : cases) {
        EXPECT_EQ(bits(ref_range_exp(c.t)), c.want) << "t = " << c.t;
    }
    EXPECT_TRUE(std::isnan(ref_range_exp(kNaN)));  // k = 0, neither limit applies
}

TEST(RefBoundaryRules, MirrorClampAndFarCoordinates) {
    // e = 3, coordinates -7 ... 8 relative to the min: reflections repeat with period 6.
    const int32_t want[] = {0, 0, 1, 2, 2, 1, 0, 0, 1, 2, 2, 1, 0, 0, 1, 2};
    for (int32_t m : {0, 5, -1000}) {
        for (int32_t v = -7; v <= 8; ++v) {
            EXPECT_EQ(ref_mirror_index(m + v, m, 3), m + want[v + 7]) << "m " << m << ", v " << v;
        }
    }
    EXPECT_EQ(ref_mirror_index(-1000, 0, 3), 2);
    EXPECT_EQ(ref_mirror_index(1 << 29, 7, 1), 7);
    EXPECT_EQ(ref_clamp_index(-1000 + 5, 5, 8), 5);
    EXPECT_EQ(ref_clamp_index(6, 5, 8), 6);
    EXPECT_EQ(ref_clamp_index(1 << 30, 5, 8), 7);
    EXPECT_EQ(ref_clamp_index(3, 5, 6), 5);  // e = 1 reads the single sample from either side
    EXPECT_EQ(ref_clamp_index(9, 5, 6), 5);
}

TEST(RefScalars, DerivedFromTheDoubleArguments) {
    const struct {
        double window;
        int32_t n, off;
    } windows[] = {{9.0, 9, -4},  {7.9, 7, -3},         {4.0, 4, -2},
                   {2.5, 2, -1},  {1.0, 1, 0},          {0.5, 0, 0},
                   {-2.0, -2, 1}, {std::nan(""), 0, 0}, {1e12, 2147483647, -2147483647 - 1}};
    for (const auto &w : windows) {
        const RefScalars s = ref_scalars(w.window, 1.0, 0.0);
        EXPECT_EQ(s.N, w.n) << "window " << w.window;
        EXPECT_EQ(s.off, w.off) << "window " << w.window;
    }
    // R from 2 sigma^2 in double, rounded once; single-precision arithmetic would differ in the last bit.
    EXPECT_EQ(bits(ref_scalars(1, 0.1, 0).R), 0x3CA3D70Au);
    EXPECT_EQ(bits(ref_scalars(1, -0.1, 0).R), 0x3CA3D70Au);
    EXPECT_EQ(bits(ref_scalars(1, 0.7, 0).R), 0x3F7AE148u);
    EXPECT_EQ(bits(ref_scalars(1, 25.5, 0).R), 0x44A29000u);
    EXPECT_EQ(bits(ref_scalars(1, 1e-30, 0).R), 0u);
    EXPECT_EQ(bits(ref_scalars(1, 1e30, 0).R), 0x7F800000u);
    EXPECT_EQ(bits(ref_scalars(1, 1, 0.25).pad_f), 0x3E800000u);
    EXPECT_EQ(bits(ref_scalars(1, 1, 0.1).pad_f), 0x3DCCCCCDu);
    // The 8-bit pad sample keeps the low eight bits of trunc(pad); no clamping.
    const struct {
        double pad;
        int want;
    } pads[] = {{200.7, 200}, {255.9, 255}, {256, 0}, {300, 44}, {-1, 255}, {1e10, 255}, {-1e10, 0}, {std::nan(""), 0}};
    for (const auto &p : pads) EXPECT_EQ(ref_scalars(1, 1, p.pad).pad_u8, p.want) << p.pad;
    EXPECT_EQ(ref_truncate_sat(2147483647.9), 2147483647);
    EXPECT_EQ(ref_truncate_sat(2147483648.0), 2147483647);
    EXPECT_EQ(ref_truncate_sat(-2147483648.9), -2147483647 - 1);
    EXPECT_EQ(ref_truncate_sat(-2147483649.0), -2147483647 - 1);
    EXPECT_EQ(ref_truncate_sat(-0.99), 0);
}

TEST(RefQuotientToU8, TruncatesAndSaturates) {
    const struct {
        float q;
        int want;
    } cases[] = {{kNaN, 0},       {-5.7f, 0},        {-0.0f, 0},    {0.99999994f, 0}, {1.0f, 1},    {1.9999999f, 1},
                 {119.743f, 119}, {254.99998f, 254}, {255.0f, 255}, {282.05f, 255},   {-168.6f, 0}, {398.6f, 255},
                 {40000.0f, 255}, {-40000.0f, 0},    {kInf, 255},   {-kInf, 0}};
    for (const auto &c : cases) EXPECT_EQ(ref_quotient_to_u8(c.q), c.want) << "q = " << c.q;
}

// A one-row image 1, 2, 4, 8 with N = 5, all weights 1 and sigma 2 (R = 8).
TEST(RefFilter, RowOfFourWorkedExample) {
    const struct {
        Padding padding;
        uint32_t want[4];
    } cases[] = {
        {Padding::replicate, {0x3FB87B44u, 0x3FEDA30Eu, 0x405FE6A1u, 0x40F9D10Au}},
        {Padding::symmetric, {0x3FD5B9A7u, 0x3FEDA30Eu, 0x405FE6A1u, 0x40EFE1AEu}},
        {Padding::constant, {0x3E4072B9u, 0x3EB55D88u, 0x3FACA3AEu, 0x40ED8024u}},
    };
    for (const auto &c : cases) {
        TestBuffer in(SampleType::f32, {{0, 4, 1}, {0, 1, 4}});
        TestBuffer w(SampleType::f32, {{0, 5, 1}, {0, 5, 5}});
        TestBuffer out(SampleType::f32, {{0, 4, 1}, {0, 1, 4}});
        const float row[4] = {1, 2, 4, 8};
        for (int x = 0; x < 4; ++x) in.set_f(x, 0, row[x]);
        w.fill(1.0);
        ref_filter({Layout::gray, SampleType::f32, c.padding}, in.raw(), w.raw(), 5, 2, 0, out.raw());
        for (int x = 0; x < 4; ++x) {
            EXPECT_EQ(bits(out.f(x, 0)), c.want[x]) << "column " << x << ", padding " << int(c.padding);
        }
    }
}

// Uniform 8-bit images with the 3 x 3 kernel exp(-(i^2 + j^2) / 1.125): the separately rounded sums
// give a quotient just below the sample for 33, 49 and 66, which truncation turns into one less.
TEST(RefFilter, Uniform8BitImagesTruncateTheQuotient) {
    const struct { int value, want; } cases[] = {{33, 32}, {49, 48}, {66, 65}, {200, 200}};
    TestBuffer w(SampleType::f32, {{0, 3, 1}, {0, 3, 3}});
    for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 3; ++i) {
            w.set_f(i, j, static_cast<float>(std::exp(-((i - 1) * (i - 1) + (j - 1) * (j - 1)) / 1.125)));
        }
    }
    for (const Variant v : all_variants()) {
        if (v.type != SampleType::u8) continue;
        const bool rgb = v.layout == Layout::rgb;
        std::vector<Dim> dims = {{-2, 6, 1}, {3, 5, 6}};
        if (rgb) dims.push_back({0, 3, 30});
        for (const auto &c : cases) {
            TestBuffer in(SampleType::u8, dims), out(SampleType::u8, dims);
            in.fill(c.value);
            ref_filter(v, in.raw(), w.raw(), 3, 10, c.value, out.raw());
            out.for_each([&](int32_t x, int32_t y, int32_t ch) {
                ASSERT_EQ(out.u(x, y, ch), c.want) << variant_name(v) << " value " << c.value;
            });
        }
    }
    TestBuffer in(SampleType::f32, {{0, 3, 1}, {0, 3, 3}}), out(SampleType::f32, {{1, 1, 1}, {1, 1, 1}});
    in.fill(33);
    ref_filter({Layout::gray, SampleType::f32, Padding::replicate}, in.raw(), w.raw(), 3, 10, 0, out.raw());
    EXPECT_EQ(out.f(1, 1), std::nextafter(33.0f, 0.0f));  // 32.999996
    in.fill(200);
    ref_filter({Layout::gray, SampleType::f32, Padding::replicate}, in.raw(), w.raw(), 3, 10, 0, out.raw());
    EXPECT_EQ(out.f(1, 1), std::nextafter(200.0f, kInf));  // 200.00002
}

// Tap (i, j) reads the weight at absolute column i, row j, whatever the weight buffer's mins.
TEST(RefFilter, WeightsAddressedByAbsoluteCoordinates) {
    std::mt19937 rng(7);
    for (const Variant v : {Variant{Layout::gray, SampleType::f32, Padding::symmetric},
                            Variant{Layout::rgb, SampleType::u8, Padding::constant}}) {
        const bool rgb = v.layout == Layout::rgb;
        std::vector<Dim> in_dims = {{-3, 9, 1}, {4, 7, -11}}, out_dims = {{-5, 12, 1}, {2, 9, 12}};
        if (rgb) in_dims.push_back({0, 3, 80}), out_dims.push_back({0, 3, -120});
        TestBuffer in(v.type, in_dims);
        in.fill_random(rng, v.type == SampleType::f32 ? SampleFill{0, 1} : SampleFill{0, 255});
        TestBuffer dense(SampleType::f32, {{0, 5, 1}, {0, 5, 5}});
        TestBuffer offset(SampleType::f32, {{-2, 8, 1}, {-1, 7, -9}});
        offset.fill(kNaN);  // poison every weight outside [0, 5)^2
        dense.fill_random(rng, SampleFill{0, 1});
        dense.for_each([&](int32_t i, int32_t j, int32_t) { offset.set_f(i, j, dense.f(i, j)); });
        TestBuffer want(v.type, out_dims), got(v.type, out_dims);
        ref_filter(v, in.raw(), dense.raw(), 5, rgb ? 30 : 0.3, 17, want.raw());
        ref_filter(v, in.raw(), offset.raw(), 5, rgb ? 30 : 0.3, 17, got.raw());
        EXPECT_TRUE(same_samples(want, got)) << variant_name(v);
    }
}

// With N = 1 and weight 1 each output channel is its source sample, which shows the channel rule:
// an input with channels [1, 3) gives output channels 0, 1, 2 from input channels 1, 1, 2 under
// replicate and symmetric, and the pad value in channel 0 under constant.
TEST(RefFilter, RgbOutputChannelsFollowTheChannelRule) {
    TestBuffer w(SampleType::f32, {{0, 1, 1}, {0, 1, 1}});
    w.fill(1.0);
    const struct {
        int32_t c_min, c_extent;
        Padding padding;
        float want[3];
    } cases[] = {
        {1, 2, Padding::replicate, {10, 10, 20}},   {1, 2, Padding::symmetric, {10, 10, 20}},
        {1, 2, Padding::constant, {0.5f, 10, 20}},  {0, 1, Padding::replicate, {0, 0, 0}},
        {0, 1, Padding::constant, {0, 0.5f, 0.5f}}, {0, 2, Padding::symmetric, {0, 10, 10}},
        {0, 4, Padding::replicate, {0, 10, 20}},
    };
    for (const auto &c : cases) {
        TestBuffer in(SampleType::f32, {{0, 2, 1}, {0, 1, 2}, {c.c_min, c.c_extent, 2}});
        in.for_each([&](int32_t x, int32_t y, int32_t ch) { in.set_f(x, y, ch, 10.0f * ch); });
        TestBuffer out(SampleType::f32, {{0, 2, 1}, {0, 1, 2}, {0, 3, 2}});
        ref_filter({Layout::rgb, SampleType::f32, c.padding}, in.raw(), w.raw(), 1, 0.5, 0.5, out.raw());
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(out.f(1, 0, k), c.want[k])
                << "channels [" << c.c_min << ", +" << c.c_extent << "), padding " << int(c.padding) << ", k " << k;
        }
    }
}

// No taps (N <= 0), a zero range term or all-zero weights: 0/0 everywhere, which 8-bit stores as 0.
TEST(RefFilter, DegenerateArgumentsGiveNaNOrZero) {
    const struct {
        double window, sigma, weight;
    } cases[] = {{0.5, 0.2, 1}, {-2, 0.2, 1}, {3, 0, 1}, {3, 1e-30, 1}, {3, 0.2, 0}};
    for (const Variant v : all_variants()) {
        const bool rgb = v.layout == Layout::rgb;
        std::vector<Dim> dims = {{0, 4, 1}, {0, 3, 4}};
        if (rgb) dims.push_back({0, 3, 12});
        for (const auto &c : cases) {
            TestBuffer in(v.type, dims), out(v.type, dims);
            TestBuffer w(SampleType::f32, {{-1, 5, 1}, {-1, 5, 5}});
            in.fill(0.25);
            w.fill(c.weight);
            ref_filter(v, in.raw(), w.raw(), c.window, c.sigma, 0.25, out.raw());
            out.for_each([&](int32_t x, int32_t y, int32_t ch) {
                if (v.type == SampleType::f32) {
                    ASSERT_TRUE(std::isnan(out.f(x, y, ch))) << variant_name(v) << " window " << c.window;
                } else {
                    ASSERT_EQ(out.u(x, y, ch), 0) << variant_name(v) << " window " << c.window;
                }
            });
        }
    }
}

// Up to the division the 8-bit variants compute the float variants' quotient: converting each float
// output with quotient_to_u8 reproduces the 8-bit output, the pad sample standing in for the pad.
TEST(RefFilter, Uint8PathEqualsFloatPathThroughTheOutputConversion) {
    std::mt19937 rng(11);
    for (const Variant v : all_variants()) {
        if (v.type != SampleType::u8) continue;
        const Variant vf{v.layout, SampleType::f32, v.padding};
        const bool rgb = v.layout == Layout::rgb;
        std::vector<Dim> in_dims = {{2, 6, 1}, {-1, 5, 6}}, out_dims = {{-2, 13, 1}, {-4, 10, 13}};
        if (rgb) in_dims.push_back({1, 2, 30}), out_dims.push_back({0, 3, 130});
        TestBuffer in(SampleType::u8, in_dims), in_f(SampleType::f32, in_dims);
        in.fill_random(rng, SampleFill{0, 255});
        in.for_each([&](int32_t x, int32_t y, int32_t c) { in_f.set_f(x, y, c, in.u(x, y, c)); });
        TestBuffer w(SampleType::f32, {{0, 4, 1}, {0, 4, 4}});
        w.fill_random(rng, SampleFill{-0.2, 1});
        TestBuffer out(SampleType::u8, out_dims), out_f(SampleType::f32, out_dims);
        ref_filter(v, in.raw(), w.raw(), 4, 40, 300, out.raw());  // pad sample 44
        ref_filter(vf, in_f.raw(), w.raw(), 4, 40, 44, out_f.raw());
        out.for_each([&](int32_t x, int32_t y, int32_t c) {
            ASSERT_EQ(out.u(x, y, c), ref_quotient_to_u8(out_f.f(x, y, c)))
                << variant_name(v) << " at (" << x << ", " << y << ", " << c << ")";
        });
    }
}

}  // namespace
}  // namespace bilateral_test
