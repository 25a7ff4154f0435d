// Scratch allocation failures: with the tasks run one after another on one
// thread, allocation k fails for every k a call makes. The call must not crash,
// must give back every block it took, and may leave only the failing task's
// tile unfinished; every sample it did write is exact.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "entry/task_grid.h"
#include "reference/reference.h"
#include "support/buffers.h"
#include "support/runtime_hooks.h"

namespace bilateral_test {
namespace {

// Runs the tasks serially on the calling thread and notes, for each, how many
// allocations had been asked for before it began.
const AllocationObserver *g_observer = nullptr;
std::vector<int64_t> g_task_starts;

int serial_noting_allocations(void *user_context, halide_task_t task, int min, int size, uint8_t *closure) {
    for (int i = min; i < min + size; ++i) {
        g_task_starts.push_back(g_observer->mallocs());
        task(user_context, i, closure);
    }
    return 0;
}

struct Outcome {
    int64_t mallocs, successes, frees, failures;
    std::vector<int64_t> task_starts;
};

Outcome run_serially(const Case &c, CaseBuffers &b, int64_t fail_at) {
    AllocationObserver observer(fail_at);
    g_observer = &observer;
    g_task_starts.clear();
    const halide_do_par_for_t previous = halide_set_custom_do_par_for(serial_noting_allocations);
    call_library(c.variant, b.in.raw(), b.w.raw(), c.window, c.sigma, c.pad, b.out.raw());
    halide_set_custom_do_par_for(previous);
    g_observer = nullptr;
    return {observer.mallocs(), observer.successful_mallocs(), observer.frees(), observer.failures(), g_task_starts};
}

bool same_bytes(const TestBuffer &a, const TestBuffer &b, int32_t x, int32_t y, int32_t c) {
    if (a.type() == Sample::u8) return a.u(x, y, c) == b.u(x, y, c);
    const float fa = a.f(x, y, c), fb = b.f(x, y, c);
    return std::memcmp(&fa, &fb, sizeof fa) == 0;
}

// An output of two tile columns and several tile rows, with small and large
// windows.
Case fault_case(Variant v, int32_t n) {
    Case c;
    c.variant = v;
    c.window = n;
    c.sigma = v.sample == Sample::u8 ? 30.0 : 0.15;
    c.pad = v.sample == Sample::u8 ? 17.0 : 0.25;
    const bool rgb = v.layout == Layout::rgb;
    const int32_t W = 530, H = 70;
    c.in_dims = {{-3, W + 6, 1}, {-2, H + 4, W + 6}};
    c.out_dims = {{0, W, 1}, {0, H, W}};
    if (rgb) {
        c.in_dims.push_back({0, 3, (W + 6) * (H + 4)});
        c.out_dims.push_back({0, 3, W * H});
    }
    c.w_dims = {{0, n, 1}, {0, n, n}};
    c.in_fill = v.sample == Sample::u8 ? SampleFill{0, 255} : SampleFill{0, 1};
    c.w_fill = SampleFill{0, 1};
    c.data_seed = 4242u + static_cast<uint32_t>(n);
    return c;
}

TEST(FaultInjection, EveryFailingAllocationLeavesOnlyItsTileUnfinished) {
    for (Variant v : all_variants()) {
        const int32_t tile_h = v.layout == Layout::rgb ? bilateral::TileShape<bilateral::Layout::rgb>::height
                                                       : bilateral::TileShape<bilateral::Layout::gray>::height;
        for (int32_t n : {3, 15}) {
            SCOPED_TRACE(variant_name(v) + ", N " + std::to_string(n));
            const Case c = fault_case(v, n);
            CaseBuffers complete = make_buffers(c);
            const Outcome clean = run_serially(c, complete, 0);
            EXPECT_EQ(clean.successes, clean.frees);
            if (n == 15) {
                EXPECT_GT(clean.mallocs, 0) << "a large window takes heap scratch";
            }

            const int32_t nx = (c.out_dims[0].extent + bilateral::kTileWidth - 1) / bilateral::kTileWidth;
            for (int64_t k = 1; k <= clean.mallocs; ++k) {
                CaseBuffers b = make_buffers(c);
                const TestBuffer fresh(c.variant.sample, c.out_dims, c.margin);
                const Outcome o = run_serially(c, b, k);
                ASSERT_EQ(o.failures, 1) << "allocation " << k << " of " << clean.mallocs;
                EXPECT_EQ(o.successes, o.frees) << "allocation " << k;
                EXPECT_TRUE(b.out.untouched_outside_region()) << "allocation " << k;

                // The failing task is the last one that began before allocation k.
                int failed = -1;
                for (size_t t = 0; t < o.task_starts.size(); ++t) {
                    if (o.task_starts[t] < k) failed = static_cast<int>(t);
                }
                ASSERT_GE(failed, 0) << "allocation " << k << " made outside any task";
                const int32_t fx0 = (failed % nx) * bilateral::kTileWidth, fy0 = (failed / nx) * tile_h;
                int64_t wrong = 0, unfinished = 0;
                b.out.for_each([&](int32_t x, int32_t y, int32_t ch) {
                    const bool in_failed_tile =
                        x >= fx0 && x < fx0 + bilateral::kTileWidth && y >= fy0 && y < fy0 + tile_h;
                    if (same_bytes(b.out, complete.out, x, y, ch)) return;
                    if (in_failed_tile && same_bytes(b.out, fresh, x, y, ch)) {
                        ++unfinished;
                    } else {
                        ++wrong;
                    }
                });
                EXPECT_EQ(wrong, 0) << "allocation " << k << " failed in task " << failed
                                    << ": samples neither exact nor untouched in its tile";
                EXPECT_GT(unfinished, 0) << "allocation " << k << " failed but task " << failed << " finished";
            }
        }
    }
}

}  // namespace
}  // namespace bilateral_test
