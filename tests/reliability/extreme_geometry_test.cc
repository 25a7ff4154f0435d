// Catches int32 overflow of element offsets or coordinates, and reads outside the input, at geometry's
// limits: coordinates near +-2^30, element offsets past 2^31, flipped rows, windows far larger than the image.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/harness.h"

namespace bilateral_test {
namespace {

constexpr int32_t k2to29 = int32_t{1} << 29, k2to30 = int32_t{1} << 30, kFar = k2to30 + 77, kPlane = k2to29 + 5;

struct Shape { Dims in, out; };  // output: x and y; RGB outputs get channel planes
struct Extreme { const char *what; Shape gray, rgb; double window; };

// Inputs too large to hold are reserved without backing (MAP_NORESERVE): only what the test fills or
// the filter reads takes memory, and the mapping ends where the view does.
const Extreme kExtremes[] = {
    // Rows 2^30 + 77 elements apart (gray) or channels one after another in descending addresses
    // (RGB): row 2 lies past 2^31 elements. The output covers the far end of the rows and reaches past
    // the last column and past the first and last rows.
    {"far end of rows past 2^31 elements",
     {{{0, k2to30 - 1, 1}, {0, 3, kFar}}, {{k2to30 - 40, 60, 1}, {-3, 8, 60}}},
     {{{0, k2to29, 1}, {0, 3, 3 * kPlane + 7}, {0, 3, -kPlane}}, {{k2to29 - 40, 60, 1}, {-3, 8, 60}}},
     7.0},
    {"mins near +-2^30, rows flipped, an even window",
     {{{-k2to30, 300, 1}, {k2to30 - 5, 5, -kFar}}, {{-k2to30, 70, 1}, {k2to30 - 9, 12, 70}}},
     {{{-k2to30, 300, 1}, {k2to30 - 5, 5, -kFar}, {0, 3, 301}}, {{-k2to30, 70, 1}, {k2to30 - 9, 12, 70}}},
     6.0},
    {"3 x 2 input, window 101",
     {{{5, 3, 1}, {-1, 2, 3}}, {{-4, 20, 1}, {-6, 13, 20}}},
     {{{5, 3, 1}, {-1, 2, 3}, {0, 3, 6}}, {{-4, 20, 1}, {-6, 13, 20}}},
     101.0},
};

TEST(ExtremeGeometry, EveryVariantMatchesTheOracle) {
    for (const Extreme &e : kExtremes) {
        for (Variant v : all_variants()) {
            const bool rgb = v.layout == Layout::rgb, u8 = v.sample != Sample::f32;  // integer samples
            const int32_t n = static_cast<int32_t>(e.window);
            Dims out = (rgb ? e.rgb : e.gray).out;
            if (rgb) out.push_back({0, 3, out[0].extent * out[1].extent});
            Trial t = make_trial(v, e.window, u8 ? 40 : 0.2, u8 ? 9 : 0.5, (rgb ? e.rgb : e.gray).in, {{0, n, 1}, {0, n, n}},
                                 out, Guard::after);
            // Samples within a window's reach of the output; the rest of the input reads as 0.
            Buffer near = t.in->view;
            for (int d = 0; d < 2; ++d) {
                const int32_t lo = std::max(near.dim(d).min(), out[d].min - n);
                near.crop(d, lo, std::min(near.dim(d).max(), out[d].min + out[d].extent + n) - lo + 1);
            }
            SeededChoices c(11);
            fill(near, [&] { return u8 ? c.below(256) : c.unit(); });
            fill(t.w->view, [&] { return 0.1 + 0.9 * c.unit(); });
            EXPECT_TRUE(matches_oracle(t)) << e.what;
        }
    }
}

}  // namespace
}  // namespace bilateral_test
