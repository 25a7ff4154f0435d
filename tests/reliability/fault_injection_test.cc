// Catches a crash, a leak, a wrong or a stray write when scratch allocation fails: in a serial call,
// allocation k fails, for every k the call makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "support/harness.h"

namespace bilateral_test {
namespace {

// Tasks run one after another on the calling thread; g_starts[t]: the allocations before task t began.
const AllocationObserver *g_observer = nullptr;
std::vector<int64_t> g_starts;

int serial_noting_allocations(void *user_context, halide_task_t task, int min, int size, uint8_t *closure) {
    for (int i = min; i < min + size; ++i) g_starts.push_back(g_observer->mallocs), task(user_context, i, closure);
    return 0;
}

// Two tile columns (tiles of 512 columns and 64 rows, RGB 32) and several tile rows; a small and a
// large window; each variant alone and joint, with a gray 8-bit guide (staged twice, as floats and as
// bytes) for gray inputs and a two-channel float guide for RGB ones. When allocation k fails, every
// block taken is given back, nothing outside the output is written, and only the failing task's tile
// may be unfinished: there each sample is exact or still the sentinel, everywhere else exact.
TEST(FaultInjection, EveryFailingAllocationLeavesOnlyItsTileUnfinished) {
    // BF_FAULT_STRIDE=s fails every s-th allocation only: a shorter sweep under an emulator.
    const int64_t stride = std::max<int64_t>(1, std::getenv("BF_FAULT_STRIDE") ? std::atoll(std::getenv("BF_FAULT_STRIDE")) : 1);
    const halide_do_par_for_t previous = halide_set_custom_do_par_for(serial_noting_allocations);
    for (Variant v : all_variants()) {
        const bool rgb = v.layout == Layout::rgb, u8 = v.sample != Sample::f32;  // integer samples
        const int32_t tile_h = rgb ? 32 : 64;
        Dims in = {{-3, 536, 1}, {-2, 74, 536}}, out = {{0, 530, 1}, {0, 70, 530}};
        if (rgb) in.push_back({0, 3, 536 * 74}), out.push_back({0, 3, 530 * 70});
        for (int32_t form = 0; form < 4; ++form) {
            const int32_t n = form % 2 ? 15 : 3;
            const bool joint = form >= 2;
            SCOPED_TRACE(variant_name(v) + ", N " + std::to_string(n) + (joint ? ", joint" : ""));
            const bool integer_compared = joint ? !rgb : u8;  // the range sigma is in the compared samples' units
            Trial t = make_trial(v, n, integer_compared ? 30 : 0.15, u8 ? 17 : 0.25, in, {{0, n, 1}, {0, n, n}}, out);
            SeededChoices c(4242 + n);
            fill(t.in->view, [&] { return u8 ? c.below(256) : c.unit(); });
            fill(t.w->view, [&] { return c.unit(); });
            if (joint) {
                t.joint = true;
                t.guide = std::make_unique<Mapped>(type_of(rgb ? Sample::f32 : Sample::u8), rgb ? Dims{in[0], in[1], {0, 2, 536 * 74}} : Dims{in[0], in[1]});
                fill(t.guide->view, [&] { return rgb ? c.unit() : c.below(256); });
            }
            const auto run = [&](int64_t fail_at) {  // on a fresh output; gives the allocations asked for
                t.out = std::make_unique<Mapped>(t.in->view.type(), out);
                AllocationObserver observer(fail_at);
                g_observer = &observer;
                g_starts.clear();
                EXPECT_EQ(t.call(), 0);
                EXPECT_EQ(observer.failures, fail_at > 0) << "allocation " << fail_at;
                EXPECT_EQ(observer.mallocs - observer.failures, observer.frees) << "allocation " << fail_at;
                EXPECT_EQ(t.out->stray_writes(), "") << "allocation " << fail_at;
                return observer.mallocs.load();
            };
            const int64_t allocations = run(0);
            EXPECT_TRUE(n == 3 || allocations > 0) << "a large window takes heap scratch";
            const std::unique_ptr<Mapped> complete = std::move(t.out);
            const Mapped fresh(complete->view.type(), out);
            for (int64_t k = 1; k <= allocations; k += stride) {
                run(k);
                // The failing task is the last one that began before allocation k.
                const int32_t task = int32_t(std::lower_bound(g_starts.begin(), g_starts.end(), k) - g_starts.begin()) - 1;
                const int32_t x0 = task % 2 * 512, y0 = task / 2 * tile_h;
                int64_t unfinished = 0;
                EXPECT_TRUE(same_samples(complete->view, t.out->view, [&](const int *p) {
                    return p[0] >= x0 && p[0] < x0 + 512 && p[1] >= y0 && p[1] < y0 + tile_h &&
                           same_sample(fresh.view, t.out->view, p) && ++unfinished;
                })) << "allocation " << k << " failed in task " << task;
                EXPECT_GT(unfinished, 0) << "allocation " << k << " failed, yet task " << task << " finished";
            }
        }
    }
    halide_set_custom_do_par_for(previous);
}

}  // namespace
}  // namespace bilateral_test
