// Test support: guarded buffers (Halide::Runtime::Buffer views on mapped pages, sentinel bytes around
// and inside the region), the one random-case generator, fed by any source of choices, the check of
// one call against the oracle, and hooks into the Halide runtime's parallel-for and allocator.
#ifndef BILATERAL_TESTS_SUPPORT_HARNESS_H
#define BILATERAL_TESTS_SUPPORT_HARNESS_H

#include <HalideBuffer.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "front/joint.h"
#include "front/rounding.h"
#include "reference/reference.h"

namespace bilateral_test {

using Dims = std::vector<halide_dimension_t>;
using Buffer = Halide::Runtime::Buffer<>;  // float32 or uint8

/** Where the generator takes every choice from: below(n) lies in [0, n). */
struct Choices {
    virtual ~Choices() = default;
    virtual uint32_t below(uint32_t n) = 0;
    int32_t in(int32_t lo, int32_t hi) { return lo + static_cast<int32_t>(below(static_cast<uint32_t>(hi - lo + 1))); }
    bool percent(uint32_t p) { return below(100) < p; }
    double unit() { return below(1u << 24) * 0x1p-24; }  // in [0, 1)
    template <class T> T pick(std::initializer_list<T> o) { return o.begin()[below(uint32_t(o.size()))]; }
};
/** Choices from a std::mt19937 with the given seed. */
struct SeededChoices : Choices {
    explicit SeededChoices(uint32_t seed) : rng(seed) {}
    uint32_t below(uint32_t n) override { return rng() % n; }
    std::mt19937 rng;
};
/** Choices from bytes, front to back, as few as each choice needs; past the end every read gives 0. */
struct ByteChoices : Choices {
    ByteChoices(const uint8_t *data, size_t size) : data(data), size(size) {}
    uint32_t below(uint32_t n) override {
        uint64_t v = 0;
        for (uint64_t r = 1; r < n; r <<= 8) v = v << 8 | (pos < size ? data[pos++] : 0);
        return static_cast<uint32_t>(v % n);
    }
    const uint8_t *data;
    size_t size, pos = 0;
};

/** Which end of a buffer's region touches an inaccessible (PROT_NONE) page instead of a margin. */
enum class Guard { none, before, after };

/** Storage for one buffer: pages between two PROT_NONE pages, the region at the first byte (before),
 *  ending at the last (after) or between margins; every other byte, row and channel padding included,
 *  holds a position-dependent sentinel. Past 256 MiB the pages are reserved without backing and hold
 *  no sentinel: unwritten elements read as 0. */
struct Mapped {
    Mapped(halide_type_t type, const Dims &dims, Guard guard = Guard::none, int64_t margin = 64);
    ~Mapped();
    std::vector<uint8_t> bytes() const;  // the whole allocation; empty when unbacked
    void reset();                        // every byte back to its sentinel
    std::string stray_writes() const;    // empty when no byte outside the region changed
    Buffer view;                         // the region
    uint8_t *map_, *data_;
    size_t size_, page_;
};

/** The element at pos holds the same bits in a and b; any NaN equals any NaN. */
bool same_sample(const Buffer &a, const Buffer &b, const int *pos);
/** same_sample throughout expected's region, except where excused(pos); names the first few others. */
testing::AssertionResult same_samples(const Buffer &expected, const Buffer &actual,
                                      const std::function<bool(const int *)> &excused = nullptr);
/** Sets every element of the region to draw(), converted to the element type. */
void fill(const Buffer &b, const std::function<double()> &draw);

/** One call: the variant, its scalars and its buffers (sentinels until filled); rounded calls the
 *  variant's _rounded entry point. A joint call (joint) goes to the joint entry point of the variant's
 *  padding with `guide`, or with the input as its guide (guide_is_input). */
struct Trial {
    Variant v;
    double window, sigma, pad;
    std::unique_ptr<Mapped> in, w, out;
    std::string what;  // one line: the variant, the scalars, N and the dims
    bool rounded = false;
    bool joint = false, guide_is_input = false;
    std::unique_ptr<Mapped> guide = nullptr;
    halide_buffer_t *guide_buffer() { return guide_is_input ? in->view.raw_buffer() : guide->view.raw_buffer(); }
    int call() {
        namespace front = bilateral::front;
        if (joint) {
            return front::call_joint(v.padding, rounded ? front::Rounding::nearest : front::Rounding::truncate, in->view,
                                     guide_buffer(), w->view, window, sigma, pad, out->view);
        }
        return rounded ? front::call_rounded_entry(v, in->view, w->view, window, sigma, pad, out->view)
                       : front::call_entry(v, in->view, w->view, window, sigma, pad, out->view);
    }
};
Trial make_trial(Variant v, double window, double sigma, double pad, const Dims &in, const Dims &w, const Dims &out,
                 Guard guard = Guard::none, int64_t margin = 64);
/** Draws a call of variant v, shape, scalars and samples, every choice from c; rounded (integer
 *  variants): of its _rounded entry point; strided: often on interleaved input and output. */
Trial random_trial(Choices &c, Variant v, Guard guard, const std::string &label, bool rounded = false,
                   bool strided = false);
/** Draws a joint call with input (and output) as random_trial draws them for v, and a guide of the
 *  given layout and sample type covering the input, often beyond it, often interleaved, the range
 *  sigma in its units; float guides sometimes with NaN, infinities, negative, tiny or huge samples.
 *  When layout and type agree with the input's, sometimes the input itself. */
Trial random_joint_trial(Choices &c, Variant v, Layout guide_layout, Sample guide_sample, Guard guard,
                         const std::string &label, bool rounded);
/** The Halide type of a sample type. */
halide_type_t type_of(Sample s);
/** The variants that have a _rounded entry point, in the order of their list. */
std::vector<Variant> rounded_variants();
/** Calls the library: status 0, output bit for bit the oracle's, nothing outside the output region
 *  written, input, guide and weights unchanged. A failure ends with t.what. */
testing::AssertionResult matches_oracle(Trial &t);

/** While alive, counts halide_malloc and halide_free and the bytes asked for that are live, now and at
 *  most; allocation number fail_at (1-based, across all threads; 0: none) returns NULL. Frees only
 *  blocks it allocated. */
struct AllocationObserver {
    explicit AllocationObserver(int64_t fail_at = 0);
    ~AllocationObserver();
    int64_t fail_at;
    std::atomic<int64_t> mallocs{0}, failures{0}, frees{0}, live_bytes{0}, peak_bytes{0};
    halide_malloc_t previous_malloc;
    halide_free_t previous_free;
};
/** Runs the tasks one after another on the calling thread, in index order. */
int serial_do_par_for(void *user_context, halide_task_t task, int min, int size, uint8_t *closure);
/** Runs the tasks on up to four plain std::threads, for ThreadSanitizer builds, where the runtime's
 *  own synchronisation is invisible and would be reported as races. */
int std_thread_do_par_for(void *user_context, halide_task_t task, int min, int size, uint8_t *closure);

}  // namespace bilateral_test

#endif  // BILATERAL_TESTS_SUPPORT_HARNESS_H
