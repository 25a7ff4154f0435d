// What every front end checks before it filters, in one place: the window
// limits, the spatial weights, the range sigma and pad value, the memory a
// call needs against what the machine has free, and warnings for values that
// look like the wrong units or a run that will take very long. The tool prints
// refusals and warnings on stderr; the Python package raises ValueError or
// MemoryError and issues warnings.
#ifndef BILATERAL_FRONT_CHECKS_H
#define BILATERAL_FRONT_CHECKS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "front/variants.h"

namespace bilateral::front {

// The largest window the front ends take: its weights alone take 1 GiB.
constexpr int kMaxWindow = 16384;

// Taps (window positions times pixels) one worker weighs per second on large
// windows, gray and RGB: measured with the tool on an AMD EPYC with AVX-512 at
// windows of 101 to 301 (gray 2.7e9 to 3.7e9, RGB 1.2e9 to 1.3e9), lowered for
// CPUs with AVX2 only. The front ends warn about runs longer than a minute.
constexpr double kGrayTapsPerSecond = 2.0e9, kColourTapsPerSecond = 0.8e9;
constexpr double kLongRunSeconds = 60;

// The Halide runtime's pool holds at most this many workers; it cuts larger counts to it.
constexpr int kMaxThreads = 256;

// A refusal: what is wrong, in one line, and whether memory is what is missing.
struct Refusal {
    enum class Kind { none, argument, memory };
    Kind kind = Kind::none;
    std::string text;
    explicit operator bool() const { return kind != Kind::none; }
};

// A window size given or derived from a spatial sigma: at least 1, at most kMaxWindow.
Refusal check_window_size(double window);

// N x N spatial weights: finite float32 values, none negative, not all zero,
// and small enough that weight sums times 16-bit samples stay finite.
Refusal check_weights(const float *weights, int64_t count);

// A range sigma: positive and finite, with 2 sigma^2 (the range term, formed in
// double and rounded to float32) neither 0 nor infinite.
Refusal check_sigma_range(double sigma);

// A constant-padding value: finite, within 0..255 or 0..65535 for 8- and
// 16-bit samples (the library would keep only its low bits), within float32's
// range for float samples.
Refusal check_pad_value(double pad, Sample sample);

// The guide of a joint call (front::call_joint): the range weights compare its
// samples, so the range sigma is in its units.
struct Guide {
    Layout layout = Layout::gray;
    Sample sample = Sample::f32;
    int channels = 1;         // 1 gray; the channels of an RGB guide, all of which enter the distance
    bool unit_range = false;  // float samples known to be in 0..1
};

// One filter call as a front end is about to make it.
struct Call {
    Variant v{};
    int64_t width = 0, height = 0;  // of the image
    int channels = 1;               // the input channels the entry point reads: 1 gray, 3 RGB
    int window = 0;
    const float *weights = nullptr;  // the N x N weights, checked when given
    double sigma_range = 0;
    double pad_value = 0;
    bool unit_range = false;  // float samples known to be in 0..1 (values above 1 look like other units)
    int threads = 1;          // workers the call may run on
    double extra_bytes = 0;   // what the front end allocates for the call itself (output, copies)
    std::optional<Guide> guide;  // a joint call's guide; its width and height are the image's
};

struct Verdict {
    Refusal refusal;
    std::vector<std::string> warnings;  // one line each
};

// Everything above for one call, and: the window against the image (at most
// 2 * max(width, height) + 1: a wider one only reaches padding), the memory
// the call needs against what is free, and warnings for likely unit mistakes
// and for a run that would take more than a minute. A joint call's pad value
// must suit the guide's sample type too, and the unit warnings about the range
// sigma follow the guide's sample type.
Verdict check_call(const Call &call);

// Seconds a call of this shape takes by the rates above: an estimate, for
// warnings and for cutting long calls into pieces.
double estimated_seconds(Layout layout, int64_t width, int64_t height, int window, int threads);

// Bytes the call needs beyond the image and what the front end allocates
// itself: the weights and the library's scratch on `threads` workers (a joint
// call's with the guide's staged planes); -1 when the library could not even
// hold one task's scratch.
double library_bytes(const Call &call);

// Bytes this process can still allocate: the smallest of the memory the
// system has available, the room left under the process's memory cgroup
// (v2 memory.max, or v1 memory.limit_in_bytes) and under its address-space
// limit (RLIMIT_AS).
double available_memory();

// The worker count a call will run on: `requested` when positive, else
// HL_NUM_THREADS when set, else the number of processors.
int effective_threads(int requested);

// "1.5 GiB", "61.0 MiB", "512 bytes".
std::string bytes_text(double bytes);

}  // namespace bilateral::front

#endif  // BILATERAL_FRONT_CHECKS_H
