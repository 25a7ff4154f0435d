// Guarded test buffers, bit-exact comparison and random differential cases.
#include "support/buffers.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <iomanip>
#include <limits>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include <sys/mman.h>
#include <unistd.h>

#include "bilateral_filter.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BILATERAL_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(BILATERAL_TEST_ASAN)
#define BILATERAL_TEST_ASAN 1
#endif
#ifdef BILATERAL_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace bilateral_test {
namespace {

// The byte every untouched allocation byte holds: varies with the position so that a shifted or
// copied block does not look untouched.
uint8_t sentinel(size_t i) { return static_cast<uint8_t>(0xA7u ^ (i * 0x3Du) ^ (i >> 7)); }

int64_t element_size(Sample t) { return t == Sample::f32 ? 4 : 1; }

uint32_t bits_of(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

std::string show(float f) {
    std::ostringstream os;
    os << "0x" << std::hex << std::uppercase << std::setw(8) << std::setfill('0') << bits_of(f) << std::dec << " ("
       << std::setprecision(9) << f << ")";
    return os.str();
}

std::string show(uint8_t b) { return std::to_string(b); }

// Distributions written out on the raw engine, so a seed gives the same case with any library.
double unit(std::mt19937 &rng) { return (rng() >> 8) * 0x1p-24; }
int32_t uniform(std::mt19937 &rng, int32_t lo, int32_t hi) {  // inclusive
    return lo + static_cast<int32_t>(rng() % static_cast<uint32_t>(int64_t{hi} - lo + 1));
}
double uniform_real(std::mt19937 &rng, double lo, double hi) { return lo + (hi - lo) * unit(rng); }
bool chance(std::mt19937 &rng, double p) { return unit(rng) < p; }
int32_t log_uniform(std::mt19937 &rng, int32_t lo, int32_t hi) {  // lo >= 1
    const double v = std::exp(uniform_real(rng, std::log(lo), std::log(hi + 1.0)));
    return std::min(hi, std::max(lo, static_cast<int32_t>(v)));
}
template <typename T>
T pick(std::mt19937 &rng, std::initializer_list<T> options) {
    return options.begin()[uniform(rng, 0, static_cast<int32_t>(options.size()) - 1)];
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Mostly small, often a landmark +-1 (tile, block and chunk sizes), sometimes large.
int32_t draw_extent(std::mt19937 &rng, std::initializer_list<int32_t> marks, int32_t small_max, int32_t large_max) {
    const double r = unit(rng);
    if (r < 0.6) return log_uniform(rng, 1, small_max);
    if (r < 0.9) return std::max(1, pick(rng, marks) + uniform(rng, -1, 1));
    return log_uniform(rng, 1, large_max);
}

int32_t row_stride(std::mt19937 &rng, int32_t width) {
    const int32_t s = std::max(width, 1) + (chance(rng, 0.4) ? uniform(rng, 1, 17) : 0);
    return chance(rng, 0.25) ? -s : s;
}

// x, y and channel dimensions with x contiguous: channel planes, or each row holding its channels
// one after another; padded and flipped strides in both.
std::vector<Dim> three_d(std::mt19937 &rng, Dim x, Dim y, int32_t c_min, int32_t c_extent) {
    const int32_t w = std::max(x.extent, 1);
    const int32_t h = std::max(y.extent, 1);
    int32_t cs;
    if (chance(rng, 0.7)) {
        y.stride = row_stride(rng, w);
        cs = (h - 1) * std::abs(y.stride) + w + (chance(rng, 0.4) ? uniform(rng, 1, 33) : 0);
    } else {
        cs = w + (chance(rng, 0.4) ? uniform(rng, 1, 9) : 0);
        y.stride = c_extent * cs + (chance(rng, 0.4) ? uniform(rng, 1, 9) : 0);
        if (chance(rng, 0.25)) y.stride = -y.stride;
    }
    if (chance(rng, 0.25)) cs = -cs;
    return {x, y, Dim{c_min, c_extent, cs}};
}

enum class Placement { inside, overlapping, outside };

// The input's interval in one dimension relative to the output's [omin, omin + oext).
Dim place(std::mt19937 &rng, Placement p, int32_t omin, int32_t oext, int32_t n) {
    const int32_t span = std::max(oext, 1);
    int32_t ext, min;
    switch (p) {
        case Placement::inside:
            ext = span + (chance(rng, 0.5) ? 0 : log_uniform(rng, 1, 2 * n + 8));
            min = omin - uniform(rng, 0, ext - span);
            break;
        case Placement::overlapping:
            ext = chance(rng, 0.25) ? uniform(rng, 1, std::max(n, 1)) : log_uniform(rng, 1, span + 2 * n + 16);
            min = omin + uniform(rng, -(ext - 1), span - 1);
            break;
        case Placement::outside:
        default: {
            ext = log_uniform(rng, 1, 40);
            const int32_t gap = uniform(rng, 0, n + 3);
            min = chance(rng, 0.5) ? omin - ext - gap : omin + span + gap;
            break;
        }
    }
    return Dim{min, ext, 1};
}

std::string describe_dims(const std::vector<Dim> &dims) {
    std::ostringstream os;
    const char *names[] = {"x", "y", "c"};
    for (size_t d = 0; d < dims.size(); ++d) {
        os << (d ? " " : "") << names[d] << "[min " << dims[d].min << ", extent " << dims[d].extent << ", stride "
           << dims[d].stride << "]";
    }
    return os.str();
}

std::string describe_fill(const SampleFill &f) {
    std::ostringstream os;
    os << "[" << f.lo << ", " << f.hi << "]";
    if (f.levels > 0) os << " in " << f.levels << " levels";
    if (f.special > 0) os << ", NaN/inf with chance " << f.special;
    return os.str();
}

using PlainEntry = int (*)(halide_buffer_t *, halide_buffer_t *, double, double, halide_buffer_t *);
using PaddedEntry = int (*)(halide_buffer_t *, halide_buffer_t *, double, double, double, halide_buffer_t *);
// Indexed [layout][sample type].
const PaddedEntry kConstant[2][2] = {{BilateralFilter_gray_single_constant, BilateralFilter_gray_uint8_constant},
                                     {BilateralFilter_RGB_single_constant, BilateralFilter_RGB_uint8_constant}};
const PlainEntry kReplicate[2][2] = {{BilateralFilter_gray_single_replicate, BilateralFilter_gray_uint8_replicate},
                                     {BilateralFilter_RGB_single_replicate, BilateralFilter_RGB_uint8_replicate}};
const PlainEntry kSymmetric[2][2] = {{BilateralFilter_gray_single_symmetric, BilateralFilter_gray_uint8_symmetric},
                                     {BilateralFilter_RGB_single_symmetric, BilateralFilter_RGB_uint8_symmetric}};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Storage

Storage::Storage(size_t bytes, bool guarded) {
    if (!guarded) {
        data_ = new uint8_t[std::max<size_t>(bytes, 1)];
        size_ = bytes;
        return;
    }
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t inner = std::max<size_t>((bytes + page - 1) / page, 1) * page;
    mapping_size_ = inner + 2 * page;
    mapping_ = mmap(nullptr, mapping_size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED) throw std::runtime_error("Storage: mmap failed");
    data_ = static_cast<uint8_t *>(mapping_) + page;
    if (mprotect(data_, inner, PROT_READ | PROT_WRITE) != 0) {
        munmap(mapping_, mapping_size_);
        throw std::runtime_error("Storage: mprotect failed");
    }
    size_ = inner;
}

Storage::Storage(Storage &&other) noexcept { *this = std::move(other); }

Storage &Storage::operator=(Storage &&other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(mapping_, other.mapping_);
    std::swap(mapping_size_, other.mapping_size_);
    return *this;
}

Storage::~Storage() {
    if (mapping_ != nullptr) {
        munmap(mapping_, mapping_size_);
    } else {
        delete[] data_;
    }
}

// ---------------------------------------------------------------------------------------------
// TestBuffer

TestBuffer::TestBuffer(Sample type, std::vector<Dim> dims, int32_t margin_bytes, Guard guard)
    : storage_(0, false), type_(type), margin_(margin_bytes) {
    const int64_t elem = element_size(type);
    if (dims.size() < 2 || dims.size() > 3) throw std::invalid_argument("TestBuffer: 2 or 3 dims");
    if (dims[0].stride != 1) throw std::invalid_argument("TestBuffer: x must be contiguous");
    if (margin_bytes < 0 || margin_bytes % elem != 0) {
        throw std::invalid_argument("TestBuffer: margin must be a multiple of the element size");
    }
    // Offsets of the region's extreme elements relative to the element at the mins.
    int64_t lo = 0, hi = 0;
    bool empty = false;
    for (const Dim &d : dims) {
        dims_.emplace_back(d.min, d.extent, d.stride);
        if (d.extent <= 0) {
            empty = true;
            continue;
        }
        const int64_t reach = int64_t{d.extent - 1} * d.stride;
        lo += std::min<int64_t>(reach, 0);
        hi += std::max<int64_t>(reach, 0);
    }
    const int64_t span = empty ? 0 : (hi - lo + 1) * elem;
    // A guarded side has no margin: the span starts at the first byte of the pages, or ends at the
    // last (the page-rounding slack then lies before the span).
    const int64_t margins = guard == Guard::none ? 2 * int64_t{margin_bytes} : margin_bytes;
    storage_ = Storage(static_cast<size_t>(margins + span), guard != Guard::none);
    const int64_t lead = guard == Guard::before  ? 0
                         : guard == Guard::after ? static_cast<int64_t>(storage_.size()) - span
                                                 : margin_bytes;
    for (size_t i = 0; i < storage_.size(); ++i) storage_[i] = sentinel(i);
    in_region_.assign(storage_.size(), 0);
    host_index_ = lead + (empty ? 0 : -lo * elem);

    buf_.host = storage_.data() + host_index_;
    buf_.type = type == Sample::f32 ? halide_type_t(halide_type_float, 32) : halide_type_t(halide_type_uint, 8);
    buf_.dimensions = static_cast<int32_t>(dims_.size());
    buf_.dim = dims_.data();

    for_each([&](int32_t x, int32_t y, int32_t c) {
        const int64_t at = byte_index(x, y, c);
        for (int64_t k = 0; k < elem; ++k) {
            if (in_region_[at + k]) throw std::invalid_argument("TestBuffer: strides alias elements");
            in_region_[at + k] = 1;
        }
    });
}

TestBuffer::~TestBuffer() {
    if (poisoned_) unpoison();
}

bool TestBuffer::empty() const {
    return std::any_of(dims_.begin(), dims_.end(), [](const halide_dimension_t &d) { return d.extent <= 0; });
}

int64_t TestBuffer::byte_index(int32_t x, int32_t y, int32_t c) const {
    const int32_t coord[3] = {x, y, c};
    int64_t e = 0;
    for (size_t d = 0; d < dims_.size(); ++d) {
        const halide_dimension_t &dm = dims_[d];
        if (coord[d] < dm.min || int64_t{coord[d]} >= int64_t{dm.min} + dm.extent) {
            throw std::out_of_range("TestBuffer: coordinate outside the region");
        }
        e += (int64_t{coord[d]} - dm.min) * dm.stride;
    }
    return host_index_ + e * element_size(type_);
}

float TestBuffer::f(int32_t x, int32_t y, int32_t c) const {
    if (type_ != Sample::f32) throw std::logic_error("TestBuffer: not a float buffer");
    float v;
    std::memcpy(&v, &storage_[byte_index(x, y, c)], sizeof v);
    return v;
}

uint8_t TestBuffer::u(int32_t x, int32_t y, int32_t c) const {
    if (type_ != Sample::u8) throw std::logic_error("TestBuffer: not an 8-bit buffer");
    return storage_[byte_index(x, y, c)];
}

void TestBuffer::set_f(int32_t x, int32_t y, int32_t c, float v) {
    if (type_ != Sample::f32) throw std::logic_error("TestBuffer: not a float buffer");
    std::memcpy(&storage_[byte_index(x, y, c)], &v, sizeof v);
}

void TestBuffer::set_u(int32_t x, int32_t y, int32_t c, uint8_t v) {
    if (type_ != Sample::u8) throw std::logic_error("TestBuffer: not an 8-bit buffer");
    storage_[byte_index(x, y, c)] = v;
}

void TestBuffer::for_each(const std::function<void(int32_t, int32_t, int32_t)> &fn) const {
    const bool has_c = dims_.size() == 3;
    const int32_t c0 = has_c ? dims_[2].min : 0;
    const int32_t cn = has_c ? dims_[2].extent : 1;
    for (int32_t c = 0; c < cn; ++c) {
        for (int32_t y = 0; y < dims_[1].extent; ++y) {
            for (int32_t x = 0; x < dims_[0].extent; ++x) {
                fn(dims_[0].min + x, dims_[1].min + y, c0 + c);
            }
        }
    }
}

void TestBuffer::fill(double v) {
    for_each([&](int32_t x, int32_t y, int32_t c) {
        if (type_ == Sample::f32) {
            set_f(x, y, c, static_cast<float>(v));
        } else {
            set_u(x, y, c, static_cast<uint8_t>(std::min(255.0, std::max(0.0, v))));
        }
    });
}

void TestBuffer::fill_random(std::mt19937 &rng, const SampleFill &how) {
    for_each([&](int32_t x, int32_t y, int32_t c) {
        double v;
        if (how.levels > 1) {
            v = how.lo + (how.hi - how.lo) * uniform(rng, 0, how.levels - 1) / (how.levels - 1);
        } else if (how.levels == 1 || how.hi <= how.lo) {
            v = how.lo;
        } else if (type_ == Sample::f32) {
            v = uniform_real(rng, how.lo, how.hi);
        } else {
            v = uniform(rng, static_cast<int32_t>(std::ceil(how.lo)), static_cast<int32_t>(how.hi));
        }
        if (type_ == Sample::u8) {
            set_u(x, y, c, static_cast<uint8_t>(std::min(255.0, std::max(0.0, v))));
            return;
        }
        if (how.special > 0 && chance(rng, how.special)) v = pick(rng, {kNaN, kInf, -kInf});
        set_f(x, y, c, static_cast<float>(v));
    });
}

bool TestBuffer::untouched_outside_region() const { return outside_changes().empty(); }

std::string TestBuffer::outside_changes() const {
    int64_t count = 0, first = -1;
    for (size_t i = 0; i < storage_.size(); ++i) {
        if (!in_region_[i] && storage_[i] != sentinel(i)) {
            if (first < 0) first = static_cast<int64_t>(i);
            ++count;
        }
    }
    if (count == 0) return std::string();
    std::ostringstream os;
    os << count << " byte(s) outside the region changed, the first at host " << std::showpos << (first - host_index_)
       << std::noshowpos << " bytes (allocation of " << storage_.size() << " bytes, margins " << margin_ << ")";
    return os.str();
}

void TestBuffer::poison_outside_region() {
#ifdef BILATERAL_TEST_ASAN
    size_t i = 0;
    while (i < storage_.size()) {
        size_t j = i;
        while (j < storage_.size() && !in_region_[j]) ++j;
        if (j > i) ASAN_POISON_MEMORY_REGION(storage_.data() + i, j - i);
        i = j + 1;
    }
    poisoned_ = true;
#endif
}

void TestBuffer::unpoison() {
#ifdef BILATERAL_TEST_ASAN
    if (storage_.size() != 0) ASAN_UNPOISON_MEMORY_REGION(storage_.data(), storage_.size());
#endif
    poisoned_ = false;
}

TestBuffer dense(Sample type, Layout layout, int32_t W, int32_t H, int32_t channels, int32_t x_min,
                 int32_t y_min) {
    std::vector<Dim> dims = {{x_min, W, 1}, {y_min, H, std::max(W, 1)}};
    if (layout == Layout::rgb) dims.push_back({0, channels, std::max(W, 1) * std::max(H, 1)});
    return TestBuffer(type, dims);
}

TestBuffer flat_weights(int32_t n, float value) {
    TestBuffer w(Sample::f32, {{0, n, 1}, {0, n, n}});
    w.fill(value);
    return w;
}

// ---------------------------------------------------------------------------------------------
// Comparison and dispatch

testing::AssertionResult same_samples(const TestBuffer &expected, const TestBuffer &actual) {
    if (expected.type() != actual.type() || expected.dimensions() != actual.dimensions()) {
        return testing::AssertionFailure() << "buffers differ in sample type or dimensions";
    }
    for (int d = 0; d < expected.dimensions(); ++d) {
        if (expected.dim(d).min != actual.dim(d).min || expected.dim(d).extent != actual.dim(d).extent) {
            return testing::AssertionFailure() << "buffers differ in the region of dimension " << d;
        }
    }
    const bool has_c = expected.dimensions() == 3;
    int64_t total = 0, mismatches = 0;
    std::ostringstream first;
    expected.for_each([&](int32_t x, int32_t y, int32_t c) {
        ++total;
        std::string want, got;
        if (expected.type() == Sample::f32) {
            const float e = expected.f(x, y, c), a = actual.f(x, y, c);
            if (bits_of(e) == bits_of(a) || (std::isnan(e) && std::isnan(a))) return;
            want = show(e);
            got = show(a);
        } else {
            const uint8_t e = expected.u(x, y, c), a = actual.u(x, y, c);
            if (e == a) return;
            want = show(e);
            got = show(a);
        }
        if (++mismatches > 8) return;
        first << "\n  (" << x << ", " << y;
        if (has_c) first << ", " << c;
        first << "): expected " << want << ", actual " << got;
    });
    if (mismatches == 0) return testing::AssertionSuccess();
    return testing::AssertionFailure() << mismatches << " of " << total << " samples differ; the first:" << first.str();
}

int call_library(Variant v, halide_buffer_t *in, halide_buffer_t *w, double window, double sigma, double pad,
                 halide_buffer_t *out) {
    const int l = v.layout == Layout::rgb ? 1 : 0;
    const int t = v.sample == Sample::u8 ? 1 : 0;
    switch (v.padding) {
        case Padding::constant:
            return kConstant[l][t](in, w, window, sigma, pad, out);
        case Padding::replicate:
            return kReplicate[l][t](in, w, window, sigma, out);
        case Padding::symmetric:
            return kSymmetric[l][t](in, w, window, sigma, out);
    }
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Random cases

std::string Case::describe() const {
    const RefScalars k = ref_scalars(window, sigma, pad);
    std::ostringstream os;
    os << std::setprecision(17) << variant_name(variant);
    if (seed >= 0) os << ", random_case(" << seed << "u, variant)";
    if (index >= 0) os << ", index " << index;
    os << "\n  window " << window << " (N " << k.N << ", off " << k.off << "), sigma " << sigma << " (R " << show(k.R)
       << ")";
    if (variant.padding == Padding::constant) {
        os << ", pad " << pad;
        if (variant.sample == Sample::u8) os << " (sample " << int{k.pad_u8} << ")";
    }
    os << "\n  input   " << describe_dims(in_dims) << ", samples " << describe_fill(in_fill) << "\n  weights "
       << describe_dims(w_dims) << ", values " << describe_fill(w_fill) << (w_symmetric ? ", point-symmetric" : "")
       << "\n  output  " << describe_dims(out_dims)
       << "\n  data_seed " << data_seed << ", margin " << margin;
    if (guard != Guard::none) os << ", input and weights " << (guard == Guard::before ? "after" : "before") << " a guard page";
    return os.str();
}

std::ostream &operator<<(std::ostream &os, const Case &c) { return os << c.describe(); }

Case random_case(std::mt19937 &rng, Variant v) {
    Case c;
    c.variant = v;
    const bool rgb = v.layout == Layout::rgb;
    const bool u8 = v.sample == Sample::u8;

    // Window: mostly whole sizes, some fractional, occasionally no taps at all (N <= 0, NaN).
    const double wr = unit(rng);
    if (wr < 0.80) {
        c.window = log_uniform(rng, 1, 15);
    } else if (wr < 0.92) {
        c.window = uniform_real(rng, 1.0, 16.0);
    } else if (wr < 0.98) {
        c.window = uniform_real(rng, -2.0, 1.0);
    } else {
        c.window = pick(rng, {0.0, -2.0, 0.5, kNaN});
    }
    const int32_t n = std::max(ref_truncate_sat(c.window), 0);

    // Output region, kept small enough for thousands of cases against the scalar oracle.
    int32_t w = draw_extent(rng, {1, 32, 128, 512}, 40, 1100);
    int32_t h = draw_extent(rng, {1, 2, 4, 32, 64}, 24, 140);
    const int32_t budget = std::min(6144, 150000 / std::max(1, n * n));
    w = std::min(w, budget);
    if (int64_t{w} * h > budget) h = std::max(1, budget / w);
    if (chance(rng, 0.01)) (chance(rng, 0.5) ? w : h) = 0;
    auto draw_min = [&] {
        const double r = unit(rng);
        return r < 0.7 ? uniform(rng, -1000, 1000) : r < 0.9 ? 0 : uniform(rng, -5, 5);
    };
    const Dim ox{draw_min(), w, 1};
    const Dim oy{draw_min(), h, 0};

    // Input: around, partly over, or entirely beside the output.
    const double pr = unit(rng);
    const Placement mode = pr < 0.4 ? Placement::inside : pr < 0.85 ? Placement::overlapping : Placement::outside;
    const bool outside_in_x = chance(rng, 0.5);
    const Placement px = mode == Placement::outside && !outside_in_x ? Placement::overlapping : mode;
    const Placement py = mode == Placement::outside && outside_in_x ? Placement::overlapping : mode;
    const Dim ix = place(rng, px, ox.min, ox.extent, n);
    Dim iy = place(rng, py, oy.min, oy.extent, n);

    if (rgb) {
        const int32_t channels = chance(rng, 0.6) ? 3 : uniform(rng, 1, 4);
        c.in_dims = three_d(rng, ix, iy, chance(rng, 0.75) ? 0 : 1, channels);
        c.out_dims = three_d(rng, ox, oy, 0, 3);
    } else {
        iy.stride = row_stride(rng, ix.extent);
        c.in_dims = {ix, iy};
        c.out_dims = {ox, Dim{oy.min, oy.extent, row_stride(rng, ox.extent)}};
    }

    // Weights: cover absolute [0, N)^2, often from negative mins and with spare columns and rows.
    auto weight_dim = [&] {
        const int32_t min = n == 0 ? uniform(rng, -3, 3) : chance(rng, 0.3) ? -uniform(rng, 1, 3) : 0;
        const int32_t extent = std::max(1, n - min + (chance(rng, 0.3) ? uniform(rng, 1, 3) : 0));
        return Dim{min, extent, 1};
    };
    const Dim wx = weight_dim();
    Dim wy = weight_dim();
    wy.stride = row_stride(rng, wx.extent);
    c.w_dims = {wx, wy};

    // Range sigma: realistic for the sample range, sometimes zero, tiny (R subnormal or 0) or huge.
    if (chance(rng, 0.06)) {
        c.sigma = pick(rng, {0.0, 1e-30, 1e-20, 1e30});
    } else {
        c.sigma = u8 ? std::exp(uniform_real(rng, std::log(2.0), std::log(60.0)))
                     : std::exp(uniform_real(rng, std::log(0.01), std::log(1.0)));
        if (chance(rng, 0.05)) c.sigma = -c.sigma;
    }

    // Pad value: in range mostly; NaN and infinities for float, out-of-range doubles for 8-bit.
    if (v.padding == Padding::constant) {
        if (u8) {
            c.pad = chance(rng, 0.8) ? uniform(rng, 0, 255)
                                     : pick(rng, {300.0, -1.0, 1e10, -1e10, 200.7, 255.9, 256.0, kNaN});
        } else {
            c.pad = chance(rng, 0.8) ? uniform_real(rng, 0.0, 1.0) : pick(rng, {kNaN, kInf, -kInf, -5.0, 1e40, 0.0});
        }
    }

    // Contents: smooth noise, flat areas with steps, narrow ranges; NaN and infinities sometimes.
    const double sr = unit(rng);
    if (u8) {
        if (sr < 0.6) {
            c.in_fill = SampleFill{0, 255, 0, 0};
        } else if (sr < 0.85) {
            const int32_t base = uniform(rng, 0, 235);
            c.in_fill = SampleFill{double(base), double(base + 20), 0, 0};
        } else {
            c.in_fill = SampleFill{0, 255, uniform(rng, 2, 5), 0};
        }
    } else {
        if (sr < 0.7) {
            c.in_fill = SampleFill{0, 1, 0, 0};
        } else if (sr < 0.9) {
            c.in_fill = SampleFill{0, 1, uniform(rng, 2, 5), 0};
        } else {
            c.in_fill = SampleFill{-100, 100, 0, 0};
        }
        if (chance(rng, 0.1)) c.in_fill.special = 0.02;
    }
    const double fr = unit(rng);
    c.w_fill = fr < 0.80   ? SampleFill{0, 1, 0, 0}
               : fr < 0.95 ? SampleFill{-0.5, 1, 0, 0}
               : fr < 0.98 ? SampleFill{0, 0, 0, 0}
                           : SampleFill{0, 1e-30, 0, 0};

    c.margin = 64 + 4 * uniform(rng, 0, 7);
    c.data_seed = rng();
    c.w_symmetric = chance(rng, 0.5);
    return c;
}

Case random_case(uint32_t seed, Variant v) {
    std::mt19937 rng(seed);
    Case c = random_case(rng, v);
    c.seed = seed;
    return c;
}

CaseBuffers make_buffers(const Case &c) {
    CaseBuffers b{TestBuffer(c.variant.sample, c.in_dims, c.margin, c.guard),
                  TestBuffer(Sample::f32, c.w_dims, c.margin, c.guard),
                  TestBuffer(c.variant.sample, c.out_dims, c.margin)};
    std::mt19937 rng(c.data_seed);
    b.in.fill_random(rng, c.in_fill);
    b.w.fill_random(rng, c.w_fill);
    if (c.w_symmetric) {
        // Offset (off + i, off + j) and its negation (i2 = -2 off - i) share a weight.
        const RefScalars k = ref_scalars(c.window, c.sigma, c.pad);
        for (int32_t j = 0; j < k.N; ++j) {
            for (int32_t i = 0; i < k.N; ++i) {
                const int32_t i2 = -2 * k.off - i, j2 = -2 * k.off - j;
                if (i2 >= 0 && i2 < k.N && j2 >= 0 && j2 < k.N && (j < j2 || (j == j2 && i < i2))) {
                    b.w.set_f(i2, j2, b.w.f(i, j));
                }
            }
        }
    }
    return b;
}

testing::AssertionResult run_differential(const Case &c) {
    CaseBuffers b = make_buffers(c);
    return run_differential(c, b);
}

testing::AssertionResult run_differential(const Case &c, CaseBuffers &b) {
    TestBuffer expected(c.variant.sample, c.out_dims, c.margin);
    const std::vector<uint8_t> in_before = b.in.bytes();
    const std::vector<uint8_t> w_before = b.w.bytes();

    // Under AddressSanitizer any access outside the three regions faults during the call.
    b.in.poison_outside_region();
    b.w.poison_outside_region();
    b.out.poison_outside_region();
    const int status = call_library(c.variant, b.in.raw(), b.w.raw(), c.window, c.sigma, c.pad, b.out.raw());
    b.in.unpoison();
    b.w.unpoison();
    b.out.unpoison();

    ref_filter(c.variant, b.in.raw(), b.w.raw(), c.window, c.sigma, c.pad, expected.raw());

    if (status != 0) return testing::AssertionFailure() << "status " << status << "\n" << c;
    if (b.in.bytes() != in_before) return testing::AssertionFailure() << "input modified\n" << c;
    if (b.w.bytes() != w_before) return testing::AssertionFailure() << "weights modified\n" << c;
    const std::string stray = b.out.outside_changes();
    if (!stray.empty()) return testing::AssertionFailure() << "output: " << stray << "\n" << c;
    testing::AssertionResult same = same_samples(expected, b.out);
    if (!same) return testing::AssertionFailure() << same.message() << "\n" << c;
    return testing::AssertionSuccess();
}

}  // namespace bilateral_test
