// Speed of the eighteen entry points, of OpenCV's bilateral filter on the same pictures, and of the
// scalar per-sample oracle. OpenCV has no 16-bit bilateral filter: its uint16 rows time the path a
// caller would take, converting to float32, filtering and converting back. Benchmark names are
// slash-separated fields that bench/make_report.py parses:  family/variant/WxH/N<window>/T<threads>,
// family one of ours (the whole N x N square weighed), disc (the Gaussian on the disc of radius
// floor(N/2), zero elsewhere: the window OpenCV weighs for d = N), opencv, oracle.
#include <HalideBuffer.h>
#include <benchmark/benchmark.h>
#include <hwy/targets.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bilateral_filter.h"
#include "front/defaults.h"
#include "front/variants.h"
#include "reference/reference.h"

#ifdef BF_BENCH_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using bilateral::front::Layout;
using bilateral::front::Padding;
using bilateral::front::Sample;
using bilateral::front::Variant;
using bilateral::front::WindowShape;
using Halide::Runtime::Buffer;

// "gray_single_replicate" and the like.
std::string variant_label(Variant v) { return bilateral::front::entry_name(v).substr(std::strlen("BilateralFilter_")); }
// "gray_single" and the like: layout and sample type only.
[[maybe_unused]] std::string type_label(Variant v) { return variant_label(v).substr(0, variant_label(v).rfind('_')); }

// Front-end defaults: range sigma is 10 % of the sample range; sigma_s makes the window
// 2 ceil(2 sigma_s) + 1 = N for the odd windows measured here.
double range_sigma(Sample t) { return bilateral::front::default_sigma_range(t); }
double spatial_sigma(int n) { return (n - 1) / 4.0; }

Buffer<float> spatial_weights(int n, WindowShape shape) {
    Buffer<float> w(n, n);
    const std::vector<float> gaussian = bilateral::front::gaussian_weights(n, spatial_sigma(n), shape);
    std::copy(gaussian.begin(), gaussian.end(), w.begin());
    return w;
}

// One picture in every form the benchmarks read, with outputs to write into: planar float in
// [0, 1], 8-bit (0..255) and 16-bit (0..65535) for the library and the oracle, interleaved copies
// for OpenCV, and float32 scratch for OpenCV's 16-bit path.
struct Images {
    Buffer<float> f, f_out;
    Buffer<uint8_t> u, u_out;
    Buffer<uint16_t> s, s_out;
#ifdef BF_BENCH_HAVE_OPENCV
    cv::Mat cv_f, cv_u, cv_s, cv_f_out, cv_u_out, cv_s_out, cv_s_in_f, cv_s_out_f;
#endif

    // The input and output of a sample type.
    struct InOut {
        halide_buffer_t *in, *out;
    };
    InOut buffers(Sample t) {
        if (t == Sample::u8) return {u.raw_buffer(), u_out.raw_buffer()};
        if (t == Sample::u16) return {s.raw_buffer(), s_out.raw_buffer()};
        return {f.raw_buffer(), f_out.raw_buffer()};
    }
};

// A smooth shaded background, flat discs, a rectangle and bars with sharp edges, plus Gaussian
// noise (sigma 0.03). Deterministic: mt19937 with a fixed seed and our own normal transform.
float picture(int x, int y, int c, int w, int h, std::mt19937 &rng) {
    static const double kDisc1[] = {0.85, 0.30, 0.20}, kRect[] = {0.15, 0.60, 0.90}, kDisc2[] = {0.95, 0.90, 0.10};
    const double u = double(x) / w, v = double(y) / h, a = double(w) / h;
    double s = 0.25 + 0.3 * u + 0.2 * v + 0.1 * std::sin(6.2832 * (u * (1 + c) + 0.5 * v));
    auto disc = [&](double cx, double cy, double r) {
        return (u - cx) * (u - cx) * a * a + (v - cy) * (v - cy) < r * r;
    };
    if (disc(0.3, 0.4, 0.25)) s = kDisc1[c];
    if (u > 0.55 && u < 0.85 && v > 0.15 && v < 0.6) s = kRect[c];
    if (disc(0.7, 0.75, 0.15)) s = kDisc2[c];
    if (u > 0.08 && u < 0.45 && v > 0.72 && v < 0.92 && (x / std::max(4, w / 120)) % 2 == 0) s = 0.05 + 0.1 * c;
    const double r1 = (rng() + 0.5) / 4294967296.0, r2 = (rng() + 0.5) / 4294967296.0;
    s += 0.03 * std::sqrt(-2.0 * std::log(r1)) * std::cos(6.283185307179586 * r2);
    return static_cast<float>(std::min(1.0, std::max(0.0, s)));
}

Images make_images(int w, int h, bool rgb) {
    const int nc = rgb ? 3 : 1;
    Images im;
    im.f = rgb ? Buffer<float>(w, h, 3) : Buffer<float>(w, h);
    im.u = rgb ? Buffer<uint8_t>(w, h, 3) : Buffer<uint8_t>(w, h);
    im.f_out = rgb ? Buffer<float>(w, h, 3) : Buffer<float>(w, h);
    im.u_out = rgb ? Buffer<uint8_t>(w, h, 3) : Buffer<uint8_t>(w, h);
    im.s = rgb ? Buffer<uint16_t>(w, h, 3) : Buffer<uint16_t>(w, h);
    im.s_out = rgb ? Buffer<uint16_t>(w, h, 3) : Buffer<uint16_t>(w, h);
    std::mt19937 rng(20240601u);
    float *fp = im.f.data();
    uint8_t *up = im.u.data();
    uint16_t *sp = im.s.data();
    for (int c = 0; c < nc; c++) {
        for (int y = 0; y < h; y++) {
            for (int x = 0; x < w; x++, fp++, up++, sp++) {
                *fp = picture(x, y, c, w, h, rng);
                *up = static_cast<uint8_t>(std::lround(*fp * 255.0f));
                *sp = static_cast<uint16_t>(std::lround(*fp * 65535.0f));
            }
        }
    }
    im.f_out.fill(0.0f);  // touch the output pages once, outside any timing
    im.u_out.fill(0);
    im.s_out.fill(0);
#ifdef BF_BENCH_HAVE_OPENCV
    im.cv_f.create(h, w, CV_32FC(nc));
    im.cv_u.create(h, w, CV_8UC(nc));
    im.cv_s.create(h, w, CV_16UC(nc));
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            for (int c = 0; c < nc; c++) {
                im.cv_f.ptr<float>(y)[x * nc + c] = rgb ? im.f(x, y, c) : im.f(x, y);
                im.cv_u.ptr<uint8_t>(y)[x * nc + c] = rgb ? im.u(x, y, c) : im.u(x, y);
                im.cv_s.ptr<uint16_t>(y)[x * nc + c] = rgb ? im.s(x, y, c) : im.s(x, y);
            }
        }
    }
    im.cv_f_out = cv::Mat::zeros(h, w, im.cv_f.type());
    im.cv_u_out = cv::Mat::zeros(h, w, im.cv_u.type());
    im.cv_s_out = cv::Mat::zeros(h, w, im.cv_s.type());
    im.cv_s_in_f = cv::Mat::zeros(h, w, im.cv_f.type());  // scratch of the 16-bit path, kept between calls
    im.cv_s_out_f = cv::Mat::zeros(h, w, im.cv_f.type());
#endif
    return im;
}

// Pictures are made on first use (outside the timed loop) and kept for the whole run.
Images &images(int w, int h, bool rgb) {
    static std::map<std::tuple<int, int, bool>, std::unique_ptr<Images>> cache;
    auto &slot = cache[{w, h, rgb}];
    if (!slot) slot = std::make_unique<Images>(make_images(w, h, rgb));
    return *slot;
}

// CPU seconds the whole machine and this process have used, and the wall clock.
struct Clocks {
    double machine, own, wall;
    static Clocks now() {
        unsigned long long v[8] = {};
        if (FILE *f = std::fopen("/proc/stat", "r")) {  // cpu user nice system idle iowait irq softirq steal
            if (std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4],
                            &v[5], &v[6], &v[7]) != 8) {
                std::fill(v, v + 8, 0ull);
            }
            std::fclose(f);
        }
        rusage ru{};
        getrusage(RUSAGE_SELF, &ru);
        const auto secs = [](timeval t) { return t.tv_sec + t.tv_usec * 1e-6; };
        return {double(v[0] + v[1] + v[2] + v[5] + v[6] + v[7]) / sysconf(_SC_CLK_TCK),
                secs(ru.ru_utime) + secs(ru.ru_stime),
                std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count()};
    }
};

// Runs the timed loop and sets the counters: tap-pixels and pixels per second, and other_cores, the
// cores other work kept busy meanwhile (on two cores, anything above a few tenths skews the result).
template <class Call>
void timed(benchmark::State &st, int w, int h, int n, Call &&call) {
    const Clocks before = Clocks::now();
    for (auto _ : st) {
        call();
        benchmark::ClobberMemory();
    }
    const Clocks after = Clocks::now();
    using benchmark::Counter;
    st.counters["tap_pixels_per_s"] = Counter(double(n) * n * w * h, Counter::kIsIterationInvariantRate);
    st.counters["Mpixels_per_s"] = Counter(double(w) * h / 1e6, Counter::kIsIterationInvariantRate);
    const double other = (after.machine - before.machine) - (after.own - before.own);
    st.counters["other_cores"] = std::max(0.0, other / std::max(1e-9, after.wall - before.wall));
}

// Threads for our calls. halide_set_num_threads only ever adds workers: a pool that once ran two
// threads keeps both busy after halide_set_num_threads(1). One thread is therefore enforced by
// running the tasks in order on the calling thread, as the runtime does when it has no workers.
int serial_par_for(void *user_context, halide_task_t task, int min, int size, uint8_t *closure) {
    for (int i = min; i < min + size; i++) {
        if (int result = task(user_context, i, closure)) return result;
    }
    return 0;
}

void use_halide_threads(int threads) {
    halide_set_num_threads(threads);
    halide_set_custom_do_par_for(threads == 1 ? serial_par_for : halide_default_do_par_for);
}

// The constant variants pad with 0.
void bench_ours(benchmark::State &st, Variant v, WindowShape shape, int w, int h, int n, int threads) {
    use_halide_threads(threads);
    Images &im = images(w, h, v.layout == Layout::rgb);
    Buffer<float> weights = spatial_weights(n, shape);
    const auto io = im.buffers(v.sample);
    timed(st, w, h, n,
          [&] { bilateral::front::call_entry(v, io.in, weights.raw_buffer(), n, range_sigma(v.sample), 0.0, io.out); });
}

void bench_oracle(benchmark::State &st, Variant v, int w, int h, int n) {
    Images &im = images(w, h, v.layout == Layout::rgb);
    Buffer<float> weights = spatial_weights(n, WindowShape::square);
    const auto io = im.buffers(v.sample);
    timed(st, w, h, n,
          [&] { bilateral_test::ref_filter(v, io.in, weights.raw_buffer(), n, range_sigma(v.sample), 0.0, io.out); });
}

#ifdef BF_BENCH_HAVE_OPENCV
void bench_opencv(benchmark::State &st, Variant v, int w, int h, int n, int threads) {
    cv::setNumThreads(threads);
    Images &im = images(w, h, v.layout == Layout::rgb);
    const double sigma_r = range_sigma(v.sample), sigma_s = spatial_sigma(n);
    if (v.sample == Sample::u16) {
        // No 16-bit filter: to float32 (in 0..65535 units), filter, and back (rounded, saturated).
        timed(st, w, h, n, [&] {
            im.cv_s.convertTo(im.cv_s_in_f, CV_32F);
            cv::bilateralFilter(im.cv_s_in_f, im.cv_s_out_f, n, sigma_r, sigma_s, cv::BORDER_REPLICATE);
            im.cv_s_out_f.convertTo(im.cv_s_out, CV_16U);
        });
        return;
    }
    const bool u8 = v.sample == Sample::u8;
    const cv::Mat &src = u8 ? im.cv_u : im.cv_f;
    cv::Mat &dst = u8 ? im.cv_u_out : im.cv_f_out;
    timed(st, w, h, n, [&] { cv::bilateralFilter(src, dst, n, sigma_r, sigma_s, cv::BORDER_REPLICATE); });
}
#endif

// A benchmark of a build whose output is wrong measures nothing: check every entry point against
// the oracle bit for bit on a small picture first, with both window shapes (the disc runs only its
// non-zero taps, the oracle every tap), and record the outcome in the run's context.
std::string check_against_oracle() {
    std::string bad;
    for (const Variant v : bilateral::front::all_variants()) {
        for (int n : {5, 15}) {
            for (WindowShape shape : {WindowShape::square, WindowShape::disc}) {
                Images &im = images(97, 61, v.layout == Layout::rgb);
                Buffer<float> weights = spatial_weights(n, shape);
                const auto io = im.buffers(v.sample);
                bilateral::front::call_entry(v, io.in, weights.raw_buffer(), n, range_sigma(v.sample), 0.0, io.out);
                std::vector<uint8_t> ours(io.out->host, io.out->host + io.out->size_in_bytes());
                bilateral_test::ref_filter(v, io.in, weights.raw_buffer(), n, range_sigma(v.sample), 0.0, io.out);
                if (std::memcmp(ours.data(), io.out->host, ours.size()) != 0) {
                    bad += " " + variant_label(v) + "/N" + std::to_string(n) + "/" +
                           bilateral::front::window_shape_name(shape);
                }
            }
        }
    }
    return bad.empty() ? "bit-exact" : "MISMATCH:" + bad;
}

// The best Highway target the library's compiled set reaches on this CPU.
std::string hwy_target() {
    const int64_t usable = hwy::SupportedTargets() & HWY_TARGETS;
    const int64_t best = usable & -usable;
    const bool vector = (best & (HWY_SCALAR | HWY_EMU128)) == 0;
    return std::string(hwy::TargetName(best)) + (vector ? "" : " (portable scalar kernels)");
}

template <class Fn>
benchmark::internal::Benchmark *add(const std::string &name, int repetitions, Fn &&fn) {
    return benchmark::RegisterBenchmark(name.c_str(), std::forward<Fn>(fn))
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MeasureProcessCPUTime()  // CPU time of all threads, not only the calling one
        ->MinTime(0.1)
        ->MinWarmUpTime(0.05)
        ->Repetitions(repetitions)
        ->ReportAggregatesOnly(true);
}

// family/variant/WxH/N<window>/T<threads>
std::string label(const char *family, const std::string &variant, int w, int h, int n, int threads) {
    return std::string(family) + "/" + variant + "/" + std::to_string(w) + "x" + std::to_string(h) + "/N" +
           std::to_string(n) + "/T" + std::to_string(threads);
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    use_halide_threads(2);  // before the first call, so that the pool never holds more than two threads
    // BF_BENCH_TARGET=AVX2 (or another Highway target name) measures the code
    // a machine with that best target would run.
    if (const char *forced = std::getenv("BF_BENCH_TARGET")) {
        for (int64_t t : hwy::SupportedAndGeneratedTargets()) {
            if (std::strcmp(hwy::TargetName(t), forced) != 0) continue;
            hwy::SetSupportedTargetsForTest(t);
            benchmark::AddCustomContext("hwy_target_forced", forced);
        }
    }
    const std::string target = hwy_target(), check = check_against_oracle();
    std::fprintf(stderr, "Highway target: %s; entry points vs oracle: %s\n", target.c_str(), check.c_str());
    benchmark::AddCustomContext("hwy_target", target);
    benchmark::AddCustomContext("oracle_check", check);
#ifdef NDEBUG
    benchmark::AddCustomContext("build", "optimised build (NDEBUG)");
#else
    benchmark::AddCustomContext("build", "build with assertions (not NDEBUG): not representative");
#endif
#if defined(__clang__)
    benchmark::AddCustomContext("compiler", "clang " __clang_version__);
#elif defined(__GNUC__)
    benchmark::AddCustomContext("compiler", "gcc " __VERSION__);
#endif
#ifdef BF_BENCH_HAVE_OPENCV
    const std::string info = cv::getBuildInformation();
    const size_t at = info.find("Parallel framework:");
    const std::string framework = at == std::string::npos ? "" : info.substr(at, info.find('\n', at) - at);
    benchmark::AddCustomContext("opencv", std::string(CV_VERSION) + "; " + framework);
#else
    benchmark::AddCustomContext("opencv", "not built in");
#endif

    // Five repetitions where calls are short (the ratio table's sizes), three for 3840x2160.
    const int sizes[][3] = {{1920, 1080, 5}, {3840, 2160, 3}, {512, 512, 5}};
    for (const auto &s : sizes) {
        for (const Variant v : bilateral::front::all_variants()) {
            for (int n : {5, 9, 15}) {
                for (int t : {1, 2}) {
                    add(label("ours", variant_label(v), s[0], s[1], n, t), s[2], [v, s, n, t](benchmark::State &st) {
                        bench_ours(st, v, WindowShape::square, s[0], s[1], n, t);
                    });
                    if (v.padding != Padding::replicate) continue;
                    // Equal windows: the disc OpenCV weighs for d = N, on the ratio table's size and threads.
                    if (s[0] == 1920 && t == 2) {
                        add(label("disc", variant_label(v), s[0], s[1], n, t), s[2],
                            [v, s, n, t](benchmark::State &st) {
                                bench_ours(st, v, WindowShape::disc, s[0], s[1], n, t);
                            });
                    }
#ifdef BF_BENCH_HAVE_OPENCV  // the peer row of each layout and type
                    add(label("opencv", type_label(v), s[0], s[1], n, t), s[2],
                        [v, s, n, t](benchmark::State &st) { bench_opencv(st, v, s[0], s[1], n, t); });
#endif
                }
            }
        }
    }
    for (const Variant v : bilateral::front::all_variants()) {
        if (v.padding != Padding::replicate) continue;
        for (int n : {5, 9, 15}) {
            add(label("oracle", variant_label(v), 256, 256, n, 1), 3,
                [v, n](benchmark::State &st) { bench_oracle(st, v, 256, 256, n); });
        }
        // Small pictures, what a call costs beyond its arithmetic: gray float and RGB 8-bit.
        if (v.sample != (v.layout == Layout::gray ? Sample::f32 : Sample::u8)) continue;
        add(label("ours", variant_label(v), 64, 64, 5, 1), 5,
            [v](benchmark::State &st) { bench_ours(st, v, WindowShape::square, 64, 64, 5, 1); });
#ifdef BF_BENCH_HAVE_OPENCV
        add(label("opencv", type_label(v), 64, 64, 5, 1), 5,
            [v](benchmark::State &st) { bench_opencv(st, v, 64, 64, 5, 1); });
#endif
    }

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
