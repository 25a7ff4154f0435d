// The library against the per-sample oracle over random geometries, for all
// twelve entry points, bit for bit; and the same bits for any thread count.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "hwy/targets.h"
#include "reference/reference.h"
#include "support/buffers.h"

namespace bilateral_test {
namespace {

// Cases per variant; BF_DIFFERENTIAL_CASES raises it for a longer soak.
int case_count() {
    const char *env = std::getenv("BF_DIFFERENTIAL_CASES");
    return env != nullptr ? std::max(1, std::atoi(env)) : 300;
}

class Differential : public testing::TestWithParam<Variant> {};

TEST_P(Differential, MatchesTheOracleBitForBit) {
    const Variant v = GetParam();
    const int cases = case_count();
    int failures = 0;
    for (int n = 0; n < cases && failures < 5; ++n) {
        const uint32_t seed = 1000003u * static_cast<uint32_t>(n + 1) + static_cast<uint32_t>(v.padding) * 17u +
                              (v.sample == Sample::u8 ? 101u : 0u) + (v.layout == Layout::rgb ? 7919u : 0u);
        const testing::AssertionResult result = run_differential(random_case(seed, v));
        if (!result) ++failures;
        EXPECT_TRUE(result);
    }
}

// Input and weights end (or begin) right at an inaccessible page: a read one
// element past either end faults, whatever the geometry and padding.
TEST_P(Differential, ReadsNothingPastGuardPages) {
    const Variant v = GetParam();
    for (int n = 0; n < 120; ++n) {
        Case c = random_case(900001u + static_cast<uint32_t>(n) * 104729u, v);
        c.guard = n % 2 == 0 ? Guard::after : Guard::before;
        const testing::AssertionResult result = run_differential(c);
        EXPECT_TRUE(result);
        if (!result) break;
    }
}

// Every compiled code path, the portable scalar one included, against the
// oracle: each target in turn is made the one that dispatch picks.
TEST_P(Differential, EveryCompiledTargetMatchesTheOracle) {
    const Variant v = GetParam();
    for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        for (int n = 0; n < 60; ++n) {
            const Case c = random_case(5000u + static_cast<uint32_t>(n) * 7919u, v);
            const testing::AssertionResult result = run_differential(c);
            EXPECT_TRUE(result) << "target " << hwy::TargetName(target);
            if (!result) break;
        }
    }
    hwy::SetSupportedTargetsForTest(0);
}

// Tiles run in any order on any thread: the tasks run one after another on
// the calling thread give the same bits as the runtime's pool of 4 threads.
int run_serially(void *user_context, halide_task_t task, int min, int size, uint8_t *closure) {
    for (int i = min; i < min + size; ++i) task(user_context, i, closure);
    return 0;
}

TEST_P(Differential, SameBitsForAnyThreadCount) {
    const Variant v = GetParam();
    for (int n = 0; n < 20; ++n) {
        Case c = random_case(77u + static_cast<uint32_t>(n), v);
        CaseBuffers serial = make_buffers(c), pooled = make_buffers(c);
        const halide_do_par_for_t previous = halide_set_custom_do_par_for(run_serially);
        call_library(v, serial.in.raw(), serial.w.raw(), c.window, c.sigma, c.pad, serial.out.raw());
        halide_set_custom_do_par_for(previous);
        const int threads = halide_set_num_threads(4);
        call_library(v, pooled.in.raw(), pooled.w.raw(), c.window, c.sigma, c.pad, pooled.out.raw());
        halide_set_num_threads(threads);
        EXPECT_TRUE(serial.out.bytes() == pooled.out.bytes()) << c;
    }
}

INSTANTIATE_TEST_SUITE_P(AllVariants, Differential, testing::ValuesIn(all_variants()),
                         [](const testing::TestParamInfo<Variant> &info) { return variant_name(info.param); });

}  // namespace
}  // namespace bilateral_test
