#include "support/runtime_hooks.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace bilateral_test {
namespace {
ParForRecorder *recorder = nullptr;
AllocationObserver *observer = nullptr;
}  // namespace

ParForRecorder::ParForRecorder(bool run_tasks, size_t closure_bytes)
    : run_tasks_(run_tasks), closure_bytes_(closure_bytes), previous_(halide_set_custom_do_par_for(hook)) {
    recorder = this;
}

ParForRecorder::~ParForRecorder() {
    halide_set_custom_do_par_for(previous_);
    recorder = nullptr;
}

int ParForRecorder::hook(void *user_context, halide_task_t f, int min, int size, uint8_t *closure) {
    recorder->calls_.push_back({f, min, size, std::vector<uint8_t>(closure, closure + recorder->closure_bytes_)});
    return recorder->run_tasks_ ? halide_default_do_par_for(user_context, f, min, size, closure) : 0;
}

AllocationObserver::AllocationObserver(int64_t fail_at)
    : fail_at_(fail_at), previous_malloc_(halide_set_custom_malloc(on_malloc)), previous_free_(halide_set_custom_free(on_free)) {
    observer = this;
}

AllocationObserver::~AllocationObserver() {
    halide_set_custom_malloc(previous_malloc_);
    halide_set_custom_free(previous_free_);
    observer = nullptr;
}

void *AllocationObserver::on_malloc(void *, size_t bytes) {
    if (++observer->mallocs_ == observer->fail_at_) {
        ++observer->failures_;
        return nullptr;
    }
    return std::aligned_alloc(64, (bytes + 63) / 64 * 64);
}

void AllocationObserver::on_free(void *, void *ptr) {
    observer->frees_ += ptr != nullptr;
    std::free(ptr);
}

int serial_do_par_for(void *user_context, halide_task_t task, int min, int size, uint8_t *closure) {
    for (int i = min; i < min + size; ++i) task(user_context, i, closure);
    return 0;
}

int std_thread_do_par_for(void *user_context, halide_task_t task, int min, int size, uint8_t *closure) {
    std::atomic<int> next{min};
    const auto work = [&] {
        for (int i = next++; i < min + size; i = next++) task(user_context, i, closure);
    };
    std::vector<std::thread> workers;
    for (int t = 1; t < std::min(size, 4); ++t) workers.emplace_back(work);
    work();
    for (std::thread &w : workers) w.join();
    return 0;
}

}  // namespace bilateral_test
