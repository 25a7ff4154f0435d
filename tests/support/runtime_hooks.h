// Observing the library through the Halide runtime's hooks: the parallel-for (task count, task
// function, closure record; serial and std::thread pools) and the scratch allocator (calls, balance,
// an injected failure).
#ifndef BILATERAL_TESTS_SUPPORT_RUNTIME_HOOKS_H
#define BILATERAL_TESTS_SUPPORT_RUNTIME_HOOKS_H

#include <HalideRuntime.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

namespace bilateral_test {

/** While alive, records every halide_do_par_for call (task, range, a copy of the closure record) and
 *  runs its tasks on the default pool only when run_tasks is true. */
class ParForRecorder {
public:
    struct Call {
        halide_task_t task;
        int min, size;
        std::vector<uint8_t> closure;
    };
    ParForRecorder(bool run_tasks, size_t closure_bytes);
    ~ParForRecorder();
    const std::vector<Call> &calls() const { return calls_; }
    template <class Record>
    Record closure_as(size_t i = 0) const {  // the recorded closure of call i, as the library's record
        Record r;
        std::memcpy(&r, calls_.at(i).closure.data(), sizeof r);
        return r;
    }

private:
    static int hook(void *user_context, halide_task_t f, int min, int size, uint8_t *closure);
    bool run_tasks_;
    size_t closure_bytes_;
    std::vector<Call> calls_;
    halide_do_par_for_t previous_;
};

/** While alive, counts halide_malloc and halide_free; allocation number fail_at (1-based, across all
 *  threads; 0: none) returns NULL. */
class AllocationObserver {
public:
    explicit AllocationObserver(int64_t fail_at = 0);
    ~AllocationObserver();
    int64_t mallocs() const { return mallocs_; }  // failed ones included
    int64_t successful_mallocs() const { return mallocs_ - failures_; }
    int64_t frees() const { return frees_; }
    int64_t failures() const { return failures_; }

private:
    static void *on_malloc(void *user_context, size_t bytes);
    static void on_free(void *user_context, void *ptr);
    int64_t fail_at_;
    std::atomic<int64_t> mallocs_{0}, frees_{0}, failures_{0};
    halide_malloc_t previous_malloc_;
    halide_free_t previous_free_;
};

/** Runs the tasks one after another on the calling thread, in index order. */
int serial_do_par_for(void *user_context, halide_task_t task, int min, int size, uint8_t *closure);
/** Runs the tasks on up to four plain std::threads, for ThreadSanitizer builds, where the runtime's
 *  own synchronisation is invisible and would be reported as races. */
int std_thread_do_par_for(void *user_context, halide_task_t task, int min, int size, uint8_t *closure);

}  // namespace bilateral_test

#endif  // BILATERAL_TESTS_SUPPORT_RUNTIME_HOOKS_H
