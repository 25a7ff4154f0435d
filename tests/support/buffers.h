// Test support: guarded buffers (Halide::Runtime::Buffer views on mapped pages, sentinel bytes around
// and inside the region), the one random-case generator, fed by any source of choices, and the check
// of one call against the oracle.
#ifndef BILATERAL_TESTS_SUPPORT_BUFFERS_H
#define BILATERAL_TESTS_SUPPORT_BUFFERS_H

#include <HalideBuffer.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "reference/reference.h"

namespace bilateral_test {

using Dims = std::vector<halide_dimension_t>;

/** Where the generator takes every choice from: below(n) lies in [0, n). */
class Choices {
public:
    virtual ~Choices() = default;
    virtual uint32_t below(uint32_t n) = 0;
    int32_t in(int32_t lo, int32_t hi) { return lo + static_cast<int32_t>(below(static_cast<uint32_t>(hi - lo + 1))); }
    bool percent(uint32_t p) { return below(100) < p; }
    double unit() { return below(1u << 24) * 0x1p-24; }  // in [0, 1)
    template <class T>
    T pick(std::initializer_list<T> options) {
        return options.begin()[below(static_cast<uint32_t>(options.size()))];
    }
};

/** Choices from a std::mt19937 with the given seed. */
class SeededChoices : public Choices {
public:
    explicit SeededChoices(uint32_t seed) : rng_(seed) {}
    uint32_t below(uint32_t n) override { return rng_() % n; }

private:
    std::mt19937 rng_;
};

/** Choices from bytes, front to back, as few as each choice needs; past the end every read gives 0. */
class ByteChoices : public Choices {
public:
    ByteChoices(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint32_t below(uint32_t n) override;

private:
    const uint8_t *data_;
    size_t size_, pos_ = 0;
};

/** Which end of a buffer's region touches an inaccessible (PROT_NONE) page instead of a margin. */
enum class Guard { none, before, after };

/**
 * Storage for one float32 or uint8 buffer: pages between two PROT_NONE pages. The region starts at the
 * first byte (Guard::before), ends at the last (after) or lies between margins; every other byte, row
 * and channel padding included, holds a position-dependent sentinel. Strides may be padded or
 * negative. Allocations past 256 MiB are reserved without backing and hold no sentinel: unwritten
 * elements read as 0.
 */
class Mapped {
public:
    Mapped(halide_type_t type, const Dims &dims, Guard guard = Guard::none, int64_t margin = 64);
    ~Mapped();
    Mapped(const Mapped &) = delete;
    Mapped &operator=(const Mapped &) = delete;

    halide_buffer_t *raw() { return view.raw_buffer(); }
    std::vector<uint8_t> bytes() const;  // the whole allocation; empty when sparse
    void reset();                        // every byte back to its sentinel
    std::string stray_writes() const;    // empty when no byte outside the region changed

    Halide::Runtime::Buffer<> view;  // the region

private:
    uint8_t *map_, *data_;
    size_t size_, page_;
    bool sparse_;
};

/** The address of the element at pos of a float32 or uint8 buffer. */
uint8_t *address(const Halide::Runtime::Buffer<> &b, const int *pos);
/** The element at pos holds the same bits in a and b; any NaN equals any NaN. */
bool same_sample(const Halide::Runtime::Buffer<> &a, const Halide::Runtime::Buffer<> &b, const int *pos);
/** same_sample everywhere in expected's region, except where excused(pos) says so. Names the first
 *  few differences. */
testing::AssertionResult same_samples(const Halide::Runtime::Buffer<> &expected, const Halide::Runtime::Buffer<> &actual,
                                      const std::function<bool(const int *)> &excused = nullptr);
/** Sets every element of the region to draw(), converted to the element type. */
void fill(const Halide::Runtime::Buffer<> &b, const std::function<double()> &draw);

/** One call: the variant, its scalars and its buffers (contents: sentinels until filled). */
struct Trial {
    Variant v;
    double window, sigma, pad;
    std::unique_ptr<Mapped> in, w, out;
    std::string what;  // one line: the variant, the scalars, N and the dims
    int call() { return bilateral::call_entry(v, in->raw(), w->raw(), window, sigma, pad, out->raw()); }
};
Trial make_trial(Variant v, double window, double sigma, double pad, const Dims &in, const Dims &w, const Dims &out,
                 Guard guard = Guard::none, int64_t margin = 64);

/** Draws a call of variant v, shape, scalars and samples, every choice from c. */
Trial random_trial(Choices &c, Variant v, Guard guard, const std::string &label);

/** Calls the library: status 0, output bit for bit the oracle's, nothing outside the output region
 *  written, input and weights unchanged. Failures end with t.what. */
testing::AssertionResult matches_oracle(Trial &t);

}  // namespace bilateral_test

#endif  // BILATERAL_TESTS_SUPPORT_BUFFERS_H
