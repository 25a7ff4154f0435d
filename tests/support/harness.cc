// Guarded buffers, bit-exact comparison, the random-case generator, the check against the oracle and
// the runtime hooks.
#include "support/harness.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace bilateral_test {
namespace {

const double kNaN = NAN, kInf = INFINITY;
const size_t kUnbacked = size_t{1} << 28;  // larger mappings get no sentinel
AllocationObserver *observer = nullptr;

// Varies with the position, so that a shifted or copied block does not look untouched.
uint8_t sentinel(size_t i) { return static_cast<uint8_t>(0xA7u ^ (i * 0x3Du) ^ (i >> 7)); }

uint8_t *address(const Buffer &b, const int *pos) {
    int64_t e = 0;
    for (int d = 0; d < b.dimensions(); ++d) e += (int64_t{pos[d]} - b.dim(d).min()) * b.dim(d).stride();
    return b.raw_buffer()->host + e * b.type().bytes();
}

// No expression below makes two unsequenced draws: the order of draws must not depend on the compiler.
int32_t log_uniform(Choices &c, int32_t lo, int32_t hi) {  // lo >= 1
    return std::min(hi, static_cast<int32_t>(lo * std::pow((hi + 1.0) / lo, c.unit())));
}

// Mostly small, often a landmark +-1 (vector, block and tile widths), sometimes large.
int32_t extent(Choices &c, std::initializer_list<int32_t> marks, int32_t small, int32_t large) {
    const uint32_t r = c.below(10);
    const int32_t e = r < 6 ? log_uniform(c, 1, small) : r == 9 ? log_uniform(c, 1, large) : c.pick(marks);
    return r < 6 || r == 9 ? e : std::max(1, e + c.in(-1, 1));
}

// Rows of `width` elements: sometimes padded, sometimes flipped (negative stride).
int32_t row_stride(Choices &c, int32_t width) {
    const int32_t s = std::max(width, 1) + (c.percent(40) ? c.in(1, 17) : 0);
    return c.percent(25) ? -s : s;
}

// RGB dimensions: channel planes, or each row holding its channels one after another.
Dims with_channels(Choices &c, halide_dimension_t x, halide_dimension_t y, int32_t c_min, int32_t channels) {
    const int32_t w = std::max(x.extent, 1), h = std::max(y.extent, 1);
    int32_t cs;
    if (c.percent(70)) {
        y.stride = row_stride(c, w);
        cs = (h - 1) * std::abs(y.stride) + w + (c.percent(40) ? c.in(1, 33) : 0);
    } else {
        cs = w + (c.percent(40) ? c.in(1, 9) : 0);
        y.stride = channels * cs + (c.percent(40) ? c.in(1, 9) : 0);
        if (c.percent(25)) y.stride = -y.stride;
    }
    if (c.percent(25)) cs = -cs;
    return {x, y, {c_min, channels, cs}};
}

// Pixels side by side x_stride apart, each holding its channels next to one another (RGB) or its one
// sample (gray), often with a spare sample after them as alpha; sometimes flipped in x or y.
void interleave(Choices &c, Dims &d) {
    const bool rgb = d.size() > 2;
    int32_t xs = (rgb ? d[2].extent : 1) + c.in(rgb ? 0 : 1, 1);
    if (c.percent(20)) xs = -xs;
    d[0].stride = xs;
    d[1].stride = std::max(d[0].extent, 1) * std::abs(xs) + (c.percent(30) ? c.in(1, 7) : 0);
    if (c.percent(20)) d[1].stride = -d[1].stride;
    if (rgb) d[2].stride = 1;
}

// The input's range in one dimension against the output's [omin, omin + oext): around it (0),
// overlapping it, often narrower than the window (1), or wholly beside it, up to a window away (2).
halide_dimension_t place(Choices &c, int mode, int32_t omin, int32_t oext, int32_t n) {
    const int32_t span = std::max(oext, 1);
    if (mode == 0) {
        const int32_t ext = span + (c.percent(50) ? 0 : log_uniform(c, 1, 2 * n + 8));
        return {omin - c.in(0, ext - span), ext, 1};
    }
    if (mode == 1) {
        const int32_t ext = c.percent(25) ? c.in(1, std::max(n, 1)) : log_uniform(c, 1, span + 2 * n + 16);
        return {omin + c.in(-(ext - 1), span - 1), ext, 1};
    }
    const int32_t ext = log_uniform(c, 1, 40);
    const int32_t gap = c.in(0, n + 3);
    return {c.percent(50) ? omin - ext - gap : omin + span + gap, ext, 1};
}

}  // namespace

Mapped::Mapped(halide_type_t type, const Dims &dims, Guard guard, int64_t margin) {
    int64_t lo = 0, hi = 0, span = type.bytes();
    for (const halide_dimension_t &d : dims) {
        const int64_t reach = int64_t{d.extent - 1} * d.stride;
        span = d.extent <= 0 ? 0 : span;
        lo += std::min<int64_t>(reach, 0);
        hi += std::max<int64_t>(reach, 0);
    }
    span *= hi - lo + 1;
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_ = (static_cast<size_t>(span + 2 * margin) + page_ - 1) / page_ * page_;
    map_ = static_cast<uint8_t *>(mmap(nullptr, size_ + 2 * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    data_ = map_ + page_;
    if (map_ == MAP_FAILED || mprotect(data_, size_, PROT_READ | PROT_WRITE) != 0) throw std::runtime_error("mmap");
    reset();
    const int64_t start = guard == Guard::before ? 0 : guard == Guard::after ? int64_t(size_) - span : margin;
    view = Buffer(type, data_ + start - (span ? lo * type.bytes() : 0), dims);
}

Mapped::~Mapped() { munmap(map_, size_ + 2 * page_); }

std::vector<uint8_t> Mapped::bytes() const { return size_ > kUnbacked ? std::vector<uint8_t>() : std::vector<uint8_t>(data_, data_ + size_); }

void Mapped::reset() { for (size_t i = 0; i < size_ && size_ <= kUnbacked; ++i) data_[i] = sentinel(i); }

std::string Mapped::stray_writes() const {
    std::vector<uint8_t> b = bytes();
    view.for_each_element([&](const int *pos) {
        const size_t at = static_cast<size_t>(address(view, pos) - data_);
        for (size_t i = at; i < at + view.type().bytes() && i < b.size(); ++i) b[i] = sentinel(i);
    });
    size_t i = 0;
    while (i < b.size() && b[i] == sentinel(i)) ++i;
    return i == b.size() ? "" : "a byte outside the region changed, at host " + std::to_string(data_ + i - view.raw_buffer()->host);
}

bool same_sample(const Buffer &a, const Buffer &b, const int *pos) {
    float fa = 0, fb = 0;  // a byte fills the lowest byte of a zero float
    std::memcpy(&fa, address(a, pos), a.type().bytes());
    std::memcpy(&fb, address(b, pos), a.type().bytes());
    return std::memcmp(&fa, &fb, 4) == 0 || (a.type().bits == 32 && std::isnan(fa) && std::isnan(fb));
}

testing::AssertionResult same_samples(const Buffer &expected, const Buffer &actual,
                                      const std::function<bool(const int *)> &excused) {
    int64_t differ = 0;
    std::ostringstream first;
    expected.for_each_element([&](const int *pos) {
        if (same_sample(expected, actual, pos) || (excused && excused(pos)) || ++differ > 4) return;
        uint32_t e = 0, a = 0;  // the bits
        std::memcpy(&e, address(expected, pos), expected.type().bytes());
        std::memcpy(&a, address(actual, pos), expected.type().bytes());
        first << " at (" << pos[0] << ", " << pos[1] << ", " << (expected.dimensions() > 2 ? pos[2] : 0) << ") 0x" << std::hex << e << " != 0x" << a << std::dec;
    });
    if (differ == 0) return testing::AssertionSuccess();
    return testing::AssertionFailure() << differ << " samples differ:" << first.str();
}

void fill(const Buffer &b, const std::function<double()> &draw) {
    b.for_each_element([&](const int *pos) {
        const float v = static_cast<float>(draw());
        const uint8_t u8 = b.type().bits == 8 ? static_cast<uint8_t>(v) : 0;
        const uint16_t u16 = b.type().bits == 16 ? static_cast<uint16_t>(v) : 0;
        const void *bytes = b.type().bits == 8 ? static_cast<const void *>(&u8) : b.type().bits == 16 ? static_cast<const void *>(&u16) : &v;
        std::memcpy(address(b, pos), bytes, b.type().bytes());
    });
}

halide_type_t type_of(Sample s) {
    return s == Sample::f32 ? halide_type_of<float>() : s == Sample::u8 ? halide_type_of<uint8_t>() : halide_type_of<uint16_t>();
}

std::string dims_text(const Dims &dims) {
    std::ostringstream text;
    for (const halide_dimension_t &d : dims) text << " [" << d.min << " +" << d.extent << " *" << d.stride << "]";
    return text.str();
}

Trial make_trial(Variant v, double window, double sigma, double pad, const Dims &in, const Dims &w, const Dims &out,
                 Guard guard, int64_t margin) {
    const halide_type_t type = type_of(v.sample);
    std::ostringstream what;
    what << variant_name(v) << ": window " << window << " (N " << ref_truncate_sat(window) << "), sigma " << sigma
         << ", pad " << pad << (guard == Guard::none ? "" : guard == Guard::before ? ", guard before" : ", guard after");
    for (const Dims *dims : {&in, &w, &out}) what << (dims == &in ? "; input" : dims == &w ? "; weights" : "; output") << dims_text(*dims);
    return {v, window, sigma, pad, std::make_unique<Mapped>(type, in, guard, margin),
            std::make_unique<Mapped>(halide_type_of<float>(), w, guard, margin),
            std::make_unique<Mapped>(type, out, Guard::none, margin), what.str()};
}

std::vector<Variant> rounded_variants() {
    std::vector<Variant> integer;
    for (const Variant &v : all_variants()) {
        if (v.sample != Sample::f32) integer.push_back(v);
    }
    return integer;
}

// Range sigma: realistic for the sample range, sometimes negative, zero, tiny, huge or NaN.
double draw_sigma(Choices &c, Sample s) {
    const double top = s == Sample::u16 ? 65535 : 255;
    double sigma = s != Sample::f32 ? top / 127.5 * std::pow(30.0, c.unit()) : 0.01 * std::pow(100.0, c.unit());
    if (c.percent(5)) sigma = -sigma;
    if (c.percent(6)) sigma = c.pick({0.0, 1e-30, 1e-20, 1e30, kNaN, kInf});
    return sigma;
}

Trial random_trial(Choices &c, Variant v, Guard guard, const std::string &label, bool rounded, bool strided) {
    // Integer samples run up to `top`; their sigmas, pads and bands scale with it.
    const bool rgb = v.layout == Layout::rgb, integer = v.sample != Sample::f32;
    const double top = v.sample == Sample::u16 ? 65535 : 255;
    // Window: whole sizes, even ones included; some fractional; a few with no taps at all.
    const uint32_t wr = c.below(50);
    const double window = wr < 40 ? c.in(1, 15) : wr < 46 ? 1 + 15 * c.unit() : wr < 49 ? -2 + 3 * c.unit() : c.pick({0.0, -2.0, 0.5, kNaN});
    const int32_t n = std::max(ref_truncate_sat(window), 0);
    double sigma = draw_sigma(c, v.sample);
    // Float samples are sometimes tiny (their products with tiny weights underflow to +-0) or huge
    // (their squared differences overflow), often with a range sigma whose 2 sigma^2 is infinite.
    const bool tiny = !integer && c.percent(15), tiny_signed = c.percent(50);
    if (tiny && c.percent(30)) sigma = c.pick({1e30, kInf});
    // Pad value: mostly in range; else NaN, infinities, values an integer pad must wrap and truncate.
    double pad = integer ? c.in(0, static_cast<int32_t>(top)) : c.unit();
    if (c.percent(20)) {
        pad = c.pick({kNaN, kInf, -kInf, -1.0, -5.0, 256.0, 300.0, 1e10, -1e10, 255.9, 200.7, 1e40, 65536.0, 70000.0, 65535.9,
                      -0.0, -1e-30, 1e-40});
    }

    // Output: mins near 0, within +-1000 or near +-2^30; extents bounded for the oracle's sake.
    int32_t w = extent(c, {1, 7, 16, 32, 128, 512}, 40, 1100), h = extent(c, {1, 2, 4, 32, 64}, 24, 70);
    const int32_t budget = std::min(6144, 150000 / std::max(1, n * n));
    w = std::min(w, budget);
    h = std::min(h, std::max(1, budget / w));
    if (c.percent(1)) (c.percent(50) ? w : h) = 0;
    const auto draw_min = [&c] {
        const uint32_t r = c.below(100);
        const int32_t near = r < 70 ? c.in(-1000, 1000) : r < 90 ? 0 : c.in(-5, 5);
        return r < 97 ? near : near + (r % 2 ? 1 : -1) * ((int32_t{1} << 30) - 4000);
    };
    const halide_dimension_t ox{draw_min(), w, 1}, oy{draw_min(), h, 0};
    // Input: around the output (40 %), overlapping it (45 %), or beside it in x or in y.
    const uint32_t mode = c.below(40);
    const int m = mode < 16 ? 0 : 1, beside = mode < 34 ? -1 : int(mode % 2);  // 0: in x, 1: in y
    const halide_dimension_t ix = place(c, beside == 0 ? 2 : m, ox.min, ox.extent, n),
                             iy = place(c, beside == 1 ? 2 : m, oy.min, oy.extent, n);
    Dims in = {ix, iy}, out = {ox, oy};
    if (rgb) {
        const int32_t channels = c.percent(60) ? 3 : c.in(1, 4), c_min = c.percent(75) ? 0 : 1;
        in = with_channels(c, ix, iy, c_min, channels);
        out = with_channels(c, ox, oy, 0, 3);
    } else {
        in[1].stride = row_stride(c, ix.extent);
        out[1].stride = row_stride(c, ox.extent);
    }
    if ((rounded || strided) && c.percent(60)) {
        interleave(c, in);
        interleave(c, out);
    }
    // Weights cover absolute [0, N)^2, often from negative mins and with spare columns and rows.
    Dims wd(2);
    for (halide_dimension_t &d : wd) {
        d.min = n == 0 ? c.in(-3, 3) : c.percent(30) ? -c.in(1, 3) : 0;
        d.extent = std::max(1, n - d.min + (c.percent(30) ? c.in(1, 3) : 0));
        d.stride = 1;
    }
    wd[1].stride = row_stride(c, wd[0].extent);
    Trial t = make_trial(v, window, sigma, pad, in, wd, out, guard, 4 * c.in(16, 23));
    t.what = label + ", " + t.what + (rounded ? ", rounded" : "");
    t.rounded = rounded;

    // Samples: the full range, a narrow band (8-bit) or a wide one (float), or a few levels (flat
    // areas with steps); floats sometimes with NaN and infinities.
    const uint32_t sr = c.below(20);
    const double lo = sr >= 4 ? 0.0 : integer ? c.in(0, static_cast<int32_t>(top) - 20) : -100.0;
    const double span = sr >= 4 ? (integer ? top : 1.0) : integer ? 20.0 : 200.0;
    const int32_t levels = sr >= 16 ? c.in(2, 5) : 0;
    // Float samples sometimes hold a rectangle of negative or non-finite values, so that some blocks
    // of a call may leave zero-weight taps out and others may not.
    const bool specials = !integer && c.percent(10);
    fill(t.in->view, [&]() -> double {
        if (specials && c.below(50) == 0) return c.pick({kNaN, kInf, -kInf});
        if (tiny) {
            const double sign = tiny_signed && c.percent(50) ? -1.0 : 1.0;
            return sign * c.pick({0.0, 1e-30, 1e-38, 1e-40, 1e-45, 0.5, 3e19});
        }
        if (levels > 0) return lo + span * c.below(levels) / (levels - 1);
        return integer ? lo + c.below(static_cast<uint32_t>(span) + 1) : lo + span * c.unit();
    });
    if (!integer && c.percent(25)) {
        Halide::Runtime::Buffer<float> S(*t.in->view.raw_buffer());
        const int32_t x0 = c.in(S.dim(0).min(), S.dim(0).max()), y0 = c.in(S.dim(1).min(), S.dim(1).max());
        const int32_t wx = c.in(1, 40), wy = c.in(1, 40);
        const float odd = static_cast<float>(c.pick({-1.0, -0.0, -1e-30, -1e-40, kNaN, kInf, -kInf}));
        S.for_each_element([&](const int *pos) {
            if (pos[0] >= x0 && pos[0] - x0 < wx && pos[1] >= y0 && pos[1] - y0 < wy) S(pos) = odd;
        });
    }
    // Weights in [0, 1), sometimes from -0.5, all zero, subnormal or tiny.
    const uint32_t wk = c.below(100);
    const double w_lo = wk >= 80 && wk < 93 ? -0.5 : 0.0,
                 w_scale = wk < 93 ? 1.0 : wk < 96 ? 0.0 : wk < 98 ? 1e-39 : 1e-20;
    fill(t.w->view, [&] { return w_scale * (w_lo + (1 - w_lo) * c.unit()); });
    // Half the time point-symmetric, W(d) == W(-d) wherever -d is in the window, as for a Gaussian
    // (tap (i, j) pairs with (r - i, r - j), r = -2 off); some of those with one tap changed afterwards.
    if (c.percent(50)) {
        Halide::Runtime::Buffer<float> W(*t.w->view.raw_buffer());
        const int32_t r = -2 * ref_scalars(window, sigma, pad).off;
        for (int32_t k = 0; k < n * n; ++k) {
            const int32_t i = k % n, j = k / n;
            if (r - i < n && r - j < n && k < (r - j) * n + r - i) W(r - i, r - j) = W(i, j);
        }
        if (n > 1 && c.percent(30)) {
            const int32_t i = c.in(0, n - 1);
            W(i, c.in(0, n - 1)) = static_cast<float>(c.unit());
        }
    }
    // Often zeros outside a window shape: a disc of radius N / 2 around the centre, one row, one
    // column, a cross, or scattered; the zeros +0, -0 or either; sometimes the last weight kept
    // negative.
    if (n > 1 && c.percent(40)) {
        Halide::Runtime::Buffer<float> W(*t.w->view.raw_buffer());
        const int32_t off = ref_scalars(window, sigma, pad).off, r = n / 2;
        const uint32_t shape = c.below(5), zeros = c.below(3);
        const int32_t row = c.in(0, n - 1), column = c.in(0, n - 1);
        for (int32_t j = 0; j < n; ++j) {
            for (int32_t i = 0; i < n; ++i) {
                const int32_t di = i + off, dj = j + off;
                const bool kept = shape == 0   ? di * di + dj * dj <= r * r
                                  : shape == 1 ? j == row
                                  : shape == 2 ? i == column
                                  : shape == 3 ? j == row || i == column
                                               : c.percent(50);
                const bool minus = zeros == 1 || (zeros == 2 && c.percent(50));
                if (!kept) W(i, j) = minus ? -0.0f : 0.0f;
            }
        }
        // The last tap run: a product that rounds to -0 there stays in the sums.
        int32_t last = n * n - 1;
        while (last > 0 && W(last % n, last / n) == 0.0f) --last;
        if (c.percent(20)) W(last % n, last / n) = -static_cast<float>(w_scale * c.unit());
    }
    return t;
}

Trial random_joint_trial(Choices &c, Variant v, Layout guide_layout, Sample guide_sample, Guard guard,
                         const std::string &label, bool rounded) {
    Trial t = random_trial(c, v, guard, label, rounded, true);
    t.joint = true;
    t.sigma = draw_sigma(c, guide_sample);
    const bool integer = guide_sample != Sample::f32;
    const double top = guide_sample == Sample::u16 ? 65535 : 255;
    // Float guides are sometimes tiny or huge (squared differences that underflow or overflow), with a
    // range sigma to match.
    const bool odd_values = !integer && c.percent(15);
    if (odd_values && c.percent(30)) t.sigma = c.pick({1e-30, 1e30, kInf});
    std::ostringstream what;
    what << ", joint, sigma " << t.sigma;
    if (guide_layout == v.layout && guide_sample == v.sample && c.percent(25)) {
        t.guide_is_input = true;
        t.what += what.str() + ", the input as guide";
        return t;
    }
    // The input's region, often with more columns and rows on either side.
    const auto around = [&c](halide_dimension_t d) {
        const int32_t before = c.percent(40) ? c.in(1, 9) : 0, after = c.percent(40) ? c.in(1, 9) : 0;
        return halide_dimension_t{d.min - before, d.extent + before + after, 1};
    };
    const halide_buffer_t &in = *t.in->view.raw_buffer();
    const halide_dimension_t gx = around(in.dim[0]), gy = around(in.dim[1]);
    Dims g = {gx, gy};
    if (guide_layout == Layout::rgb) {
        const int32_t channels = c.percent(60) ? 3 : c.in(1, 4), c_min = c.percent(75) ? 0 : c.in(-2, 2);
        g = with_channels(c, gx, gy, c_min, channels);
    } else {
        g[1].stride = row_stride(c, gx.extent);
    }
    if (c.percent(50)) interleave(c, g);
    t.guide = std::make_unique<Mapped>(type_of(guide_sample), g, guard, 4 * c.in(16, 23));
    // The full range, a narrow band or a few levels; float guides sometimes sprinkled with NaN and
    // infinities, or holding a rectangle of negative or non-finite values.
    const uint32_t sr = c.below(20);
    const double lo = sr >= 4 ? 0.0 : integer ? c.in(0, static_cast<int32_t>(top) - 20) : -100.0;
    const double span = sr >= 4 ? (integer ? top : 1.0) : integer ? 20.0 : 200.0;
    const int32_t levels = sr >= 16 ? c.in(2, 5) : 0;
    const bool specials = !integer && c.percent(10);
    fill(t.guide->view, [&]() -> double {
        if (specials && c.below(50) == 0) return c.pick({kNaN, kInf, -kInf});
        if (odd_values) return (c.percent(20) ? -1.0 : 1.0) * c.pick({0.0, 1e-30, 1e-40, 1e-45, 0.5, 3e19});
        if (levels > 0) return lo + span * c.below(levels) / (levels - 1);
        return integer ? lo + c.below(static_cast<uint32_t>(span) + 1) : lo + span * c.unit();
    });
    if (!integer && c.percent(25)) {
        const int32_t x0 = c.in(gx.min, gx.min + gx.extent - 1), y0 = c.in(gy.min, gy.min + gy.extent - 1);
        const int32_t wx = c.in(1, 40), wy = c.in(1, 40);
        const float value = static_cast<float>(c.pick({-1.0, -0.0, -1e-30, kNaN, kInf, -kInf}));
        Halide::Runtime::Buffer<float> G(*t.guide->view.raw_buffer());
        G.for_each_element([&](const int *pos) {
            if (pos[0] >= x0 && pos[0] - x0 < wx && pos[1] >= y0 && pos[1] - y0 < wy) G(pos) = value;
        });
    }
    what << "; guide " << (guide_sample == Sample::f32 ? "float32" : integer && top == 255 ? "uint8" : "uint16")
         << dims_text(g);
    t.what += what.str();
    return t;
}

testing::AssertionResult matches_oracle(Trial &t) {
    const std::vector<uint8_t> in = t.in->bytes(), w = t.w->bytes();
    const std::vector<uint8_t> guide = t.guide ? t.guide->bytes() : std::vector<uint8_t>();
    const int status = t.call();
    const halide_buffer_t &o = *t.out->view.raw_buffer();
    Mapped expected(o.type, Dims(o.dim, o.dim + o.dimensions));
    if (t.joint) {
        ref_filter_joint(t.v.padding, t.in->view, t.guide_buffer(), t.w->view, t.window, t.sigma, t.pad, expected.view,
                         t.rounded);
    } else {
        ref_filter(t.v, t.in->view, t.w->view, t.window, t.sigma, t.pad, expected.view, t.rounded);
    }
    const testing::AssertionResult same = same_samples(expected.view, t.out->view);
    std::string problem = status != 0 ? "status " + std::to_string(status) + "; " : t.out->stray_writes();
    if (t.in->bytes() != in || t.w->bytes() != w) problem += "; input or weights changed";
    if (t.guide && t.guide->bytes() != guide) problem += "; guide changed";
    if (same && problem.empty()) return same;
    return testing::AssertionFailure() << problem << (same ? "" : same.message()) << "\n  " << t.what;
}

// Blocks carry their size in a 64-byte header before the aligned bytes handed out.
AllocationObserver::AllocationObserver(int64_t fail_at)
    : fail_at(fail_at), previous_malloc(halide_set_custom_malloc([](void *, size_t bytes) -> void * {
          if (++observer->mallocs == observer->fail_at) return ++observer->failures, nullptr;
          if (bytes > size_t{1} << 60) return nullptr;  // as std::aligned_alloc would
          auto *block = static_cast<uint8_t *>(std::aligned_alloc(64, (bytes + 127) / 64 * 64));
          if (block == nullptr) return nullptr;
          std::memcpy(block, &bytes, sizeof bytes);
          const int64_t live = observer->live_bytes += static_cast<int64_t>(bytes);
          for (int64_t peak = observer->peak_bytes; peak < live && !observer->peak_bytes.compare_exchange_weak(peak, live);) {}
          return block + 64;
      })),
      previous_free(halide_set_custom_free([](void *, void *p) {
          if (p == nullptr) return;
          size_t bytes = 0;
          std::memcpy(&bytes, static_cast<uint8_t *>(p) - 64, sizeof bytes);
          observer->live_bytes -= static_cast<int64_t>(bytes), ++observer->frees;
          std::free(static_cast<uint8_t *>(p) - 64);
      })) {
    observer = this;
}

AllocationObserver::~AllocationObserver() {
    halide_set_custom_malloc(previous_malloc);
    halide_set_custom_free(previous_free);
}

int serial_do_par_for(void *user_context, halide_task_t task, int min, int size, uint8_t *closure) {
    for (int i = min; i < min + size; ++i) task(user_context, i, closure);
    return 0;
}

int std_thread_do_par_for(void *user_context, halide_task_t task, int min, int size, uint8_t *closure) {
    std::atomic<int> next{min};
    const auto work = [&] { for (int i = next++; i < min + size; i = next++) task(user_context, i, closure); };
    std::vector<std::thread> workers;
    for (int t = 1; t < std::min(size, 4); ++t) workers.emplace_back(work);
    work();
    for (std::thread &w : workers) w.join();
    return 0;
}

}  // namespace bilateral_test
