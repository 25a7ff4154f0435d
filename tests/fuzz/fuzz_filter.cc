// Fuzz target: the bytes choose an entry point, a geometry (mins, extents,
// padded or flipped strides, channel layout), the window, range sigma and pad
// value, and the samples. Input and weights touch guard pages; the output must
// equal the per-sample oracle bit for bit and nothing outside it may change.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "reference/reference.h"
#include "support/buffers.h"

namespace bilateral_test {
namespace {

// Reads the fuzz input front to back; past its end every read gives 0.
class ByteReader {
public:
    ByteReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    int32_t in_range(int32_t lo, int32_t hi) { return lo + static_cast<int32_t>(word() % uint32_t(hi - lo + 1)); }
    bool flag() { return byte() & 1; }
    const uint8_t *rest(size_t &count) const {
        count = size_ - pos_;
        return data_ + pos_;
    }

private:
    uint16_t word() { return static_cast<uint16_t>(byte() | byte() << 8); }
    const uint8_t *data_;
    size_t size_, pos_ = 0;
};

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Row stride for a row of `width` elements: sometimes padded, sometimes negative.
int32_t row_stride(ByteReader &r, int32_t width) {
    const uint8_t b = r.byte();
    const int32_t s = std::max(width, 1) + (b & 2 ? (b >> 2) % 9 : 0);
    return b & 1 ? -s : s;
}

std::vector<Dim> with_channels(ByteReader &r, Dim x, Dim y, int32_t c_min, int32_t channels) {
    const int32_t w = std::max(x.extent, 1), h = std::max(y.extent, 1);
    int32_t cs;
    if (r.flag()) {  // channel planes
        y.stride = row_stride(r, w);
        cs = (h - 1) * std::abs(y.stride) + w + r.byte() % 5;
    } else {  // each row holds its channels one after another
        cs = w + r.byte() % 3;
        y.stride = channels * cs + r.byte() % 3;
        if (r.flag()) y.stride = -y.stride;
    }
    if (r.flag()) cs = -cs;
    return {x, y, Dim{c_min, channels, cs}};
}

Case decode(ByteReader &r) {
    Case c;
    c.variant = all_variants()[r.byte() % 12];
    const bool rgb = c.variant.layout == Layout::rgb, u8 = c.variant.sample == Sample::u8;

    const uint8_t wsel = r.byte();
    c.window = wsel < 200 ? 1 + wsel % 15 : wsel < 240 ? (wsel - 200) / 2.5 - 2.0 : kNaN;
    const int32_t n = std::max(ref_truncate_sat(c.window), 0);

    // Output near the origin or near +-2^30; input placed relative to it.
    const uint8_t far = r.byte();
    const int32_t base = far < 224 ? 0 : (far & 1 ? 1 : -1) * ((int32_t{1} << 30) - 200);
    const Dim ox{base + r.in_range(-100, 100), r.in_range(0, 64), 1};
    const Dim oy{base + r.in_range(-100, 100), r.in_range(0, 24), 0};
    const Dim ix{ox.min + r.in_range(-70, 70), r.in_range(1, 90), 1};
    const Dim iy{oy.min + r.in_range(-40, 40), r.in_range(1, 40), 0};
    if (rgb) {
        const int32_t channels = 1 + r.byte() % 4, c_min = r.byte() % 2;
        c.in_dims = with_channels(r, ix, iy, c_min, channels);
        c.out_dims = with_channels(r, ox, oy, 0, 3);
    } else {
        c.in_dims = {ix, Dim{iy.min, iy.extent, row_stride(r, ix.extent)}};
        c.out_dims = {ox, Dim{oy.min, oy.extent, row_stride(r, ox.extent)}};
    }
    // Weights cover [0, N) in both directions, sometimes from negative mins or with a spare column or row.
    const int32_t wx_min = -(r.byte() % 3), wy_min = -(r.byte() % 3);
    const Dim wx{wx_min, std::max(1, n - wx_min + r.byte() % 2), 1};
    const Dim wy{wy_min, std::max(1, n - wy_min + r.byte() % 2), row_stride(r, wx.extent)};
    c.w_dims = {wx, wy};

    const uint8_t ssel = r.byte();
    const double sigmas[] = {0.0, 1e-30, 1e30, kNaN, kInf, -0.1};
    c.sigma = ssel < 250 ? (u8 ? 1.0 + ssel / 3.0 : 0.005 + ssel / 250.0) : sigmas[ssel - 250];
    const uint8_t psel = r.byte();
    const double pads[] = {kNaN, kInf, -kInf, -1.0, 256.0, 300.0, 1e10, -1e10, 255.9, 200.7};
    c.pad = psel < 246 ? (u8 ? psel : psel / 245.0) : pads[psel - 246];
    c.guard = r.flag() ? Guard::before : Guard::after;
    return c;
}

// Samples from the remaining bytes, cycled: floats mostly in [0, 1], with the
// top byte values standing for NaN and the infinities; weights in [-0.25, 1].
void fill_from(ByteReader &r, const Case &c, CaseBuffers &b) {
    size_t count = 0;
    const uint8_t *bytes = r.rest(count);
    size_t at = 0;
    const auto next = [&]() -> uint8_t { return count == 0 ? 0x5A : bytes[at++ % count]; };
    b.in.for_each([&](int32_t x, int32_t y, int32_t ch) {
        const uint8_t v = next();
        if (c.variant.sample == Sample::u8) {
            b.in.set_u(x, y, ch, v);
        } else {
            b.in.set_f(x, y, ch, v == 255 ? float(kNaN) : v == 254 ? float(kInf) : v == 253 ? -float(kInf) : v / 252.0f);
        }
    });
    b.w.for_each([&](int32_t x, int32_t y, int32_t) { b.w.set_f(x, y, 0, next() / 204.0f - 0.25f); });
}

}  // namespace
}  // namespace bilateral_test

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace bilateral_test;
    ByteReader reader(data, size);
    const Case c = decode(reader);
    CaseBuffers b = make_buffers(c);
    fill_from(reader, c, b);
    const testing::AssertionResult result = run_differential(c, b);
    if (!result) {
        std::fprintf(stderr, "mismatch: %s\n", result.message());
        std::abort();
    }
    return 0;
}
