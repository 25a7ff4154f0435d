// Bounds queries answered by every entry point: regions, types, dense strides,
// and the rule that a query filters nothing and leaves other buffers alone.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "reference/reference.h"
#include "support/buffers.h"
#include "support/runtime_hooks.h"

namespace bilateral_test {
namespace {

// A descriptor with a dim array of three, host either NULL (a query) or a
// small sentinel-filled block that must never change.
struct Descriptor {
    halide_buffer_t buf{};
    std::array<halide_dimension_t, 3> dims{};
    std::vector<uint8_t> storage;

    Descriptor(int dimensions, std::array<int32_t, 3> mins, std::array<int32_t, 3> extents, bool query) {
        buf.dimensions = dimensions;
        buf.dim = dims.data();
        int32_t stride = 1;
        for (int d = 0; d < dimensions; ++d) {
            dims[d] = halide_dimension_t{mins[d], extents[d], stride, 0};
            stride *= extents[d];
        }
        if (!query) {
            storage.assign(static_cast<size_t>(stride) * 4, 0xA5);
            buf.host = storage.data();
        }
        buf.type = halide_type_t(halide_type_float, 32);
    }
    bool untouched_storage() const {
        for (uint8_t b : storage) {
            if (b != 0xA5) return false;
        }
        return true;
    }
};

struct Region {
    int32_t min, extent;
};

void expect_answer(const Descriptor &d, halide_type_t type, std::vector<Region> regions, const char *what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(d.buf.host, nullptr);
    EXPECT_EQ(d.buf.device, 0u);
    EXPECT_EQ(d.buf.device_interface, nullptr);
    EXPECT_EQ(d.buf.flags, 0u);
    EXPECT_EQ(d.buf.dim, d.dims.data());  // the caller's dim array is filled in place
    EXPECT_TRUE(d.buf.type == type);
    ASSERT_EQ(d.buf.dimensions, static_cast<int>(regions.size()));
    int32_t stride = 1;
    for (size_t i = 0; i < regions.size(); ++i) {
        EXPECT_EQ(d.dims[i].min, regions[i].min) << "dim " << i;
        EXPECT_EQ(d.dims[i].extent, regions[i].extent) << "dim " << i;
        EXPECT_EQ(d.dims[i].stride, stride) << "dim " << i;
        EXPECT_EQ(d.dims[i].flags, 0u) << "dim " << i;
        stride *= regions[i].extent;
    }
}

halide_type_t sample_type(Variant v) {
    return v.sample == Sample::f32 ? halide_type_t(halide_type_float, 32) : halide_type_t(halide_type_uint, 8);
}

int dims_of(Variant v) { return v.layout == Layout::rgb ? 3 : 2; }

// Queries only the input of a call with output region (X0, Y0, W, H) and an
// input of [ix0, ix0 + iw) x [iy0, iy0 + ih) x [c0, c0 + cn); returns the answer.
Descriptor query_input(Variant v, int32_t X0, int32_t Y0, int32_t W, int32_t H, double window,
                       std::array<int32_t, 3> in_mins, std::array<int32_t, 3> in_extents) {
    Descriptor in(dims_of(v), in_mins, in_extents, /*query=*/true);
    Descriptor w(2, {0, 0, 0}, {16, 16, 1}, false);
    Descriptor out(dims_of(v), {X0, Y0, 0}, {W, H, 3}, false);
    EXPECT_EQ(call_library(v, &in.buf, &w.buf, window, 0.1, 0.0, &out.buf), 0);
    EXPECT_TRUE(out.untouched_storage()) << "a query must not filter";
    EXPECT_TRUE(w.untouched_storage());
    EXPECT_EQ(out.dims[0].min, X0) << "non-query descriptors stay as they were";
    return in;
}

TEST(BoundsQuery, InputRegionOfTheWorkedExample) {
    for (Variant v : all_variants()) {
        SCOPED_TRACE(variant_name(v));
        const bool rgb = v.layout == Layout::rgb;
        // Output inside the input: every rule asks for exactly the windows' reach.
        Descriptor inside = query_input(v, 100, 100, 100, 80, 9.0, {0, 0, 0}, {1000, 800, 3});
        std::vector<Region> want = {{96, rgb ? 520 : 108}, {96, 88}};
        if (rgb) want.push_back({0, 3});
        expect_answer(inside, sample_type(v), want, "output inside the input");

        // Output at the input's corner: windows reach left of and above it.
        Descriptor corner = query_input(v, 0, 0, 100, 80, 9.0, {0, 0, 0}, {1000, 800, 3});
        if (v.padding == Padding::symmetric) {
            want = {{0, 1000}, {0, 800}};
        } else {
            want = {{0, rgb ? 516 : 104}, {0, 84}};
        }
        if (rgb) want.push_back({0, 3});
        expect_answer(corner, sample_type(v), want, "output at the corner");
    }
}

TEST(BoundsQuery, InputRegionEdgeCases) {
    for (Variant v : all_variants()) {
        SCOPED_TRACE(variant_name(v));
        const bool rgb = v.layout == Layout::rgb;
        // No rounding to whole row groups or tiles in y.
        Descriptor tall = query_input(v, 10, 10, 40, 81, 9.0, {0, 0, 0}, {1000, 800, 3});
        EXPECT_EQ(tall.dims[1].extent, 81 + 9 - 1);
        EXPECT_EQ(tall.dims[0].extent, rgb ? 512 + 8 : 40 + 8);

        if (rgb) {
            // A narrow colour output reads 487 + N columns plus (W - 1) rounded down to 8.
            Descriptor narrow = query_input(v, 100, 10, 20, 5, 9.0, {96, 0, 0}, {1000, 800, 3});
            EXPECT_EQ(narrow.dims[0].min, 96);
            EXPECT_EQ(narrow.dims[0].extent, 16 + 487 + 9);
            Descriptor one = query_input(v, 100, 10, 1, 5, 9.0, {96, 0, 0}, {1000, 800, 3});
            EXPECT_EQ(one.dims[0].extent, 487 + 9);
            // The channel answer keeps the min and asks for at least one channel.
            Descriptor no_channels = query_input(v, 100, 10, 20, 5, 9.0, {0, 0, 1}, {1000, 800, 0});
            EXPECT_EQ(no_channels.dims[2].min, 1);
            EXPECT_EQ(no_channels.dims[2].extent, 1);
            Descriptor four = query_input(v, 100, 10, 20, 5, 9.0, {0, 0, 0}, {1000, 800, 4});
            EXPECT_EQ(four.dims[2].extent, 4);
        }

        // An input entirely right of what the windows need.
        Descriptor right = query_input(v, 0, 0, 50, 10, 5.0, {2000, 0, 0}, {100, 800, 3});
        if (v.padding == Padding::symmetric) {
            EXPECT_EQ(right.dims[0].min, 2000);
            EXPECT_EQ(right.dims[0].extent, 100);
        } else {
            EXPECT_EQ(right.dims[0].min, 2000);  // clamped to its first column only
            EXPECT_EQ(right.dims[0].extent, 1);
        }
        // An input entirely left: clamped to its last column.
        Descriptor left = query_input(v, 5000, 0, 50, 10, 5.0, {0, 0, 0}, {100, 800, 3});
        if (v.padding != Padding::symmetric) {
            EXPECT_EQ(left.dims[0].min, 99);
            EXPECT_EQ(left.dims[0].extent, 1);
        }
    }
}

TEST(BoundsQuery, WeightsAndOutputAnswers) {
    for (Variant v : all_variants()) {
        SCOPED_TRACE(variant_name(v));
        const bool rgb = v.layout == Layout::rgb;
        {
            // Only the weights are queried: nothing else changes.
            Descriptor in(dims_of(v), {0, 0, 0}, {64, 48, 3}, false);
            Descriptor w(2, {5, 5, 0}, {2, 2, 1}, true);
            Descriptor out(dims_of(v), {0, 0, 0}, {64, 48, 3}, false);
            const auto in_dims = in.dims;
            EXPECT_EQ(call_library(v, &in.buf, &w.buf, 9.0, 0.1, 0.0, &out.buf), 0);
            expect_answer(w, halide_type_t(halide_type_float, 32), {{0, 9}, {0, 9}}, "weights");
            EXPECT_TRUE(out.untouched_storage());
            EXPECT_TRUE(in.untouched_storage());
            EXPECT_EQ(std::memcmp(in_dims.data(), in.dims.data(), sizeof in_dims), 0);
        }
        {
            // All three at once; each answer comes from the values passed in.
            Descriptor in(dims_of(v), {-7, 3, 0}, {1000, 400, 3}, true);
            Descriptor w(2, {0, 0, 0}, {0, 0, 0}, true);
            Descriptor out(dims_of(v), {10, 20, 1}, {30, 40, 1}, true);
            EXPECT_EQ(call_library(v, &in.buf, &w.buf, 5.0, 0.1, 0.0, &out.buf), 0);
            std::vector<Region> want_out = {{10, 30}, {20, 40}};
            std::vector<Region> want_in = {{8, rgb ? 512 + 4 : 34}, {18, 44}};
            if (rgb) {
                want_out.push_back({0, 3});
                want_in.push_back({0, 3});
            }
            expect_answer(out, sample_type(v), want_out, "output");
            expect_answer(in, sample_type(v), want_in, "input");
            expect_answer(w, halide_type_t(halide_type_float, 32), {{0, 5}, {0, 5}}, "weights");
        }
    }
}

TEST(BoundsQuery, NoTaskRunsForAQuery) {
    ParForRecorder recorder(/*run_tasks=*/false, 0);
    for (Variant v : all_variants()) {
        Descriptor in(dims_of(v), {0, 0, 0}, {64, 48, 3}, false);
        Descriptor w(2, {0, 0, 0}, {5, 5, 1}, false);
        Descriptor out(dims_of(v), {0, 0, 0}, {64, 48, 3}, true);
        EXPECT_EQ(call_library(v, &in.buf, &w.buf, 5.0, 0.1, 0.0, &out.buf), 0);
    }
    EXPECT_TRUE(recorder.calls().empty());
}

}  // namespace
}  // namespace bilateral_test
