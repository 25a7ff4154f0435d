// Catches int32 overflow of element offsets or coordinates, and reads outside the input, at geometry's
// limits: coordinates near +-2^30, inputs ending at INT32_MAX or starting at INT32_MIN (channels too),
// element offsets past 2^31, flipped rows, windows far larger than the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>

#include "support/harness.h"

namespace bilateral_test {
namespace {

constexpr int32_t k2to29 = int32_t{1} << 29, k2to30 = int32_t{1} << 30, kFar = k2to30 + 77, kPlane = k2to29 + 5;
constexpr int32_t kMax = INT32_MAX, kMin = INT32_MIN;

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
    // The input's last column, row and channel at INT32_MAX (its ends are 2^31); the window reaches past
    // them and left of the input. Outputs end below INT32_MAX, as the test buffers' own loops need.
    {"input ending at INT32_MAX",
     {{{kMax - 39, 40, 1}, {kMax - 9, 10, 40}}, {{kMax - 45, 45, 1}, {kMax - 14, 14, 45}}},
     {{{kMax - 39, 40, 1}, {kMax - 9, 10, 40}, {kMax - 2, 3, 400}}, {{kMax - 45, 45, 1}, {kMax - 14, 14, 45}}},
     7.0},
    // The input and output at INT32_MIN: an even window reaches three positions below it.
    {"input starting at INT32_MIN",
     {{{kMin, 40, 1}, {kMin, 10, 40}}, {{kMin, 45, 1}, {kMin, 14, 45}}},
     {{{kMin, 40, 1}, {kMin, 10, 40}, {kMin, 3, 400}}, {{kMin, 45, 1}, {kMin, 14, 45}}},
     6.0},
    {"3 x 2 input, window 101",
     {{{5, 3, 1}, {-1, 2, 3}}, {{-4, 20, 1}, {-6, 13, 20}}},
     {{{5, 3, 1}, {-1, 2, 3}, {0, 3, 6}}, {{-4, 20, 1}, {-6, 13, 20}}},
     101.0},
};

// Sets the input's elements within a window's reach (n) of the output's x and y ranges, every channel,
// to draw(), looping over 64-bit positions: Buffer's own loops cannot reach an end at INT32_MAX.
void fill_near(const halide_buffer_t &in, const Dims &out, int32_t n, const std::function<double()> &draw) {
    int64_t lo[3] = {0, 0, 0}, end[3] = {1, 1, 1};
    for (int d = 0; d < in.dimensions; ++d) {
        lo[d] = in.dim[d].min, end[d] = lo[d] + in.dim[d].extent;
        if (d < 2) lo[d] = std::max(lo[d], int64_t{out[d].min} - n), end[d] = std::min(end[d], int64_t{out[d].min} + out[d].extent + n);
    }
    const auto stride = [&](int d) { return d < in.dimensions ? int64_t{in.dim[d].stride} : 0; };
    for (int64_t c = lo[2]; c < end[2]; ++c) {
        for (int64_t y = lo[1]; y < end[1]; ++y) {
            for (int64_t x = lo[0]; x < end[0]; ++x) {
                const int64_t at = (x - in.dim[0].min) * stride(0) + (y - in.dim[1].min) * stride(1) +
                                   (in.dimensions > 2 ? (c - in.dim[2].min) * stride(2) : 0);
                const double v = draw();
                if (in.type.bits == 32) reinterpret_cast<float *>(in.host)[at] = static_cast<float>(v);
                if (in.type.bits == 16) reinterpret_cast<uint16_t *>(in.host)[at] = static_cast<uint16_t>(v);
                if (in.type.bits == 8) in.host[at] = static_cast<uint8_t>(v);
            }
        }
    }
}

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
            SeededChoices c(11);
            fill_near(*t.in->view.raw_buffer(), out, n, [&] { return u8 ? c.below(256) : c.unit(); });
            fill(t.w->view, [&] { return 0.1 + 0.9 * c.unit(); });
            EXPECT_TRUE(matches_oracle(t)) << e.what;
        }
    }
}

}  // namespace
}  // namespace bilateral_test
