// Catches faults in the front ends' shared call: strips that do not overlap by the window's reach (or
// that change what the padding sees at the image's edges), rounding that is not to nearest-even or
// does not saturate or differs from the float entry point's quotient rounded, x strides (interleaved
// pictures, and 0, which needs copies) mishandled, and the alpha channel beside the colour channels
// overwritten.
#include <HalideBuffer.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "front/defaults.h"
#include "front/rounding.h"

namespace {

using bilateral::front::Layout;
using bilateral::front::Rounding;
using bilateral::front::Sample;
using bilateral::front::Variant;
namespace front = bilateral::front;
template <class T>
using Buffer = Halide::Runtime::Buffer<T>;

// An interleaved picture with one channel beyond the filtered ones (alpha), random samples, and the
// view the filter is given: the colour channels in place, x stride = channels + 1.
template <class T>
struct Picture {
    Picture(Variant v, int w, int h, std::mt19937 &rng)
        : channels(v.layout == Layout::rgb ? 3 : 1), all(Buffer<T>::make_interleaved(w, h, channels + 1)) {
        std::uniform_real_distribution<double> unit(0, 1);
        all.for_each_value([&](T &s) {
            const double u = unit(rng);
            // Saturated ends often: the rounding must keep 0 and the top value.
            const double top = std::is_same_v<T, float> ? 1.0 : double(std::numeric_limits<T>::max());
            s = T(u < 0.1 ? 0.0 : u > 0.9 ? top : std::floor(u * top));
        });
    }
    Buffer<T> view() {
        Buffer<T> v = channels == 3 ? all.cropped(2, 0, 3) : all.sliced(2, 0);
        if (flat) v.raw_buffer()->dim[0].stride = 0;  // every column reads column 0
        return v;
    }
    // The filtered channels as a planar copy of another sample type.
    template <class U>
    Buffer<U> planar() {
        Buffer<T> v = view();
        Buffer<U> p = channels == 3 ? Buffer<U>(v.width(), v.height(), 3) : Buffer<U>(v.width(), v.height());
        p.for_each_element([&](const int *pos) { p(pos) = U(v(pos)); });
        return p;
    }
    int channels;
    Buffer<T> all;
    bool flat = false;
};

template <class T>
T rounded(float q) {
    constexpr float top = float(std::numeric_limits<T>::max());
    return std::isnan(q) || q <= 0 ? T(0) : q >= top ? T(top) : T(std::lrintf(q));
}

template <class T>
void check(Variant v, int n, std::mt19937 &rng) {
    SCOPED_TRACE(front::entry_name(v) + " N=" + std::to_string(n));
    const int w = 37, h = 29;
    const double sigma = front::default_sigma_range(v.sample);
    // Out of range for the integer types: their entry points keep the low bits, 44 and 4464.
    const double pad = v.sample == Sample::f32 ? 0.25 : v.sample == Sample::u8 ? 300 : 70000;
    const std::vector<float> gauss = front::gaussian_weights(n, 1.5);
    Buffer<float> weights(const_cast<float *>(gauss.data()), n, n);

    Picture<T> in(v, w, h, rng);
    in.flat = n == 2;  // an x stride of 0, which only copies can serve
    Buffer<T> expect_trunc = in.channels == 3 ? Buffer<T>(w, h, 3) : Buffer<T>(w, h);
    Buffer<T> planar = in.template planar<T>();
    front::call_entry(v, planar.raw_buffer(), weights.raw_buffer(), n, sigma, pad, expect_trunc.raw_buffer());

    for (Rounding r : {Rounding::truncate, Rounding::nearest}) {
        if (r == Rounding::nearest && v.sample == Sample::f32) continue;
        Picture<T> out(v, w, h, rng);
        Buffer<T> alpha = out.all.sliced(2, out.channels).copy();
        Buffer<T> out_view = out.view();
        // Rounded calls read interleaved pictures in place; the others, and x stride 0, need copies.
        const bool in_place = r == Rounding::nearest && !in.flat;
        EXPECT_EQ(front::copy_bytes(v, r, in.view().raw_buffer(), n, out_view.raw_buffer()) == 0, in_place);
        // A budget of one byte: strips of N rows, the most seams.
        ASSERT_EQ(front::call_filter(v, r, in.view().raw_buffer(), weights.raw_buffer(), n, sigma, pad,
                                         out_view.raw_buffer(), 1),
                  0);
        Buffer<T> expect = expect_trunc;
        if (r == Rounding::nearest) {
            Variant f = v;
            f.sample = Sample::f32;
            Buffer<float> fin = in.template planar<float>();
            Buffer<float> q = in.channels == 3 ? Buffer<float>(w, h, 3) : Buffer<float>(w, h);
            const double pad_sample = v.sample == Sample::u8 ? 44 : 4464;
            front::call_entry(f, fin.raw_buffer(), weights.raw_buffer(), n, sigma, pad_sample, q.raw_buffer());
            expect = in.channels == 3 ? Buffer<T>(w, h, 3) : Buffer<T>(w, h);
            expect.for_each_element([&](const int *pos) { expect(pos) = rounded<T>(q(pos)); });
        }
        int bad = 0;
        expect.for_each_element([&](const int *pos) {
            const T a = out_view(pos), b = expect(pos);
            const bool same = std::memcmp(&a, &b, sizeof(T)) == 0 || (a != a && b != b);
            if (!same && bad++ < 3) ADD_FAILURE() << "rounding " << int(r) << " at " << pos[0] << ", " << pos[1];
        });
        alpha.for_each_element([&](const int *pos) {
            if (out.all(pos[0], pos[1], out.channels) != alpha(pos) && bad++ < 3) ADD_FAILURE() << "alpha changed";
        });
    }
}

TEST(CallFilter, StripsStridesAndRoundingMatchOneWholeCall) {
    std::mt19937 rng(7);
    for (Variant v : front::all_variants()) {
        for (int n : {1, 2, 5, 9}) {
            if (v.sample == Sample::f32) check<float>(v, n, rng);
            if (v.sample == Sample::u8) check<uint8_t>(v, n, rng);
            if (v.sample == Sample::u16) check<uint16_t>(v, n, rng);
        }
    }
}

// A faulty descriptor reaches the library's validator, not the entry point: an output of another sample type
// would be written past its end.
TEST(CallFilter, FaultyDescriptorsAreRefusedByTheValidator) {
    Buffer<uint8_t> in(16, 8);
    Buffer<uint16_t> wrong(16, 8);
    in.fill(7);
    wrong.fill(9);
    const std::vector<float> gauss = front::gaussian_weights(3, 1);
    Buffer<float> weights(const_cast<float *>(gauss.data()), 3, 3);
    for (Rounding r : {Rounding::truncate, Rounding::nearest}) {
        EXPECT_EQ(front::call_filter({Layout::gray, Sample::u8, front::Padding::replicate}, r, in.raw_buffer(),
                                     weights.raw_buffer(), 3, 25.5, 0, wrong.raw_buffer()),
                  halide_error_code_bad_type);
        wrong.for_each_value([](uint16_t v) { ASSERT_EQ(v, 9); });
    }
}

}  // namespace
