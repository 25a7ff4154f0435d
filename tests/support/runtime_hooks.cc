#include "support/runtime_hooks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace bilateral_test {

ParForRecorder *ParForRecorder::active_ = nullptr;
AllocationObserver *AllocationObserver::active_ = nullptr;

ParForRecorder::ParForRecorder(bool run_tasks, size_t closure_bytes)
    : run_tasks_(run_tasks), closure_bytes_(closure_bytes) {
    active_ = this;
    previous_ = halide_set_custom_do_par_for(&ParForRecorder::hook);
}

ParForRecorder::~ParForRecorder() {
    halide_set_custom_do_par_for(previous_);
    active_ = nullptr;
}

int ParForRecorder::hook(void *user_context, halide_task_t f, int min, int size, uint8_t *closure) {
    ParForRecorder *self = active_;
    self->calls_.push_back({f, min, size, std::vector<uint8_t>(closure, closure + self->closure_bytes_)});
    if (!self->run_tasks_) return 0;
    return halide_default_do_par_for(user_context, f, min, size, closure);
}

AllocationObserver::AllocationObserver(int64_t fail_at) : fail_at_(fail_at) {
    active_ = this;
    previous_malloc_ = halide_set_custom_malloc(&AllocationObserver::on_malloc);
    previous_free_ = halide_set_custom_free(&AllocationObserver::on_free);
}

AllocationObserver::~AllocationObserver() {
    halide_set_custom_malloc(previous_malloc_);
    halide_set_custom_free(previous_free_);
    active_ = nullptr;
}

void *AllocationObserver::on_malloc(void *, size_t bytes) {
    AllocationObserver *self = active_;
    const int64_t n = ++self->mallocs_;
    if (n == self->fail_at_) {
        ++self->failures_;
        return nullptr;
    }
    void *p = std::aligned_alloc(64, (bytes + 63) / 64 * 64);
    if (p != nullptr) ++self->successes_;
    return p;
}

void AllocationObserver::on_free(void *, void *ptr) {
    AllocationObserver *self = active_;
    if (ptr == nullptr) return;
    ++self->frees_;
    std::free(ptr);
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
