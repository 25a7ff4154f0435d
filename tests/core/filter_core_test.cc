// The shared arithmetic: the range-weight exponential, the boundary rules and
// the 8-bit output conversion, against worked values and the oracle.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "core/boundary.h"
#include "core/range_exp.h"
#include "reference/reference.h"
#include "uint8/convert.h"

namespace bilateral_test {
namespace {

using bilateral::bits_from_float;
using bilateral::float_from_bits;

TEST(RangeExp, WorkedValues) {
    const float inf = std::numeric_limits<float>::infinity();
    struct {
        float t;
        uint32_t bits;
    } cases[] = {{0.0f, 0x3F800000},  {-0.0f, 0x3F800000},  {-0.5f, 0x3F1B4598},
                 {-1.0f, 0x3EBC5AB2}, {-2.0f, 0x3E0A9555},  {-10.0f, 0x383E6BCE},
                 {-0.1f, 0x3F67A36C}, {-87.3365478515625f, 0x007FFFE8},  // subnormal, kept
                 {-88.5f, 0x00000000}, {-inf, 0x00000000},  {100.0f, 0x7F800000}};
    for (const auto &c : cases) {
        EXPECT_EQ(bits_from_float(bilateral::range_exp_scalar(c.t)), c.bits) << "t = " << c.t;
    }
    EXPECT_TRUE(std::isnan(bilateral::range_exp_scalar(std::numeric_limits<float>::quiet_NaN())));
}

// Every float32 pattern of interest, as the kernels meet them: t = -(d*d)/R is
// never positive, but the rule holds for any t.
TEST(RangeExp, MatchesTheOracleOverASweep) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> wide(-100.0f, 100.0f), narrow(-1.0f, 0.0f);
    std::uniform_int_distribution<uint32_t> any_bits;
    for (int n = 0; n < 400000; ++n) {
        float t;
        switch (n % 4) {
            case 0: t = wide(rng); break;
            case 1: t = narrow(rng); break;
            case 2: t = float_from_bits(any_bits(rng)); break;
            default: t = -float_from_bits(0x42AE0000u + static_cast<uint32_t>(n % 0x20000));  // near the cut-off
        }
        const float got = bilateral::range_exp_scalar(t), want = ref_range_exp(t);
        if (std::isnan(want)) {
            ASSERT_TRUE(std::isnan(got)) << "t bits " << std::hex << bits_from_float(t);
        } else {
            ASSERT_EQ(bits_from_float(got), bits_from_float(want)) << "t bits " << std::hex << bits_from_float(t);
        }
    }
}

TEST(BoundaryRules, MirrorRepeatsTheEdgeWithPeriodTwiceTheExtent) {
    // e = 3, coordinates -7 ... 8 relative to m.
    const int32_t expected[] = {0, 0, 1, 2, 2, 1, 0, 0, 1, 2, 2, 1, 0, 0, 1, 2};
    for (int32_t m : {0, 5, -40}) {
        for (int32_t v = -7; v <= 8; ++v) {
            EXPECT_EQ(bilateral::mirror_index(m + v, m, 3), m + expected[v + 7]) << "m " << m << " v " << v;
        }
    }
    for (int32_t v : {-1000, -1, 0, 1, 999}) EXPECT_EQ(bilateral::mirror_index(v, 0, 1), 0);
    EXPECT_EQ(bilateral::mirror_index(-1000003, 0, 1000), ref_mirror_index(-1000003, 0, 1000));
    std::mt19937 rng(3);
    std::uniform_int_distribution<int32_t> coord(-5000, 5000), extent(1, 300);
    for (int n = 0; n < 20000; ++n) {
        const int32_t v = coord(rng), m = coord(rng), e = extent(rng);
        ASSERT_EQ(bilateral::mirror_index(v, m, e), ref_mirror_index(v, m, e)) << v << " " << m << " " << e;
        ASSERT_EQ(bilateral::clamp_index(v, m, m + e), ref_clamp_index(v, m, m + e)) << v << " " << m << " " << e;
    }
}

TEST(BoundaryRules, ReplicateClampsHoweverFarAway) {
    EXPECT_EQ(bilateral::clamp_index(-1000, 0, 10), 0);
    EXPECT_EQ(bilateral::clamp_index(5 - 1000, 5, 15), 5);
    EXPECT_EQ(bilateral::clamp_index(1 << 30, 5, 15), 14);
    EXPECT_EQ(bilateral::clamp_index(7, 7, 8), 7);
}

TEST(Uint8Conversion, QuotientTruncatesAndSaturates) {
    const float inf = std::numeric_limits<float>::infinity();
    struct {
        float q;
        uint8_t out;
    } cases[] = {{std::numeric_limits<float>::quiet_NaN(), 0},
                 {-5.7f, 0},
                 {-0.0f, 0},
                 {0.99999994f, 0},
                 {1.0f, 1},
                 {1.9999999f, 1},
                 {119.743f, 119},
                 {254.99998f, 254},
                 {255.0f, 255},
                 {282.05f, 255},
                 {398.6f, 255},
                 {-168.6f, 0},
                 {40000.0f, 255},
                 {-40000.0f, 0},
                 {inf, 255},
                 {-inf, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(bilateral::quotient_to_u8(c.q), c.out) << "q = " << c.q;
        EXPECT_EQ(ref_quotient_to_u8(c.q), c.out) << "oracle, q = " << c.q;
    }
}

}  // namespace
}  // namespace bilateral_test
