// Observing the library through the Halide runtime's own hooks: the
// parallel-for (task count, task function, closure record) and the scratch
// allocator (calls, sizes, balance, injected failures).
#ifndef BILATERAL_TESTS_SUPPORT_RUNTIME_HOOKS_H
#define BILATERAL_TESTS_SUPPORT_RUNTIME_HOOKS_H

#include <HalideRuntime.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace bilateral_test {

// While alive, every halide_do_par_for call is recorded: its task count, task
// function and a copy of the closure record. Tasks run on the default pool
// only when `run_tasks` is true.
class ParForRecorder {
public:
    struct Call {
        halide_task_t task;
        int min, size;
        std::vector<uint8_t> closure;
    };

    explicit ParForRecorder(bool run_tasks, size_t closure_bytes);
    ~ParForRecorder();
    ParForRecorder(const ParForRecorder &) = delete;
    ParForRecorder &operator=(const ParForRecorder &) = delete;

    const std::vector<Call> &calls() const { return calls_; }

    // The recorded closure of call `i`, as the library's record type.
    template <class Record>
    Record closure_as(size_t i = 0) const {
        Record r;
        static_assert(std::is_trivially_copyable_v<Record>);
        std::memcpy(&r, calls_.at(i).closure.data(), sizeof r);
        return r;
    }

private:
    static int hook(void *user_context, halide_task_t f, int min, int size, uint8_t *closure);
    static ParForRecorder *active_;
    bool run_tasks_;
    size_t closure_bytes_;
    std::vector<Call> calls_;
    halide_do_par_for_t previous_;
};

// While alive, halide_malloc/halide_free are counted, and allocation number
// `fail_at` (1-based, counted across all threads; 0 = never) returns NULL.
class AllocationObserver {
public:
    explicit AllocationObserver(int64_t fail_at = 0);
    ~AllocationObserver();
    AllocationObserver(const AllocationObserver &) = delete;
    AllocationObserver &operator=(const AllocationObserver &) = delete;

    int64_t mallocs() const { return mallocs_; }          // calls, failed ones included
    int64_t successful_mallocs() const { return successes_; }
    int64_t frees() const { return frees_; }
    int64_t failures() const { return failures_; }

private:
    static void *on_malloc(void *user_context, size_t bytes);
    static void on_free(void *user_context, void *ptr);
    static AllocationObserver *active_;
    int64_t fail_at_;
    std::atomic<int64_t> mallocs_{0}, successes_{0}, frees_{0}, failures_{0};
    halide_malloc_t previous_malloc_;
    halide_free_t previous_free_;
};

// A parallel-for on plain std::threads (up to `threads` workers taking task
// indices from an atomic counter), for ThreadSanitizer builds: TSan cannot see
// the Halide runtime's own synchronisation and would report false races.
int std_thread_do_par_for(void *user_context, halide_task_t task, int min, int size, uint8_t *closure);

}  // namespace bilateral_test

#endif  // BILATERAL_TESTS_SUPPORT_RUNTIME_HOOKS_H
