// Catches state shared between calls (simultaneous calls of all twelve from several host threads differ
// from results computed alone) and scratch that is not given back.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/harness.h"

namespace bilateral_test {
namespace {

#ifdef BF_STD_THREAD_POOL
// ThreadSanitizer build: tasks run on instrumented std::threads.
const halide_do_par_for_t kPrevious = halide_set_custom_do_par_for(std_thread_do_par_for);
#endif

Trial drawn(uint32_t seed, Variant v) {
    SeededChoices c(seed);
    return random_trial(c, v, Guard::none, "seed " + std::to_string(seed));
}

TEST(Concurrency, SimultaneousCallsMatchResultsComputedAlone) {
    std::vector<Trial> trials;
    std::vector<std::vector<uint8_t>> alone;
    for (uint32_t k = 0; k < 12; ++k) {
        trials.push_back(drawn(900 + k, all_variants()[k]));
        trials.back().call();
        alone.push_back(trials.back().out->bytes());
    }
    AllocationObserver allocations;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (Trial &t : trials) {
        threads.emplace_back([&, k = threads.size()] {
            for (int round = 0; round < 25; ++round) {
                t.out->reset();
                t.call();
                mismatches += t.out->bytes() != alone[k];
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(allocations.mallocs - allocations.failures, allocations.frees);
}

TEST(Concurrency, HeapBalanceOverManyCalls) {
    AllocationObserver allocations;
    for (uint32_t n = 0; n < 2000; ++n) EXPECT_EQ(drawn(40000 + n, all_variants()[n % 12]).call(), 0);
    EXPECT_GT(allocations.mallocs, 0);
    EXPECT_EQ(allocations.mallocs - allocations.failures, allocations.frees);
}

}  // namespace
}  // namespace bilateral_test
