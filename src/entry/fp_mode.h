// Pins the floating-point environment for the duration of a scope: round to
// nearest even, subnormals neither flushed nor treated as zero. Results are
// defined to the bit and must not depend on the caller's control state, and
// worker threads inherit whatever mode their creator had, so both the entry
// point and every task use this guard.
#ifndef BILATERAL_ENTRY_FP_MODE_H
#define BILATERAL_ENTRY_FP_MODE_H

#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace bilateral {

class FpModeGuard {
public:
#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__)
    // MXCSR: FTZ is bit 15, DAZ bit 6, rounding control bits 13-14.
    FpModeGuard() : saved_(_mm_getcsr()) {
        const uint32_t wanted = saved_ & ~((1u << 15) | (1u << 6) | (3u << 13));
        if (wanted != saved_) _mm_setcsr(wanted);
    }
    ~FpModeGuard() {
        if (_mm_getcsr() != saved_) _mm_setcsr(saved_);
    }

private:
    uint32_t saved_;
#elif defined(__aarch64__)
    // FPCR: FZ is bit 24, FZ16 bit 19, rounding mode bits 22-23; with the
    // Armv8.7 alternate floating-point behaviour, FIZ (bit 0) flushes inputs
    // and AH (bit 1) changes denormal and NaN handling. All of them cleared.
    FpModeGuard() : saved_(read()) {
        const uint64_t wanted = saved_ & ~((1ull << 24) | (1ull << 19) | (3ull << 22) | (1ull << 1) | 1ull);
        if (wanted != saved_) write(wanted);
    }
    ~FpModeGuard() {
        if (read() != saved_) write(saved_);
    }

private:
    static uint64_t read() {
        uint64_t v;
        __asm__ __volatile__("mrs %0, fpcr" : "=r"(v));
        return v;
    }
    static void write(uint64_t v) { __asm__ __volatile__("msr fpcr, %0" : : "r"(v)); }
    uint64_t saved_;
#else
#error "FpModeGuard: unsupported architecture"
#endif

public:
    FpModeGuard(const FpModeGuard &) = delete;
    FpModeGuard &operator=(const FpModeGuard &) = delete;
};

}  // namespace bilateral

#endif  // BILATERAL_ENTRY_FP_MODE_H
