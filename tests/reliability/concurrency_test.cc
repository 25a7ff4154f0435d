// Several host threads calling different entry points at once on distinct
// buffers, many times: every result equals the one computed alone, and every
// heap block a task takes is given back.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "reference/reference.h"
#include "support/buffers.h"
#include "support/runtime_hooks.h"

namespace bilateral_test {
namespace {

TEST(Concurrency, SimultaneousCallsMatchSerialResults) {
    const std::vector<Variant> variants = all_variants();
    std::vector<Case> cases;
    std::vector<std::vector<uint8_t>> expected;
    for (size_t k = 0; k < variants.size(); ++k) {
        Case c = random_case(900u + static_cast<uint32_t>(k), variants[k]);
        CaseBuffers b = make_buffers(c);
        call_library(c.variant, b.in.raw(), b.w.raw(), c.window, c.sigma, c.pad, b.out.raw());
        expected.push_back(b.out.bytes());
        cases.push_back(c);
    }

    AllocationObserver allocations;
    std::atomic<int> mismatches{0};
    const int rounds = 25;
    std::vector<std::thread> threads;
    for (size_t k = 0; k < cases.size(); ++k) {
        threads.emplace_back([&, k] {
            const Case &c = cases[k];
            for (int round = 0; round < rounds; ++round) {
                CaseBuffers b = make_buffers(c);  // a fresh output holding its sentinel
                call_library(c.variant, b.in.raw(), b.w.raw(), c.window, c.sigma, c.pad, b.out.raw());
                if (b.out.bytes() != expected[k]) ++mismatches;
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(allocations.successful_mallocs(), allocations.frees());
}

// Thousands of calls of mixed sizes: the runtime's allocator sees every
// successful halide_malloc matched by one halide_free.
TEST(Concurrency, HeapBalanceOverManyCalls) {
    AllocationObserver allocations;
    int calls = 0;
    for (uint32_t n = 0; n < 2000; ++n) {
        const Variant v = all_variants()[n % 12];
        Case c = random_case(40000u + n, v);
        CaseBuffers b = make_buffers(c);
        call_library(v, b.in.raw(), b.w.raw(), c.window, c.sigma, c.pad, b.out.raw());
        ++calls;
    }
    EXPECT_EQ(calls, 2000);
    EXPECT_GT(allocations.mallocs(), 0);
    EXPECT_EQ(allocations.successful_mallocs(), allocations.frees());
}

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

// Under ThreadSanitizer the tasks run on instrumented std::threads.
class StdThreadPool : public testing::Environment {
public:
    void SetUp() override {
        if (kThreadSanitizer) halide_set_custom_do_par_for(std_thread_do_par_for);
    }
};
const testing::Environment *const kPool = testing::AddGlobalTestEnvironment(new StdThreadPool);

}  // namespace
}  // namespace bilateral_test
