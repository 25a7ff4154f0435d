// Catches any fault that changes a bit of any variant's result (arithmetic, rounding, boundary rules,
// 8-bit conversions, even windows, the symmetric-weights shortcut, zero-weight taps left out where
// negative, tiny, huge or non-finite samples, negative weights or an infinite range term forbid it, or
// planes missing for the taps kept; the _rounded entry points' rounding and their reads and writes of
// interleaved pictures) on any compiled target, the scalar path or any thread count; reads
// past the input or weights (guard pages); stray writes (sentinels).
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/simd.h"
#include "hwy/targets.h"
#include "support/harness.h"

namespace bilateral_test {
namespace {

// A variant's entry point, or (rounded) its _rounded one.
struct Entry {
    Variant v;
    bool rounded;
};

std::vector<Entry> all_entries() {
    std::vector<Entry> entries;
    for (const Variant &v : all_variants()) entries.push_back({v, false});
    for (const Variant &v : rounded_variants()) entries.push_back({v, true});
    return entries;
}

class Differential : public testing::TestWithParam<Entry> {};

// Case n runs on compiled target n % T (on the fallback target the portable scalar kernels run), with
// input and weights touching a guard page before or after them, and its tasks run serially on the
// calling thread, on the runtime's pool as configured (HL_NUM_THREADS), or on a pool of 4.
TEST_P(Differential, MatchesTheOracleBitForBit) {
    const char *env = std::getenv("BF_DIFFERENTIAL_CASES");
    const int cases = env != nullptr ? std::max(1, std::atoi(env)) : 240;
    const Variant v = GetParam().v;
    const uint32_t id = 9 * uint32_t(v.layout) + 3 * uint32_t(v.sample) + uint32_t(v.padding) + (GetParam().rounded ? 18 : 0);
    const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
    const int T = static_cast<int>(targets.size());
    bool scalar_path = false;
    for (int n = 0, failures = 0; n < cases && failures < 5; ++n) {
        hwy::SetSupportedTargetsForTest(targets[n % T]);
        scalar_path = scalar_path || !bilateral::vector_kernels_usable();
        const uint32_t seed = 30u * n + id;
        SeededChoices choices(seed);
        Trial t = random_trial(choices, v, n / T % 2 ? Guard::before : Guard::after, "seed " + std::to_string(seed),
                               GetParam().rounded);
        const int tasks = n / T / 2 % 3;
        halide_set_custom_do_par_for(tasks == 0 ? serial_do_par_for : halide_default_do_par_for);
        halide_set_num_threads(tasks == 2 ? 4 : 0);  // 0: as configured
        const testing::AssertionResult result = matches_oracle(t);
        failures += !result;
        EXPECT_TRUE(result) << hwy::TargetName(targets[n % T]) << ", tasks " << (tasks == 0 ? "serial" : tasks == 1 ? "on the pool" : "on 4 threads");
    }
    hwy::SetSupportedTargetsForTest(0);
    halide_set_custom_do_par_for(halide_default_do_par_for);
    halide_set_num_threads(0);
    EXPECT_TRUE(scalar_path || cases < T) << "no compiled target took the scalar path";
}

INSTANTIATE_TEST_SUITE_P(AllVariants, Differential, testing::ValuesIn(all_entries()),
                         [](const testing::TestParamInfo<Entry> &info) {
                             return variant_name(info.param.v) + (info.param.rounded ? "_rounded" : "");
                         });

}  // namespace
}  // namespace bilateral_test
