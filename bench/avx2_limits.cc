// What the pieces of the filter cost on this CPU with 8-lane AVX2 vectors, each measured alone:
// the throughput of single operations, range_exp with its division, a gathered 256-entry weight
// table, and the tap loop (two loads, an add and a fused multiply-add per vector and tap). Prints
// cycles at the clock measured by a chain of dependent integer adds. docs/performance-avx2.md
// explains what the numbers mean for the kernels. x86-64 only.
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

#define AVX2 __attribute__((target("avx2,fma"), noinline))

double now_ns() {
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Best of many runs: on a shared machine the minimum is the run nothing else disturbed.
template <class F>
double best_ns(F f, int runs = 2000) {
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        const double t0 = now_ns();
        f();
        best = std::min(best, now_ns() - t0);
    }
    return best;
}

// Clock in GHz: four dependent one-cycle adds per iteration.
double clock_ghz() {
    const double ns = best_ns(
        [] {
            uint64_t x = 0;
            for (int i = 0; i < 1000000; ++i) asm volatile("add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0" : "+r"(x));
        },
        50);
    return 4e6 / ns;
}

// The single operations timed, one kind at a time.
enum class Op { fma, mul, add, floor, compare, blend, divide };

template <Op kOp>
__attribute__((target("avx2,fma"), always_inline)) inline __m256 step(__m256 a) {
    const __m256 b = _mm256_set1_ps(0.999f), c = _mm256_set1_ps(0.001f);
    if constexpr (kOp == Op::fma) return _mm256_fmadd_ps(a, b, c);
    if constexpr (kOp == Op::mul) return _mm256_mul_ps(a, b);
    if constexpr (kOp == Op::add) return _mm256_add_ps(a, b);
    if constexpr (kOp == Op::floor) return _mm256_floor_ps(a);
    if constexpr (kOp == Op::compare) return _mm256_cmp_ps(a, b, _CMP_LE_OQ);
    if constexpr (kOp == Op::blend) return _mm256_blendv_ps(b, a, a);
    return _mm256_div_ps(a, _mm256_set1_ps(1.0001f));
}

// Eight independent chains of one operation: its throughput.
template <Op kOp>
AVX2 float chains() {
    __m256 a0 = _mm256_set1_ps(1.0f), a1 = _mm256_set1_ps(1.1f), a2 = _mm256_set1_ps(1.2f), a3 = _mm256_set1_ps(1.3f);
    __m256 a4 = _mm256_set1_ps(1.4f), a5 = _mm256_set1_ps(1.5f), a6 = _mm256_set1_ps(1.6f), a7 = _mm256_set1_ps(1.7f);
    for (int k = 0; k < 100000; ++k) {
        a0 = step<kOp>(a0), a1 = step<kOp>(a1), a2 = step<kOp>(a2), a3 = step<kOp>(a3);
        a4 = step<kOp>(a4), a5 = step<kOp>(a5), a6 = step<kOp>(a6), a7 = step<kOp>(a7);
    }
    const __m256 s = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)),
                                   _mm256_add_ps(_mm256_add_ps(a4, a5), _mm256_add_ps(a6, a7)));
    return _mm256_cvtss_f32(s);
}

// range_exp of -(a - b)^2 / R, one vector per step: the weight a kernel computes per pair.
AVX2 void weights_computed(const float *a, const float *b, float *out, int n) {
    const __m256 L = _mm256_set1_ps(1.4426950216293335f), M = _mm256_set1_ps(-0.6931471824645996f);
    const __m256 c7 = _mm256_set1_ps(0.000319659331580624f), c6 = _mm256_set1_ps(0.0011915683280676603f);
    const __m256 c5 = _mm256_set1_ps(0.008489886298775673f), c4 = _mm256_set1_ps(0.04160188138484955f);
    const __m256 c3 = _mm256_set1_ps(0.16667984426021576f), c2 = _mm256_set1_ps(0.4999989867210388f);
    const __m256 one = _mm256_set1_ps(1.0f), minus_r = _mm256_set1_ps(-1300.5f), bias = _mm256_set1_ps(12582912.0f);
    const __m256 low = _mm256_set1_ps(-127.0f);
    const __m256i exp_one = _mm256_set1_epi32(0x3F800000);
    for (int u = 0; u < n; u += 8) {
        const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + u), _mm256_loadu_ps(b + u));
        const __m256 t = _mm256_div_ps(_mm256_mul_ps(d, d), minus_r);
        const __m256 kf = _mm256_floor_ps(_mm256_mul_ps(t, L));
        const __m256 r = _mm256_fmadd_ps(kf, M, t);
        const __m256 s = _mm256_mul_ps(r, r);
        const __m256 odd = _mm256_fmadd_ps(r, _mm256_mul_ps(_mm256_fmadd_ps(_mm256_fmadd_ps(s, c7, c5), s, c3), s), r);
        const __m256 even = _mm256_fmadd_ps(_mm256_fmadd_ps(_mm256_fmadd_ps(s, c6, c4), s, c2), s, one);
        const __m256i k = _mm256_castps_si256(_mm256_add_ps(kf, bias));
        const __m256 scale = _mm256_castsi256_ps(_mm256_add_epi32(_mm256_slli_epi32(k, 23), exp_one));
        const __m256 v = _mm256_mul_ps(_mm256_add_ps(even, odd), scale);
        _mm256_storeu_ps(out + u, _mm256_andnot_ps(_mm256_cmp_ps(kf, low, _CMP_LE_OQ), v));
    }
}

// The same weights from a 256-entry table indexed by |a - b| of 8-bit samples.
AVX2 void weights_gathered(const float *table, const uint8_t *a, const uint8_t *b, float *out, int n) {
    for (int u = 0; u < n; u += 8) {
        const __m256i x = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(a + u)));
        const __m256i y = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(b + u)));
        _mm256_storeu_ps(out + u, _mm256_i32gather_ps(table, _mm256_abs_epi32(_mm256_sub_epi32(x, y)), 4));
    }
}

// 25 taps over four vectors at a time: sum += w, acc = fma(w, n, acc), then acc / sum, with the
// weights in 37 planes of 528 floats (a block's ring) and the samples in a staged tile.
AVX2 void tap_loop(const float *const *weight, const float *const *sample, float *out, int cols) {
    for (int q = 0; q < cols; q += 32) {
        __m256 sum[4], acc[4];
        for (int v = 0; v < 4; ++v) sum[v] = acc[v] = _mm256_setzero_ps();
        for (int t = 0; t < 25; ++t) {
            for (int v = 0; v < 4; ++v) {
                __m256 w = _mm256_loadu_ps(weight[t] + q + 8 * v);
                asm("" : "+x"(w));  // one load per weight, not one per use
                sum[v] = _mm256_add_ps(w, sum[v]);
                acc[v] = _mm256_fmadd_ps(w, _mm256_loadu_ps(sample[t] + q + 8 * v), acc[v]);
            }
        }
        for (int v = 0; v < 4; ++v) _mm256_storeu_ps(out + q + 8 * v, _mm256_div_ps(acc[v], sum[v]));
    }
}

}  // namespace

int main() {
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) {
        std::puts("avx2_limits: this CPU has no AVX2 with FMA");
        return 0;
    }
    const double ghz = clock_ghz();
    std::printf("clock %.2f GHz (dependent integer adds)\n\n", ghz);
    const auto per_op = [&](const char *name, float (*run)()) {
        const double ns = best_ns([&] { volatile float sink = run(); (void)sink; }, 30) / (8 * 100000.0);
        std::printf("%-26s %5.2f cycles per instruction (8 independent chains)\n", name, ns * ghz);
    };
    per_op("vfmadd231ps", chains<Op::fma>);
    per_op("vmulps", chains<Op::mul>);
    per_op("vaddps", chains<Op::add>);
    per_op("vroundps (floor)", chains<Op::floor>);
    per_op("vcmpps", chains<Op::compare>);
    per_op("vblendvps", chains<Op::blend>);
    per_op("vdivps", chains<Op::divide>);

    const int n = 2048;
    std::vector<float> fa(n), fb(n), out(n), table(256);
    std::vector<uint8_t> ua(n), ub(n);
    for (int i = 0; i < n; ++i) ua[i] = uint8_t(i * 37), ub[i] = uint8_t(i * 91), fa[i] = ua[i], fb[i] = ub[i];
    for (int i = 0; i < 256; ++i) table[i] = 1.0f / float(1 + i);
    const double vectors = n / 8.0;
    const double computed = best_ns([&] { weights_computed(fa.data(), fb.data(), out.data(), n); }) / vectors;
    const double gathered =
        best_ns([&] { weights_gathered(table.data(), ua.data(), ub.data(), out.data(), n); }) / vectors;
    std::printf("\nrange weight, computed (division and range_exp) %5.1f cycles per 8 lanes\n", computed * ghz);
    std::printf("range weight, gathered from a 256-entry table  %5.1f cycles per 8 lanes\n", gathered * ghz);

    const int cols = 512, plane_cols = 528, planes = 37, rows = 68;
    std::vector<float> ring(size_t(planes) * plane_cols, 0.5f), staged(size_t(rows) * plane_cols, 1.0f);
    const float *weight[25], *sample[25];
    for (int t = 0; t < 25; ++t) {
        weight[t] = ring.data() + size_t(t * 7 % planes) * plane_cols + 2;
        sample[t] = staged.data() + size_t(t / 5) * plane_cols + t % 5;
    }
    const double taps = best_ns([&] { tap_loop(weight, sample, out.data(), cols); }) / (cols / 8 * 25);
    std::printf("tap loop (2 loads, add, fma)                   %5.2f cycles per vector and tap\n", taps * ghz);
    return 0;
}
