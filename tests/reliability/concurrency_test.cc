// Catches state shared between calls (calls of every variant from several host threads at once differ
// from the same calls made alone), scratch that is not given back, and a front-end variant table that
// differs from the variant list.
#include <gtest/gtest.h>

#include <iterator>
#include <thread>

#include "support/harness.h"

namespace bilateral_test {
namespace {

#ifdef BF_STD_THREAD_POOL
// ThreadSanitizer build: tasks run on instrumented std::threads.
const halide_do_par_for_t kPrevious = halide_set_custom_do_par_for(std_thread_do_par_for);
#endif

// The variant table the tests and the front ends run through holds every entry of the variant list, in
// its order, under its names.
TEST(Concurrency, TheVariantTableIsTheVariantList) {
    ASSERT_EQ(all_variants().size(), std::size(kListedNames));
    for (size_t k = 0; k < std::size(kListedNames); ++k) EXPECT_EQ(variant_name(all_variants()[k]), kListedNames[k]);
}

// One host thread per variant, each making 40 calls of different shapes, every other one a joint call
// with a guide of another layout or type; every heap block a task takes is given back.
TEST(Concurrency, SimultaneousCallsMatchCallsMadeAlone) {
    constexpr uint32_t kRounds = 40;
    const std::vector<Variant> variants = all_variants();
    const size_t V = variants.size();
    std::vector<Trial> trials;
    std::vector<std::vector<uint8_t>> alone;
    for (uint32_t k = 0; k < V * kRounds; ++k) {
        SeededChoices c(900 + k);
        const std::string label = "seed " + std::to_string(900 + k);
        trials.push_back(k / V % 2 ? random_joint_trial(c, variants[k % V], Layout(k / V / 2 % 2), Sample(k / V / 4 % 3), Guard::none, label, false)
                                   : random_trial(c, variants[k % V], Guard::none, label));
        trials.back().call();
        alone.push_back(trials.back().out->bytes());
        trials.back().out->reset();
    }
    AllocationObserver allocations;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    const auto calls = [&](size_t first) {
        for (size_t k = first; k < trials.size(); k += V) mismatches += trials[k].call() != 0 || trials[k].out->bytes() != alone[k];
    };
    for (size_t thread = 0; thread < V; ++thread) threads.emplace_back(calls, thread);
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_GT(allocations.mallocs, 0);
    EXPECT_EQ(allocations.mallocs - allocations.failures, allocations.frees);
}

}  // namespace
}  // namespace bilateral_test
