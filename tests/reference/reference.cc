// Scalar per-sample oracle: one output sample at a time, every read through the boundary rule.
#include "reference/reference.h"

#include <HalideBuffer.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace bilateral_test {
namespace {

float from_bits(uint32_t bits) { float f; std::memcpy(&f, &bits, sizeof f); return f; }

// S(x, y, c) as float: the input element after the boundary rule maps each coordinate outside its
// range; under the constant rule the pad value as soon as one coordinate is outside. Gray inputs have
// no channel dimension. Samples enter the arithmetic exactly, bytes without scaling. Positions and ends
// are 64-bit: an input may end at INT32_MAX and a window reach past either end of the int32 range.
template <typename T>
float sample(const halide_buffer_t *in, Padding p, T pad, int64_t x, int64_t y, int64_t c) {
    const int64_t pos[3] = {x, y, c};
    int64_t at = 0;
    for (int d = 0; d < in->dimensions; ++d) {
        const halide_dimension_t &dm = in->dim[d];
        const int64_t end = int64_t{dm.min} + dm.extent;
        int64_t v = pos[d];
        if (v < dm.min || v >= end) {
            if (p == Padding::constant) return static_cast<float>(pad);
            v = p == Padding::replicate ? ref_clamp_index(v, dm.min, end) : ref_mirror_index(v, dm.min, dm.extent);
        }
        at += (v - dm.min) * dm.stride;
    }
    return static_cast<float>(reinterpret_cast<const T *>(in->host)[at]);
}

void store(float &out, float q, bool) { out = q; }
void store(uint8_t &out, float q, bool rounded) { out = rounded ? ref_quotient_rounded<uint8_t>(q) : ref_quotient_to_u8(q); }
void store(uint16_t &out, float q, bool rounded) {
    out = rounded ? ref_quotient_rounded<uint16_t>(q) : ref_quotient_to_u16(q);
}

template <typename T>
void filter_as(Variant v, const halide_buffer_t *in, const halide_buffer_t *w, const RefScalars &k, T pad,
               halide_buffer_t *out, bool rounded) {
    const Halide::Runtime::Buffer<const float> W(*w);
    Halide::Runtime::Buffer<T> o(*out);
    const bool rgb = v.layout == Layout::rgb;
    const int64_t c_min = rgb ? in->dim[2].min : 0;
    const int32_t channels = rgb ? in->dim[2].extent : 1;
    const auto S = [&](int64_t x, int64_t y, int64_t c) { return sample(in, v.padding, pad, x, y, c); };
    std::vector<float> centre(static_cast<size_t>(channels));
    for (int64_t y = o.dim(1).min(); y < int64_t{o.dim(1).min()} + o.dim(1).extent(); ++y) {
        for (int64_t x = o.dim(0).min(); x < int64_t{o.dim(0).min()} + o.dim(0).extent(); ++x) {
            for (int32_t c = 0; c < channels; ++c) centre[c] = S(x, y, c_min + c);
            float sum = 0.0f, num[3] = {0.0f, 0.0f, 0.0f};
            // Taps in window order, j outer, i inner, both sums from +0.0.
            for (int32_t j = 0; j < k.N; ++j) {
                for (int32_t i = 0; i < k.N; ++i) {
                    const int64_t nx = x + k.off + i, ny = y + k.off + j;
                    if (!rgb) {  // the tap weight rounded once, a plain weight sum, a fused sample sum
                        const float n = S(nx, ny, 0), d = centre[0] - n;
                        const float weight = ref_range_exp((d * -d) / k.R) * W(i, j);
                        sum = weight + sum;
                        num[0] = std::fma(weight, n, num[0]);
                        continue;
                    }
                    // RGB: the squared distance over every input channel in ascending order; one range
                    // weight per tap, fused into the weight sum and into each output channel's numerator.
                    float dist = 0.0f;
                    for (int32_t c = 0; c < channels; ++c) {
                        const float d = centre[c] - S(nx, ny, c_min + c);
                        dist = std::fma(d, d, dist);
                    }
                    const float e = ref_range_exp(-dist / k.R);
                    sum = std::fma(e, W(i, j), sum);
                    for (int32_t ch = 0; ch < 3; ++ch) num[ch] = std::fma(S(nx, ny, ch) * W(i, j), e, num[ch]);
                }
            }
            // One true division per channel.
            const int ox = static_cast<int>(x), oy = static_cast<int>(y);
            for (int32_t ch = 0; ch < (rgb ? 3 : 1); ++ch) store(rgb ? o(ox, oy, ch) : o(ox, oy), num[ch] / sum, rounded);
        }
    }
}

// The element at absolute position pos of b, exactly as float.
float element(const halide_buffer_t *b, const int64_t *pos) {
    int64_t at = 0;
    for (int d = 0; d < b->dimensions; ++d) at += (pos[d] - b->dim[d].min) * b->dim[d].stride;
    if (b->type.bits == 8) return static_cast<float>(reinterpret_cast<const uint8_t *>(b->host)[at]);
    if (b->type.bits == 16) return static_cast<float>(reinterpret_cast<const uint16_t *>(b->host)[at]);
    return reinterpret_cast<const float *>(b->host)[at];
}

// Position v of dimension dm mapped by rule p; false when the constant rule pads it instead.
bool map_position(Padding p, const halide_dimension_t &dm, int64_t &v) {
    const int64_t end = int64_t{dm.min} + dm.extent;
    if (v >= dm.min && v < end) return true;
    if (p == Padding::constant) return false;
    v = p == Padding::replicate ? ref_clamp_index(v, dm.min, end) : ref_mirror_index(v, dm.min, dm.extent);
    return true;
}

// The pad sample of a buffer's type, as float.
float pad_of(const halide_buffer_t *b, const RefScalars &k) {
    return b->type.bits == 8 ? k.pad_u8 : b->type.bits == 16 ? k.pad_u16 : k.pad_f;
}

}  // namespace

int32_t ref_truncate_sat(double v) {
    return std::isnan(v) ? 0 : v >= 2147483648.0 ? INT32_MAX : v <= -2147483649.0 ? INT32_MIN : static_cast<int32_t>(v);
}

RefScalars ref_scalars(double window, double sigma, double pad) {
    const double square = sigma * sigma;
    // off comes from the argument itself, not from N; the pad byte wraps.
    return {ref_truncate_sat(window), ref_truncate_sat(window * -0.5), static_cast<float>(square + square),
            static_cast<float>(pad), static_cast<uint8_t>(static_cast<uint32_t>(ref_truncate_sat(pad)) & 0xFFu),
            static_cast<uint16_t>(static_cast<uint32_t>(ref_truncate_sat(pad)) & 0xFFFFu)};
}

float ref_range_exp(float t) {
    const float kf = std::floor(t * from_bits(0x3FB8AA3Bu));  // t log2(e), rounded down
    const int32_t k = ref_truncate_sat(kf);
    const float r = std::fma(kf, from_bits(0xBF317218u), t);  // t - k ln 2 in one step
    const float s = r * r;
    // Odd half r + C3 r^3 + C5 r^5 + C7 r^7, even half 1 + C2 r^2 + C4 r^4 + C6 r^6.
    const float b = std::fma(std::fma(s, from_bits(0x39A797F3u), from_bits(0x3C0B192Au)), s, from_bits(0x3E2AAE1Fu));
    const float odd = std::fma(r, b * s, r);
    const float e = std::fma(std::fma(s, from_bits(0x3A9C2E66u), from_bits(0x3D2A66BCu)), s, from_bits(0x3EFFFFDEu));
    const float p = std::fma(e, s, 1.0f) + odd;
    // 2^k by building the exponent field, wrapping in 32 bits.
    const float v = p * from_bits((static_cast<uint32_t>(k) << 23) + 0x3F800000u);
    return !(k > -127) ? 0.0f : !(k < 128) ? INFINITY : v;
}

int64_t ref_clamp_index(int64_t v, int64_t m, int64_t end) { return std::max(std::min(v, end - 1), m); }

int64_t ref_mirror_index(int64_t v, int64_t m, int64_t e) {
    const int64_t period = 2 * e;
    const int64_t p = ((v - m) % period + period) % period;  // Euclidean remainder
    return p < e ? m + p : m + (period - 1 - p);
}

uint8_t ref_quotient_to_u8(float q) {
    const float a = q > 32767.0f ? 32767.0f : q;    // NaN stays NaN
    const float b = a < -32768.0f ? -32768.0f : a;  // NaN stays NaN
    return static_cast<uint8_t>(std::clamp<int16_t>(static_cast<int16_t>(ref_truncate_sat(b)), 0, 255));
}

uint16_t ref_quotient_to_u16(float q) {
    if (std::isnan(q) || q < 1.0f) return 0;
    return q >= 65535.0f ? 65535 : static_cast<uint16_t>(ref_truncate_sat(q));
}

template <class T>
T ref_quotient_rounded(float q) {
    const float top = static_cast<float>(std::numeric_limits<T>::max());
    if (std::isnan(q) || q <= 0.0f) return 0;
    return q >= top ? static_cast<T>(top) : static_cast<T>(std::nearbyint(q));  // ties to even
}
template uint8_t ref_quotient_rounded<uint8_t>(float);
template uint16_t ref_quotient_rounded<uint16_t>(float);

void ref_filter(Variant v, const halide_buffer_t *in, const halide_buffer_t *w, double window, double sigma, double pad,
                halide_buffer_t *out, bool rounded) {
    // The default environment (round to nearest even, subnormals kept), whatever mode a test left.
    std::fenv_t saved;
    std::fegetenv(&saved);
    std::fesetenv(FE_DFL_ENV);
    const RefScalars k = ref_scalars(window, sigma, pad);
    switch (v.sample) {
        case Sample::f32: filter_as<float>(v, in, w, k, k.pad_f, out, false); break;
        case Sample::u8: filter_as<uint8_t>(v, in, w, k, k.pad_u8, out, rounded); break;
        case Sample::u16: filter_as<uint16_t>(v, in, w, k, k.pad_u16, out, rounded); break;
    }
    std::fesetenv(&saved);
}

void ref_filter_joint(Padding p, const halide_buffer_t *in, const halide_buffer_t *guide, const halide_buffer_t *w,
                      double window, double sigma, double pad, halide_buffer_t *out, bool rounded) {
    std::fenv_t saved;
    std::fegetenv(&saved);
    std::fesetenv(FE_DFL_ENV);
    const RefScalars k = ref_scalars(window, sigma, pad);
    const Halide::Runtime::Buffer<const float> W(*w);
    const bool rgb = in->dimensions == 3, rgb_guide = guide->dimensions == 3;
    const int32_t guide_channels = rgb_guide ? guide->dim[2].extent : 1;
    // S(x, y, c): the input through its rule; G(x, y, c): guide channel c (from its channel min) at the
    // position the input's rule maps (x, y) to.
    const auto S = [&](int64_t x, int64_t y, int64_t c) {
        int64_t pos[3] = {x, y, c};
        for (int d = 0; d < in->dimensions; ++d) {
            if (!map_position(p, in->dim[d], pos[d])) return pad_of(in, k);
        }
        return element(in, pos);
    };
    const auto G = [&](int64_t x, int64_t y, int32_t c) {
        int64_t pos[3] = {x, y, (rgb_guide ? guide->dim[2].min : 0) + int64_t{c}};
        for (int d = 0; d < 2; ++d) {
            if (!map_position(p, in->dim[d], pos[d])) return pad_of(guide, k);
        }
        return element(guide, pos);
    };
    std::vector<float> centre(static_cast<size_t>(guide_channels));
    const halide_dimension_t *od = out->dim;
    for (int64_t y = od[1].min; y < int64_t{od[1].min} + od[1].extent; ++y) {
        for (int64_t x = od[0].min; x < int64_t{od[0].min} + od[0].extent; ++x) {
            for (int32_t c = 0; c < guide_channels; ++c) centre[c] = G(x, y, c);
            float sum = 0.0f, num[3] = {0.0f, 0.0f, 0.0f};
            for (int32_t j = 0; j < k.N; ++j) {
                for (int32_t i = 0; i < k.N; ++i) {
                    const int64_t nx = x + k.off + i, ny = y + k.off + j;
                    if (!rgb_guide) {  // the gray form: one product weight, a plain sum, fused numerators
                        const float d = centre[0] - G(nx, ny, 0);
                        const float weight = ref_range_exp((d * -d) / k.R) * W(i, j);
                        sum = weight + sum;
                        for (int32_t ch = 0; ch < (rgb ? 3 : 1); ++ch) num[ch] = std::fma(weight, S(nx, ny, ch), num[ch]);
                        continue;
                    }
                    float dist = 0.0f;  // the colour form over every guide channel
                    for (int32_t c = 0; c < guide_channels; ++c) {
                        const float d = centre[c] - G(nx, ny, c);
                        dist = std::fma(d, d, dist);
                    }
                    const float e = ref_range_exp(-dist / k.R);
                    sum = std::fma(e, W(i, j), sum);
                    for (int32_t ch = 0; ch < (rgb ? 3 : 1); ++ch) num[ch] = std::fma(S(nx, ny, ch) * W(i, j), e, num[ch]);
                }
            }
            for (int32_t ch = 0; ch < (rgb ? 3 : 1); ++ch) {
                const int64_t at = (x - od[0].min) * od[0].stride + (y - od[1].min) * od[1].stride +
                                   (rgb ? (ch - od[2].min) * int64_t{od[2].stride} : 0);
                const float q = num[ch] / sum;
                if (out->type.bits == 8) {
                    store(reinterpret_cast<uint8_t *>(out->host)[at], q, rounded);
                } else if (out->type.bits == 16) {
                    store(reinterpret_cast<uint16_t *>(out->host)[at], q, rounded);
                } else {
                    store(reinterpret_cast<float *>(out->host)[at], q, rounded);
                }
            }
        }
    }
    std::fesetenv(&saved);
}

}  // namespace bilateral_test
