// What a call hands to the runtime: per-call scalars in the closure record,
// the task count and tile decoding, scratch traffic, and the cases that are
// refused without writing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "core/range_exp.h"
#include "entry/task_grid.h"
#include "reference/reference.h"
#include "support/buffers.h"
#include "support/runtime_hooks.h"

namespace bilateral_test {
namespace {

using bilateral::Closure;
using bilateral::decode_tile;
using bilateral::Run;
using bilateral::Tile;

// Builds real buffers for `v` with an output of W x H at the origin and an
// input of the same shape, calls the entry point once under a recorder that
// does not run tasks, and returns the recorded closure.
template <class T>
Closure<T> record_call(Variant v, int32_t W, int32_t H, double window, double sigma, double pad,
                       ParForRecorder::Call *call = nullptr) {
    ParForRecorder recorder(/*run_tasks=*/false, sizeof(Closure<T>));
    TestBuffer in = dense(v.sample, v.layout, std::max(W, 1), std::max(H, 1));
    TestBuffer out = dense(v.sample, v.layout, W, H);
    TestBuffer w = flat_weights(16, 1.0f);
    EXPECT_EQ(call_library(v, in.raw(), w.raw(), window, sigma, pad, out.raw()), 0);
    EXPECT_EQ(recorder.calls().size(), 1u);
    if (recorder.calls().empty()) return Closure<T>{};
    if (call != nullptr) *call = recorder.calls()[0];
    return recorder.closure_as<Closure<T>>();
}

const Variant kGrayFloat{Layout::gray, Sample::f32, Padding::constant};
const Variant kGrayByte{Layout::gray, Sample::u8, Padding::constant};
const Variant kRgbFloat{Layout::rgb, Sample::f32, Padding::replicate};

TEST(CallScalars, WindowSizeAndOffset) {
    struct {
        double window;
        int32_t N, off;
    } cases[] = {{9.0, 9, -4},
                 {7.9, 7, -3},
                 {4.0, 4, -2},
                 {2.5, 2, -1},
                 {1.0, 1, 0},
                 {0.5, 0, 0},
                 {std::nan(""), 0, 0},
                 {-3.0, -3, 1},
                 {1e12, std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()}};
    for (const auto &c : cases) {
        const auto rec = record_call<float>(kGrayFloat, 8, 8, c.window, 1.0, 0.0);
        EXPECT_EQ(rec.N, c.N) << "window " << c.window;
        EXPECT_EQ(rec.off, c.off) << "window " << c.window;
    }
}

TEST(CallScalars, RangeTermRoundedOnceFromDouble) {
    struct {
        double sigma;
        uint32_t bits;
    } cases[] = {{0.1, 0x3CA3D70A}, {-0.1, 0x3CA3D70A}, {0.7, 0x3F7AE148}, {25.5, 0x44A29000},
                 {0.0, 0x00000000}, {1e-30, 0x00000000}, {1e30, 0x7F800000}};
    for (const auto &c : cases) {
        const auto rec = record_call<float>(kGrayFloat, 8, 8, 3.0, c.sigma, 0.0);
        EXPECT_EQ(bilateral::bits_from_float(rec.R), c.bits) << "sigma " << c.sigma;
    }
}

TEST(CallScalars, PadValueAndPadSample) {
    EXPECT_EQ(bilateral::bits_from_float(record_call<float>(kGrayFloat, 8, 8, 3.0, 1.0, 0.25).pad), 0x3E800000u);
    EXPECT_EQ(bilateral::bits_from_float(record_call<float>(kGrayFloat, 8, 8, 3.0, 1.0, 0.1).pad), 0x3DCCCCCDu);
    struct {
        double pad;
        uint8_t sample;
    } cases[] = {{200.7, 200}, {255.9, 255}, {256.0, 0},   {300.0, 44},        {-1.0, 255},
                 {1e10, 255},  {-1e10, 0},   {-0.9, 0},    {std::nan(""), 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(record_call<uint8_t>(kGrayByte, 8, 8, 3.0, 1.0, c.pad).pad, c.sample) << "pad " << c.pad;
    }
}

TEST(TaskGrid, TaskCountsAndTilePositions) {
    ParForRecorder::Call call;
    // 1000 x 600 colour: 2 tile columns, 19 tile rows of 32.
    auto rgb = record_call<float>(kRgbFloat, 1000, 600, 5.0, 0.1, 0.0, &call);
    EXPECT_EQ(call.min, 0);
    EXPECT_EQ(call.size, 38);
    Tile t1 = decode_tile<bilateral::Layout::rgb>(rgb, 1), t2 = decode_tile<bilateral::Layout::rgb>(rgb, 2);
    EXPECT_EQ(t1.x0, 512);
    EXPECT_EQ(t1.y0, 0);
    EXPECT_EQ(t2.x0, 0);
    EXPECT_EQ(t2.y0, 32);

    // Same image gray: 10 tile rows of 64, the last one 24 rows high.
    auto gray = record_call<float>(kGrayFloat, 1000, 600, 5.0, 0.1, 0.0, &call);
    EXPECT_EQ(call.size, 20);
    Tile last = decode_tile<bilateral::Layout::gray>(gray, 19);
    EXPECT_EQ(last.x0, 512);
    EXPECT_EQ(last.y0, 576);
    EXPECT_EQ(gray.H - last.y0, 24);

    record_call<float>(kGrayFloat, 20, 10, 5.0, 0.1, 0.0, &call);
    EXPECT_EQ(call.size, 1);
    record_call<float>(kRgbFloat, 20, 33, 5.0, 0.1, 0.0, &call);
    EXPECT_EQ(call.size, 2);
    // An empty output still makes the call, with no tasks.
    record_call<float>(kGrayFloat, 0, 10, 5.0, 0.1, 0.0, &call);
    EXPECT_EQ(call.size, 0);
    record_call<float>(kRgbFloat, 10, 0, 5.0, 0.1, 0.0, &call);
    EXPECT_EQ(call.size, 0);
}

TEST(TaskGrid, EdgeAndInteriorRuns) {
    // Gray 1000 wide over an input of the same columns, N = 5: the first tile's
    // block 0 reaches left of the input, the second tile's last block is partial.
    auto gray = record_call<float>(kGrayFloat, 1000, 64, 5.0, 0.1, 0.0);
    Tile first = decode_tile<bilateral::Layout::gray>(gray, 0), second = decode_tile<bilateral::Layout::gray>(gray, 1);
    EXPECT_EQ(first.left_end, 1);
    EXPECT_EQ(first.interior_end, 4);
    EXPECT_EQ(bilateral::block_run(first, 0), Run::left_edge);
    EXPECT_EQ(bilateral::block_run(first, 3), Run::interior);
    EXPECT_EQ(second.left_end, 0);
    EXPECT_EQ(second.interior_end, 3);
    EXPECT_EQ(bilateral::block_run(second, 3), Run::right_edge);

    // An input far left of the output: no tile has a left-edge run.
    Closure<float> far = gray;
    far.x_skew = -5000;
    for (int t = 0; t < 2; ++t) EXPECT_EQ(decode_tile<bilateral::Layout::gray>(far, t).left_end, 0);
}

// Refusals: nothing is written and no task runs.
TEST(Refusals, CasesThatWouldTouchMemoryOutsideTheBuffers) {
    for (Variant v : all_variants()) {
        SCOPED_TRACE(variant_name(v));
        const bool rgb = v.layout == Layout::rgb;
        auto attempt = [&](auto &&mutate, const char *what) {
            ParForRecorder recorder(/*run_tasks=*/true, 0);
            TestBuffer in = dense(v.sample, v.layout, 40, 30);
            TestBuffer out = dense(v.sample, v.layout, 40, 30);
            TestBuffer w = flat_weights(5, 1.0f);
            const std::vector<uint8_t> before = out.bytes();
            halide_buffer_t in_desc = *in.raw(), out_desc = *out.raw();
            halide_dimension_t in_dims[3], out_dims[3];
            std::copy(in.raw()->dim, in.raw()->dim + in.dimensions(), in_dims);
            std::copy(out.raw()->dim, out.raw()->dim + out.dimensions(), out_dims);
            in_desc.dim = in_dims;
            out_desc.dim = out_dims;
            mutate(in_desc, out_desc);
            EXPECT_EQ(call_library(v, &in_desc, w.raw(), 5.0, 0.1, 0.0, &out_desc), 0) << what;
            EXPECT_TRUE(recorder.calls().empty()) << what;
            EXPECT_TRUE(out.bytes() == before) << what;
        };
        attempt([](halide_buffer_t &in, halide_buffer_t &) { in.host = nullptr, in.device = 1; },
                "device-only input");
        attempt([](halide_buffer_t &, halide_buffer_t &out) { out.host = nullptr, out.device = 1; },
                "device-only output");
        attempt([](halide_buffer_t &in, halide_buffer_t &) { in.dim[0].extent = 0; }, "empty input row");
        attempt([](halide_buffer_t &in, halide_buffer_t &) { in.dim[1].extent = -1; }, "negative input height");
        if (rgb) {
            attempt([](halide_buffer_t &in, halide_buffer_t &) { in.dim[2].extent = 0; }, "input without channels");
            attempt([](halide_buffer_t &, halide_buffer_t &out) { out.dim[2].extent = 2; }, "output lacks channel 2");
            attempt([](halide_buffer_t &, halide_buffer_t &out) { out.dim[2].min = 1; }, "output lacks channel 0");
        }
    }
}

// Without a usable weight sum every sample is 0/0: NaN, or 0 in 8 bits. A
// window below one has no taps at all; it is filtered, not refused, and sizes
// no scratch.
TEST(Refusals, EmptyWeightSumsGiveNaN) {
    const double nan = std::nan("");
    const struct {
        double window, sigma;
        float weight;
        const char *what;
    } cases[] = {{0.5, 0.1, 1.0f, "window 0.5"},          {0.0, 0.1, 1.0f, "window 0"},
                 {-4.0, 0.1, 1.0f, "window -4"},          {nan, 0.1, 1.0f, "window NaN"},
                 {5.0, 0.0, 1.0f, "zero range term"},     {5.0, 1e-30, 1.0f, "range term below float"},
                 {5.0, 0.5, 0.0f, "all-zero spatial weights"}};
    for (Variant v : all_variants()) {
        for (const auto &c : cases) {
            SCOPED_TRACE(variant_name(v) + ", " + c.what);
            TestBuffer in = dense(v.sample, v.layout, 150, 40);
            std::mt19937 rng(4);
            in.fill_random(rng, v.sample == Sample::f32 ? SampleFill{0.0, 1.0} : SampleFill{0.0, 255.0});
            TestBuffer out = dense(v.sample, v.layout, 150, 40);
            TestBuffer w = flat_weights(5, c.weight);
            AllocationObserver allocations;
            EXPECT_EQ(call_library(v, in.raw(), w.raw(), c.window, c.sigma, 0.0, out.raw()), 0);
            if (!(c.window >= 1)) {
                EXPECT_EQ(allocations.mallocs(), 0) << "no scratch is sized for an empty window";
            }
            int64_t wrong = 0;
            out.for_each([&](int32_t x, int32_t y, int32_t ch) {
                wrong += v.sample == Sample::f32 ? !std::isnan(out.f(x, y, ch)) : out.u(x, y, ch) != 0;
            });
            EXPECT_EQ(wrong, 0);
            EXPECT_TRUE(out.untouched_outside_region());
        }
    }
}

}  // namespace
}  // namespace bilateral_test
