// Test support: guarded buffers, bit-exact comparison, dispatch to the twelve entry points and
// random differential cases checked against the scalar oracle.
#ifndef BILATERAL_TESTS_SUPPORT_BUFFERS_H
#define BILATERAL_TESTS_SUPPORT_BUFFERS_H

#include <HalideRuntime.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "reference/reference.h"

namespace bilateral_test {

/** One dimension of a test buffer, in elements. Strides may be padded or negative. */
struct Dim {
    int32_t min, extent, stride;
};

/** How fill_random draws samples. */
struct SampleFill {
    double lo = 0.0, hi = 1.0;  // float: uniform in [lo, hi); 8-bit: integers lo..hi inclusive
    int levels = 0;             // > 0: only that many evenly spaced values from lo to hi (flat areas)
    double special = 0.0;       // float only: chance of each sample being NaN, +inf or -inf
};

/** Where a buffer's region meets an inaccessible (PROT_NONE) page instead of a sentinel margin:
 *  right before its first byte, or right after its last one. */
enum class Guard { none, before, after };

/** A block of bytes: heap memory, or whole pages between two PROT_NONE guard pages. */
class Storage {
public:
    Storage(size_t bytes, bool guarded);
    Storage(Storage &&other) noexcept;
    Storage &operator=(Storage &&other) noexcept;
    ~Storage();
    uint8_t *data() const { return data_; }
    size_t size() const { return size_; }
    uint8_t &operator[](size_t i) const { return data_[i]; }

private:
    uint8_t *data_ = nullptr;
    size_t size_ = 0;
    void *mapping_ = nullptr;  // the guarded mapping, or NULL for heap memory
    size_t mapping_size_ = 0;
};

/**
 * Owns the storage of a 2-D or 3-D float32 or uint8 halide_buffer_t. The region's span is
 * surrounded by margins, and every byte of the allocation that is not an element of the region
 * (margins, row and channel padding) holds a sentinel pattern from construction on, so stray writes
 * can be detected. With a guard, one side of the span touches a PROT_NONE page instead, so a stray
 * access there faults. dim[0].stride must be 1; other strides may be negative (flipped views: host
 * then points inside the allocation) but elements must not alias.
 */
class TestBuffer {
public:
    TestBuffer(Sample type, std::vector<Dim> dims, int32_t margin_bytes = 64, Guard guard = Guard::none);
    TestBuffer(TestBuffer &&) = default;
    TestBuffer &operator=(TestBuffer &&) = default;
    ~TestBuffer();

    halide_buffer_t *raw() { return &buf_; }
    const halide_buffer_t *raw() const { return &buf_; }
    Sample type() const { return type_; }
    int dimensions() const { return static_cast<int>(dims_.size()); }
    const halide_dimension_t &dim(int i) const { return dims_[i]; }
    /** True when some extent is 0 or less: the region has no elements. */
    bool empty() const;

    /** Element access by absolute coordinates; c is ignored for 2-D buffers. Throws outside the region. */
    float f(int32_t x, int32_t y, int32_t c = 0) const;
    uint8_t u(int32_t x, int32_t y, int32_t c = 0) const;
    void set_f(int32_t x, int32_t y, int32_t c, float v);
    void set_u(int32_t x, int32_t y, int32_t c, uint8_t v);
    void set_f(int32_t x, int32_t y, float v) { set_f(x, y, 0, v); }
    void set_u(int32_t x, int32_t y, uint8_t v) { set_u(x, y, 0, v); }

    /** Calls fn(x, y, c) for every element of the region (c = 0 for 2-D buffers). */
    void for_each(const std::function<void(int32_t, int32_t, int32_t)> &fn) const;
    /** Sets every element of the region to v (8-bit: v converted to a byte). */
    void fill(double v);
    /** Draws every element of the region from rng as `how` says, in x, y, c order. */
    void fill_random(std::mt19937 &rng, const SampleFill &how);

    /** No byte outside the region's elements changed since construction. */
    bool untouched_outside_region() const;
    /** Empty when untouched; otherwise how many bytes outside the region changed and where the first
     *  one lies (byte offset from host). */
    std::string outside_changes() const;
    /** A copy of every byte of the allocation, margins included. */
    std::vector<uint8_t> bytes() const { return {storage_.data(), storage_.data() + storage_.size()}; }

    /** Under AddressSanitizer, makes every byte outside the region unaddressable (best effort at
     *  8-byte granularity), so stray reads fault too. No-op otherwise. Unpoison before inspecting. */
    void poison_outside_region();
    void unpoison();

private:
    int64_t byte_index(int32_t x, int32_t y, int32_t c) const;  // into storage_, region checked
    Storage storage_;
    std::vector<uint8_t> in_region_;  // 1 for bytes that belong to an element of the region
    std::vector<halide_dimension_t> dims_;
    halide_buffer_t buf_{};
    Sample type_;
    int32_t margin_;
    int64_t host_index_ = 0;
    bool poisoned_ = false;
};

/** A dense buffer at (x_min, y_min): 2-D for gray, 3-D with `channels` planes from channel 0 for RGB. */
TestBuffer dense(Sample type, Layout layout, int32_t W, int32_t H, int32_t channels = 3, int32_t x_min = 0,
                 int32_t y_min = 0);
/** N x N weights at the origin, all equal to value. */
TestBuffer flat_weights(int32_t n, float value);

/** Every element of the region equal bit for bit; any NaN matches any NaN. Names the first few
 *  mismatches with coordinates, hex bits and values. */
testing::AssertionResult same_samples(const TestBuffer &expected, const TestBuffer &actual);

/** Names the variant in test output. */
inline void PrintTo(const Variant &v, std::ostream *os) { *os << variant_name(v); }

/** Calls the variant's entry point; pad is passed only to the constant variants. */
int call_library(Variant v, halide_buffer_t *in, halide_buffer_t *w, double window, double sigma, double pad,
                 halide_buffer_t *out);

/** One random differential case: geometry, scalars and how to fill the buffers. */
struct Case {
    Variant variant{Layout::gray, Sample::f32, Padding::replicate};
    int64_t seed = -1;  // set by random_case(seed, v): rerun the case with that call alone
    int index = -1;     // free for the caller, e.g. the position in a sweep
    double window = 3.0, sigma = 0.1, pad = 0.0;
    std::vector<Dim> in_dims, w_dims, out_dims;
    int32_t margin = 64;  // sentinel bytes around every buffer, a multiple of 4
    Guard guard = Guard::none;  // guard pages for input and weights (not drawn by random_case)
    SampleFill in_fill, w_fill;
    bool w_symmetric = false;  // W(d) == W(-d) for every window offset d that has a partner, as for a Gaussian
    uint32_t data_seed = 0;    // seeds the contents of the input and the weights

    std::string describe() const;
};
std::ostream &operator<<(std::ostream &os, const Case &c);

/** Draws a case from the caller's stream. */
Case random_case(std::mt19937 &rng, Variant v);
/** Draws a case from its own stream seeded with seed, and records the seed. */
Case random_case(uint32_t seed, Variant v);

/** The buffers of a case, input and weights filled, output holding the sentinel. */
struct CaseBuffers {
    TestBuffer in, w, out;
};
CaseBuffers make_buffers(const Case &c);

/** Runs library and oracle on the case; checks status 0, identical bits, no byte outside the output
 *  region written, input and weights unmodified. Failures describe the case. */
testing::AssertionResult run_differential(const Case &c);
/** The same on buffers the caller has filled (from make_buffers(c), contents changed at will). */
testing::AssertionResult run_differential(const Case &c, CaseBuffers &b);

}  // namespace bilateral_test

#endif  // BILATERAL_TESTS_SUPPORT_BUFFERS_H
