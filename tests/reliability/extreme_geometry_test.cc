// Geometry at the limits: coordinates near +-2^30, rows and channel planes so
// far apart that element offsets pass 2^31 (views into sparse mappings), both
// stride signs, and windows far larger than the image. Every variant must
// match the oracle and write nothing outside its output region.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "reference/reference.h"
#include "support/buffers.h"

namespace bilateral_test {
namespace {

constexpr int32_t k2to30 = int32_t{1} << 30;
constexpr int32_t kBigStride = (int32_t{1} << 30) + 77;  // in elements

// An input view into an anonymous mapping reserved without backing memory:
// only the pages the test fills or the filter reads ever take memory. The
// mapping is sized to the view's span, so any read outside it faults.
class SparseInput {
public:
    SparseInput(Sample type, std::vector<Dim> dims) : type_(type) {
        const int64_t elem = type == Sample::f32 ? 4 : 1;
        int64_t lo = 0, hi = 0;
        for (const Dim &d : dims) {
            dims_.emplace_back(d.min, d.extent, d.stride);
            const int64_t reach = int64_t{d.extent - 1} * d.stride;
            lo += std::min<int64_t>(reach, 0);
            hi += std::max<int64_t>(reach, 0);
        }
        bytes_ = static_cast<size_t>((hi - lo + 1) * elem);
        map_ = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (map_ == MAP_FAILED) return;
        buf_.host = static_cast<uint8_t *>(map_) - lo * elem;
        buf_.type = type == Sample::f32 ? halide_type_t(halide_type_float, 32) : halide_type_t(halide_type_uint, 8);
        buf_.dimensions = static_cast<int32_t>(dims_.size());
        buf_.dim = dims_.data();
    }
    ~SparseInput() {
        if (map_ != MAP_FAILED) munmap(map_, bytes_);
    }
    bool mapped() const { return map_ != MAP_FAILED; }
    halide_buffer_t *raw() { return &buf_; }

    // Random samples at every element of the region that lies within `reach`
    // of the output rectangle; the rest reads as zero.
    void fill_near(std::mt19937 &rng, const std::vector<Dim> &out, int32_t reach) {
        const int64_t x0 = std::max<int64_t>(dims_[0].min, int64_t{out[0].min} - reach);
        const int64_t x1 = std::min<int64_t>(int64_t{dims_[0].min} + dims_[0].extent, int64_t{out[0].min} + out[0].extent + reach);
        const int64_t y0 = std::max<int64_t>(dims_[1].min, int64_t{out[1].min} - reach);
        const int64_t y1 = std::min<int64_t>(int64_t{dims_[1].min} + dims_[1].extent, int64_t{out[1].min} + out[1].extent + reach);
        const int32_t channels = dims_.size() == 3 ? dims_[2].extent : 1;
        for (int32_t c = 0; c < channels; ++c) {
            for (int64_t y = y0; y < y1; ++y) {
                for (int64_t x = x0; x < x1; ++x) {
                    int64_t e = (x - dims_[0].min) + (y - dims_[1].min) * dims_[1].stride;
                    if (dims_.size() == 3) e += int64_t{c} * dims_[2].stride;
                    if (type_ == Sample::f32) {
                        const float v = static_cast<float>(rng() % 1000) / 1000.0f;
                        std::memcpy(static_cast<uint8_t *>(buf_.host) + 4 * e, &v, 4);
                    } else {
                        static_cast<uint8_t *>(buf_.host)[e] = static_cast<uint8_t>(rng());
                    }
                }
            }
        }
    }

private:
    Sample type_;
    std::vector<halide_dimension_t> dims_;
    halide_buffer_t buf_{};
    void *map_ = MAP_FAILED;
    size_t bytes_ = 0;
};

// One shape of input and output; RGB buffers carry their channel dimension.
struct Geometry {
    std::vector<Dim> in, out;  // x and y (and channels); output x and y only
};

void check_every_variant(const char *what, const Geometry &gray, const Geometry &rgb, double window) {
    for (Variant v : all_variants()) {
        SCOPED_TRACE(std::string(what) + ", " + variant_name(v));
        const Geometry &g = v.layout == Layout::rgb ? rgb : gray;
        std::vector<Dim> out_dims = g.out;
        if (v.layout == Layout::rgb) out_dims.push_back({0, 3, out_dims[0].extent * out_dims[1].extent});
        SparseInput in(v.sample, g.in);
        if (!in.mapped()) GTEST_SKIP() << "this machine cannot reserve the address space";
        std::mt19937 rng(11);
        const int32_t n = static_cast<int32_t>(window);
        in.fill_near(rng, g.out, n);
        TestBuffer w(Sample::f32, {{0, n, 1}, {0, n, n}});
        w.fill_random(rng, SampleFill{0.1, 1.0});
        TestBuffer out(v.sample, out_dims), expected(v.sample, out_dims);
        const double sigma = v.sample == Sample::u8 ? 40.0 : 0.2, pad = v.sample == Sample::u8 ? 9.0 : 0.5;

        EXPECT_EQ(call_library(v, in.raw(), w.raw(), window, sigma, pad, out.raw()), 0);
        ref_filter(v, in.raw(), w.raw(), window, sigma, pad, expected.raw());
        EXPECT_TRUE(same_samples(expected, out));
        EXPECT_TRUE(out.untouched_outside_region()) << out.outside_changes();
    }
}

// Gray rows of 2^30 - 1 samples, 2^30 + 77 elements apart; RGB rows of 2^29
// samples per channel, channels one after another in descending addresses.
// Row 2 lies beyond 2^31 elements. The output covers the far end of the rows
// and reaches past the last column and past the first and last rows.
TEST(ExtremeGeometry, FarEndOfRowsBeyondTwoToThe31Elements) {
    const int32_t plane = (int32_t{1} << 29) + 5, rgb_row = 3 * plane + 7;
    check_every_variant("far end of long rows",
                        {{{0, k2to30 - 1, 1}, {0, 3, kBigStride}}, {{k2to30 - 40, 60, 1}, {-3, 8, 60}}},
                        {{{0, int32_t{1} << 29, 1}, {0, 3, rgb_row}, {0, 3, -plane}},
                         {{(int32_t{1} << 29) - 40, 60, 1}, {-3, 8, 60}}},
                        7.0);
}

// Mins at -2^30 and just below 2^30, rows flipped (negative stride): the
// first row has the highest address.
TEST(ExtremeGeometry, MinsNearTwoToThe30WithFlippedRows) {
    const Dim x{-k2to30, 300, 1}, y{k2to30 - 5, 5, -kBigStride};
    const std::vector<Dim> out = {{-k2to30, 70, 1}, {k2to30 - 9, 12, 70}};
    check_every_variant("mins near +-2^30, flipped rows", {{x, y}, out}, {{x, y, {0, 3, 301}}, out}, 6.0);
}

// A window many times the image: every tap but a few reads through the rule.
TEST(ExtremeGeometry, WindowMuchLargerThanTheImage) {
    const Dim x{5, 3, 1}, y{-1, 2, 3};
    const std::vector<Dim> out = {{-4, 20, 1}, {-6, 13, 20}};
    check_every_variant("3x2 input, window 101", {{x, y}, out}, {{x, y, {0, 3, 6}}, out}, 101.0);
}

}  // namespace
}  // namespace bilateral_test
