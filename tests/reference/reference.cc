// Scalar per-sample oracle: one output sample at a time, every read through the boundary rule.
#include "reference/reference.h"

#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>

namespace bilateral_test {
namespace {

float from_bits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Constants of the exponential, by bit pattern.
const float kLog2e = from_bits(0x3FB8AA3Bu);     // scale into base 2
const float kMinusLn2 = from_bits(0xBF317218u);  // one-step range reduction
const float kC7 = from_bits(0x39A797F3u);
const float kC6 = from_bits(0x3A9C2E66u);
const float kC5 = from_bits(0x3C0B192Au);
const float kC4 = from_bits(0x3D2A66BCu);
const float kC3 = from_bits(0x3E2AAE1Fu);
const float kC2 = from_bits(0x3EFFFFDEu);

// float32 to int32 toward zero, saturating, NaN to 0. Written out because a C++ cast of NaN or of
// an out-of-range value is undefined.
int32_t float_to_i32_sat(float v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0f) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// The oracle computes in the default environment (round to nearest even, subnormals kept), whatever
// floating-point mode a test left behind.
class DefaultFloatEnvironment {
public:
    DefaultFloatEnvironment() {
        std::fegetenv(&saved_);
        std::fesetenv(FE_DFL_ENV);
    }
    ~DefaultFloatEnvironment() { std::fesetenv(&saved_); }
    DefaultFloatEnvironment(const DefaultFloatEnvironment &) = delete;
    DefaultFloatEnvironment &operator=(const DefaultFloatEnvironment &) = delete;

private:
    std::fenv_t saved_;
};

// Samples enter the arithmetic exactly: bytes are zero-extended and converted, no scaling.
float to_f32(float v) { return v; }
float to_f32(uint8_t b) { return static_cast<float>(static_cast<uint32_t>(b)); }

// Range difference centre - neighbour. For bytes it is formed in integer arithmetic; the result
// lies in -255..255 and converts exactly.
float range_diff(float a, float b) { return a - b; }
float range_diff(uint8_t a, uint8_t b) { return static_cast<float>(static_cast<int32_t>(a) - static_cast<int32_t>(b)); }

void store(float *p, float q) { *p = q; }
void store(uint8_t *p, float q) { *p = ref_quotient_to_u8(q); }

// The input seen through the variant's boundary rule, in absolute coordinates. Gray inputs are
// treated as having the single channel 0, so the same read serves both layouts.
template <typename T>
struct Source {
    const T *host;
    int32_t x_min, x_extent, y_min, y_extent, c_min, c_extent;
    int32_t y_stride, c_stride;
    Padding padding;
    T pad;

    // Maps one coordinate; false when constant padding replaces the sample. Every rule maps an
    // inside coordinate to itself.
    bool map(int32_t v, int32_t m, int32_t e, int32_t *mapped) const {
        *mapped = v;
        if (int64_t{v} >= m && int64_t{v} < int64_t{m} + e) return true;
        switch (padding) {
            case Padding::replicate:
                *mapped = ref_clamp_index(v, m, m + e);
                return true;
            case Padding::symmetric:
                *mapped = ref_mirror_index(v, m, e);
                return true;
            case Padding::constant:
                break;
        }
        return false;
    }

    // S(x, y, c): the pad value as soon as one coordinate is outside (constant), otherwise the input
    // element at the mapped column, row and channel.
    T at(int32_t x, int32_t y, int32_t c) const {
        int32_t mx, my, mc;
        if (!map(x, x_min, x_extent, &mx) || !map(y, y_min, y_extent, &my) || !map(c, c_min, c_extent, &mc)) {
            return pad;
        }
        return host[(int64_t{mx} - x_min) + (int64_t{my} - y_min) * y_stride + (int64_t{mc} - c_min) * c_stride];
    }
};

template <typename T>
Source<T> make_source(Variant v, const halide_buffer_t *in, T pad) {
    Source<T> s;
    s.host = reinterpret_cast<const T *>(in->host);
    s.x_min = in->dim[0].min;
    s.x_extent = in->dim[0].extent;
    s.y_min = in->dim[1].min;
    s.y_extent = in->dim[1].extent;
    s.y_stride = in->dim[1].stride;
    const bool rgb = v.layout == Layout::rgb;
    s.c_min = rgb ? in->dim[2].min : 0;
    s.c_extent = rgb ? in->dim[2].extent : 1;
    s.c_stride = rgb ? in->dim[2].stride : 0;
    s.padding = v.padding;
    s.pad = pad;
    return s;
}

// W(i, j): the weight buffer's element at absolute column i, row j.
struct Weights {
    const float *host;
    int32_t x_min, y_min, y_stride;
    float at(int32_t i, int32_t j) const { return host[(int64_t{i} - x_min) + (int64_t{j} - y_min) * y_stride]; }
};

// One gray output sample: tap weight rounded once, plain weight sum, fused sample sum, both in
// window order (j outer, i inner) from +0.0, then one true division.
template <typename T>
float gray_quotient(const Source<T> &s, const Weights &w, const RefScalars &k, int32_t x, int32_t y) {
    const T centre = s.at(x, y, 0);
    float sum = 0.0f;
    float acc = 0.0f;
    for (int32_t j = 0; j < k.N; ++j) {
        for (int32_t i = 0; i < k.N; ++i) {
            const T n = s.at(x + k.off + i, y + k.off + j, 0);
            const float d = range_diff(centre, n);
            const float t = (d * -d) / k.R;
            const float weight = ref_range_exp(t) * w.at(i, j);
            sum = weight + sum;
            acc = std::fma(weight, to_f32(n), acc);
        }
    }
    return acc / sum;
}

// One RGB output pixel: the squared distance over every input channel in ascending order, one range
// weight per tap fused into the shared weight sum and into each channel's numerator.
template <typename T>
void rgb_quotients(const Source<T> &s, const Weights &w, const RefScalars &k, int32_t x, int32_t y,
                   std::vector<T> &centre, float q[3]) {
    for (int32_t c = 0; c < s.c_extent; ++c) centre[c] = s.at(x, y, s.c_min + c);
    float sum = 0.0f;
    float num[3] = {0.0f, 0.0f, 0.0f};
    for (int32_t j = 0; j < k.N; ++j) {
        for (int32_t i = 0; i < k.N; ++i) {
            const int32_t nx = x + k.off + i;
            const int32_t ny = y + k.off + j;
            float dist = 0.0f;
            for (int32_t c = 0; c < s.c_extent; ++c) {
                const float d = range_diff(centre[c], s.at(nx, ny, s.c_min + c));
                dist = std::fma(d, d, dist);
            }
            const float e = ref_range_exp(-dist / k.R);
            const float wij = w.at(i, j);
            sum = std::fma(e, wij, sum);
            for (int ch = 0; ch < 3; ++ch) {
                num[ch] = std::fma(to_f32(s.at(nx, ny, ch)) * wij, e, num[ch]);
            }
        }
    }
    for (int ch = 0; ch < 3; ++ch) q[ch] = num[ch] / sum;
}

template <typename T>
void filter_as(Variant v, const halide_buffer_t *in, const halide_buffer_t *wb, const RefScalars &k, T pad,
               halide_buffer_t *out) {
    const Source<T> s = make_source(v, in, pad);
    const Weights w{reinterpret_cast<const float *>(wb->host), wb->dim[0].min, wb->dim[1].min, wb->dim[1].stride};
    T *host = reinterpret_cast<T *>(out->host);
    std::vector<T> centre(static_cast<size_t>(s.c_extent));  // the centre colour, all input channels
    const halide_dimension_t *od = out->dim;
    for (int32_t dy = 0; dy < od[1].extent; ++dy) {
        for (int32_t dx = 0; dx < od[0].extent; ++dx) {
            const int32_t x = od[0].min + dx;
            const int32_t y = od[1].min + dy;
            const int64_t at = dx + int64_t{dy} * od[1].stride;
            if (v.layout == Layout::gray) {
                store(host + at, gray_quotient(s, w, k, x, y));
                continue;
            }
            float q[3];
            rgb_quotients(s, w, k, x, y, centre, q);
            for (int32_t ch = 0; ch < 3; ++ch) {
                store(host + at + (int64_t{ch} - od[2].min) * od[2].stride, q[ch]);
            }
        }
    }
}

}  // namespace

int32_t ref_truncate_sat(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483648.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483649.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

RefScalars ref_scalars(double window, double sigma, double pad) {
    RefScalars s;
    s.N = ref_truncate_sat(window);
    s.off = ref_truncate_sat(window * -0.5);  // from the argument itself, not from N
    const double square = sigma * sigma;
    s.R = static_cast<float>(square + square);  // one rounding, to nearest even
    s.pad_f = static_cast<float>(pad);
    s.pad_u8 = static_cast<uint8_t>(static_cast<uint32_t>(ref_truncate_sat(pad)) & 0xFFu);
    return s;
}

float ref_range_exp(float t) {
    const float y = t * kLog2e;
    const float kf = std::floor(y);
    const int32_t k = float_to_i32_sat(kf);
    const float r = std::fma(kf, kMinusLn2, t);
    const float s = r * r;
    // Odd half r + C3 r^3 + C5 r^5 + C7 r^7.
    const float a = std::fma(s, kC7, kC5);
    const float b = std::fma(a, s, kC3);
    const float b2 = b * s;
    const float odd = std::fma(r, b2, r);
    // Even half 1 + C2 r^2 + C4 r^4 + C6 r^6.
    const float c = std::fma(s, kC6, kC4);
    const float e = std::fma(c, s, kC2);
    const float f = std::fma(e, s, 1.0f);
    const float p = f + odd;
    // 2^k by building the exponent field, wrapping in 32 bits.
    const float scale = from_bits((static_cast<uint32_t>(k) << 23) + 0x3F800000u);
    float v = p * scale;
    if (!(k < 128)) v = std::numeric_limits<float>::infinity();
    if (!(k > -127)) v = 0.0f;
    return v;
}

int32_t ref_clamp_index(int32_t v, int32_t m, int32_t end) {
    const int32_t upper = v < end - 1 ? v : end - 1;
    return upper > m ? upper : m;
}

int32_t ref_mirror_index(int32_t v, int32_t m, int32_t e) {
    const int64_t period = 2 * int64_t{e};
    int64_t p = (int64_t{v} - m) % period;  // Euclidean remainder, 0 <= p < 2e
    if (p < 0) p += period;
    return static_cast<int32_t>(p < e ? m + p : m + (period - 1 - p));
}

uint8_t ref_quotient_to_u8(float q) {
    const float a = q > 32767.0f ? 32767.0f : q;    // NaN stays NaN
    const float b = a < -32768.0f ? -32768.0f : a;  // NaN stays NaN
    const int16_t h = static_cast<int16_t>(float_to_i32_sat(b));
    if (h < 0) return 0;
    if (h > 255) return 255;
    return static_cast<uint8_t>(h);
}

void ref_filter(Variant v, const halide_buffer_t *in, const halide_buffer_t *w, double window, double sigma, double pad,
                halide_buffer_t *out) {
    const DefaultFloatEnvironment environment;
    const RefScalars k = ref_scalars(window, sigma, pad);
    if (v.sample == Sample::f32) {
        filter_as<float>(v, in, w, k, k.pad_f, out);
    } else {
        filter_as<uint8_t>(v, in, w, k, k.pad_u8, out);
    }
}

}  // namespace bilateral_test
