// Catches any fault that changes a bit of any variant's result (arithmetic, rounding, boundary rules,
// 8-bit conversions, even windows, the symmetric-weights shortcut, zero-weight taps left out where
// negative, tiny, huge or non-finite samples, negative weights or an infinite range term forbid it, or
// planes missing for the taps kept; the _rounded entry points' rounding and their reads and writes of
// interleaved pictures) on any compiled target, the scalar path or any thread count; reads past the
// input, guide or weights (guard pages); stray writes (sentinels). For the joint entry points also: a
// guide read at the wrong place or through the wrong rule, staged or padded by the wrong type,
// numerators read from the guide, the wrong arithmetic for a layout, and results for the input as its
// own guide that differ from the plain entry point's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

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

int cases_or(int fallback) {
    const char *env = std::getenv("BF_DIFFERENTIAL_CASES");
    return env != nullptr ? std::max(1, std::atoi(env)) : fallback;
}

// Runs case n = 0 .. cases - 1 on compiled target n % T (on the fallback target the portable scalar
// kernels run), with its tasks run serially on the calling thread, on the runtime's pool as configured
// (HL_NUM_THREADS), or on a pool of 4, as run(n, tasks) returns whether the case passed; stops after
// five failures.
void on_every_target(int cases, const std::function<bool(int n, int tasks)> &run) {
    const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
    const int T = static_cast<int>(targets.size());
    bool scalar_path = false;
    for (int n = 0, failures = 0; n < cases && failures < 5; ++n) {
        hwy::SetSupportedTargetsForTest(targets[n % T]);
        scalar_path = scalar_path || !bilateral::vector_kernels_usable();
        const int tasks = n / T / 2 % 3;
        halide_set_custom_do_par_for(tasks == 0 ? serial_do_par_for : halide_default_do_par_for);
        halide_set_num_threads(tasks == 2 ? 4 : 0);  // 0: as configured
        SCOPED_TRACE(std::string(hwy::TargetName(targets[n % T])) + ", tasks " +
                     (tasks == 0 ? "serial" : tasks == 1 ? "on the pool" : "on 4 threads"));
        failures += !run(n, tasks);
    }
    hwy::SetSupportedTargetsForTest(0);
    halide_set_custom_do_par_for(halide_default_do_par_for);
    halide_set_num_threads(0);
    EXPECT_TRUE(scalar_path || cases < T) << "no compiled target took the scalar path";
}

int target_count() { return static_cast<int>(hwy::SupportedAndGeneratedTargets().size()); }

class Differential : public testing::TestWithParam<Entry> {};

// Input and weights touch a guard page before or after them.
TEST_P(Differential, MatchesTheOracleBitForBit) {
    const Variant v = GetParam().v;
    const uint32_t id = 9 * uint32_t(v.layout) + 3 * uint32_t(v.sample) + uint32_t(v.padding) + (GetParam().rounded ? 18 : 0);
    const int T = target_count();
    on_every_target(cases_or(240), [&](int n, int) {
        const uint32_t seed = 30u * n + id;
        SeededChoices choices(seed);
        Trial t = random_trial(choices, v, n / T % 2 ? Guard::before : Guard::after, "seed " + std::to_string(seed),
                               GetParam().rounded);
        const testing::AssertionResult result = matches_oracle(t);
        EXPECT_TRUE(result);
        return bool(result);
    });
}

// The joint entry point of the variant's padding (its _rounded one for a rounded entry), given the
// input as its guide, writes the entry point's bits.
TEST_P(Differential, TheInputAsGuideGivesThePlainResult) {
    const Variant v = GetParam().v;
    on_every_target(4 * target_count(), [&](int n, int) {
        const uint32_t seed = 7000u + 30u * n + 9 * uint32_t(v.layout) + 3 * uint32_t(v.sample) + uint32_t(v.padding);
        SeededChoices choices(seed);
        Trial t = random_trial(choices, v, Guard::after, "seed " + std::to_string(seed), GetParam().rounded);
        EXPECT_EQ(t.call(), 0);
        const std::vector<uint8_t> plain = t.out->bytes();
        t.out->reset();
        t.joint = t.guide_is_input = true;
        EXPECT_EQ(t.call(), 0);
        EXPECT_TRUE(t.out->bytes() == plain) << t.what;
        return t.out->bytes() == plain;
    });
}

INSTANTIATE_TEST_SUITE_P(AllVariants, Differential, testing::ValuesIn(all_entries()),
                         [](const testing::TestParamInfo<Entry> &info) {
                             return variant_name(info.param.v) + (info.param.rounded ? "_rounded" : "");
                         });

// A joint entry point: its padding, and whether it rounds.
struct JointEntry {
    Padding padding;
    bool rounded;
};

class JointDifferential : public testing::TestWithParam<JointEntry> {};

// Case n takes the (n / T) % 36-th combination of input layout, input type, guide layout and guide
// type, so that every combination runs on every target, by default twice; input, guide and weights
// touch a guard page before or after them.
TEST_P(JointDifferential, MatchesTheOracleBitForBit) {
    const JointEntry e = GetParam();
    const int T = target_count();
    on_every_target(cases_or(72 * T), [&](int n, int) {
        const int combo = n / T % 36;
        const Variant v{Layout(combo % 2), Sample(combo / 2 % 3), e.padding};
        const Layout guide_layout = Layout(combo / 6 % 2);
        const Sample guide_sample = Sample(combo / 12);
        const uint32_t seed = 50000u + 6u * n + 2u * uint32_t(e.padding) + (e.rounded ? 1 : 0);
        SeededChoices choices(seed);
        Trial t = random_joint_trial(choices, v, guide_layout, guide_sample, n / T / 36 % 2 ? Guard::before : Guard::after,
                                     "seed " + std::to_string(seed), e.rounded);
        const testing::AssertionResult result = matches_oracle(t);
        EXPECT_TRUE(result);
        return bool(result);
    });
}

INSTANTIATE_TEST_SUITE_P(AllPaddings, JointDifferential,
                         testing::Values(JointEntry{Padding::constant, false}, JointEntry{Padding::replicate, false},
                                         JointEntry{Padding::symmetric, false}, JointEntry{Padding::constant, true},
                                         JointEntry{Padding::replicate, true}, JointEntry{Padding::symmetric, true}),
                         [](const testing::TestParamInfo<JointEntry> &info) {
                             return bilateral::front::joint_entry_name(info.param.padding,
                                                                       info.param.rounded ? bilateral::front::Rounding::nearest
                                                                                          : bilateral::front::Rounding::truncate);
                         });

}  // namespace
}  // namespace bilateral_test
