#include "front/checks.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "front/joint.h"

namespace bilateral::front {
namespace {

Refusal argument(std::string text) { return {Refusal::Kind::argument, std::move(text)}; }

// A number as %g prints it.
std::string num(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// A whole number of bytes from a file such as memory.max; false for "max" or
// anything unreadable.
bool read_bytes(const std::string &path, double &bytes) {
    std::ifstream file(path);
    unsigned long long v;
    if (!(file >> v)) return false;
    bytes = double(v);
    return true;
}

// "MemAvailable:  123456 kB" from /proc/meminfo, or the physical memory.
double system_available() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    double kib;
    while (meminfo >> key >> kib) {
        if (key == "MemAvailable:") return kib * 1024;
        meminfo.ignore(64, '\n');
    }
    return double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGE_SIZE));
}

// Room left under the memory limits of the process's cgroup and its parents.
double cgroup_room() {
    double room = HUGE_VAL;
    std::ifstream groups("/proc/self/cgroup");
    std::string line;
    while (std::getline(groups, line)) {
        // "0::/path" (v2) or "N:memory:/path" (v1).
        const size_t a = line.find(':'), b = line.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        const std::string controllers = line.substr(a + 1, b - a - 1);
        std::string path = line.substr(b + 1);
        const bool v2 = controllers.empty();
        if (!v2 && controllers.find("memory") == std::string::npos) continue;
        const std::string root = v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/memory";
        const char *limit = v2 ? "/memory.max" : "/memory.limit_in_bytes";
        const char *usage = v2 ? "/memory.current" : "/memory.usage_in_bytes";
        for (;;) {
            double max = 0, used = 0;
            if (read_bytes(root + path + limit, max)) {
                read_bytes(root + path + usage, used);
                room = std::min(room, std::max(0.0, max - used));
            }
            if (path.empty() || path == "/") break;
            path = path.substr(0, path.find_last_of('/'));
        }
    }
    return room;
}

// Room left under RLIMIT_AS: the limit less the address space already mapped.
double address_space_room() {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return HUGE_VAL;
    std::ifstream status("/proc/self/status");
    std::string key;
    double mapped = 0, kib;
    while (status >> key) {
        if (key == "VmSize:" && status >> kib) mapped = kib * 1024;
        status.ignore(4096, '\n');
    }
    return std::max(0.0, double(limit.rlim_cur) - mapped);
}

// Shape-only descriptors of the call's input and output, for the library's
// scratch estimate.
struct Shapes {
    halide_dimension_t in_dims[3], out_dims[3];
    halide_dimension_t guide_dims[3];
    halide_buffer_t in{}, out{}, guide{};
    explicit Shapes(const Call &c) {
        const int32_t w = int32_t(std::min<int64_t>(c.width, INT32_MAX)), h = int32_t(std::min<int64_t>(c.height, INT32_MAX));
        in_dims[0] = out_dims[0] = guide_dims[0] = {0, w, 1, 0};
        in_dims[1] = out_dims[1] = guide_dims[1] = {0, h, w, 0};
        in_dims[2] = {0, c.channels, 0, 0};
        out_dims[2] = {0, 3, 0, 0};
        in.dimensions = out.dimensions = c.v.layout == Layout::rgb ? 3 : 2;
        in.dim = in_dims;
        out.dim = out_dims;
        in.type = out.type = type_of(c.v.sample);
        if (c.guide) {
            guide_dims[2] = {0, c.guide->channels, 0, 0};
            guide.dimensions = c.guide->layout == Layout::rgb ? 3 : 2;
            guide.dim = guide_dims;
            guide.type = type_of(c.guide->sample);
        }
    }
    static halide_type_t type_of(Sample s) {
        return s == Sample::f32 ? halide_type_t(halide_type_float, 32) : halide_type_t(halide_type_uint, s == Sample::u8 ? 8 : 16);
    }
};

}  // namespace

Refusal check_window_size(double window) {
    if (!(window >= 1)) return argument("the window must be at least 1, not " + num(window));
    if (window > kMaxWindow) {
        return argument("a window of " + num(window) + " would need " + bytes_text(4 * window * window) +
                        " for its weights alone; the limit is " + bytes_text(4.0 * kMaxWindow * kMaxWindow) +
                        ", a window of " + std::to_string(kMaxWindow));
    }
    return {};
}

Refusal check_weights(const float *weights, int64_t count) {
    double sum = 0;
    for (int64_t k = 0; k < count; ++k) {
        const float w = weights[k];
        if (!std::isfinite(w)) return argument("the weights must be finite float32 values, not " + num(w));
        if (w < 0) return argument("the weights must not be negative (" + num(w) + ")");
        sum += w;
    }
    if (!(sum > 0)) return argument("the weights sum to zero");
    // The sums of weight times sample (up to 65535) must stay finite in float32.
    if (sum * 65535 > FLT_MAX) return argument("the weights are too large (their sums would overflow); scale them down");
    return {};
}

Refusal check_sigma_range(double sigma) {
    if (!(sigma > 0) || std::isinf(sigma))
        return argument("the range sigma must be a positive finite number, not " + num(sigma));
    const float range_term = float(2 * sigma * sigma);
    if (range_term == 0)
        return argument("the range sigma " + num(sigma) +
                        " is too small: 2 sigma^2 is 0 in float32, which gives every neighbour the weight 0 "
                        "(an output of NaN, or 0 for integer samples)");
    if (std::isinf(range_term))
        return argument("the range sigma " + num(sigma) + " is too large: 2 sigma^2 overflows float32");
    return {};
}

Refusal check_pad_value(double pad, Sample sample) {
    if (!std::isfinite(pad)) return argument("the pad value must be finite, not " + num(pad));
    if (sample == Sample::f32 && std::fabs(pad) > FLT_MAX)
        return argument("the pad value " + num(pad) + " is outside float32's range");
    const double top = sample_top(sample);
    if (sample != Sample::f32 && !(pad >= 0 && pad <= top))
        return argument("the pad value must be within 0.." + num(top) + " for " +
                        (sample == Sample::u8 ? "8" : "16") + "-bit samples, not " + num(pad));
    return {};
}

double library_bytes(const Call &call) {
    Shapes shapes(call);
    const int threads = std::max(call.threads, 1);
    const int64_t scratch =
        call.guide ? BilateralFilter_scratch_bytes_joint(joint_entry_name(call.v.padding, Rounding::nearest).c_str(), &shapes.in,
                                                         &shapes.guide, call.window, &shapes.out, threads)
                   : BilateralFilter_scratch_bytes(entry_name(call.v).c_str(), &shapes.in, call.window, &shapes.out, threads);
    if (scratch < 0) return -1;
    return 4.0 * call.window * call.window + double(scratch);
}

double estimated_seconds(Layout layout, int64_t width, int64_t height, int window, int threads) {
    const double taps = double(width) * double(height) * window * window;
    const double rate = layout == Layout::rgb ? kColourTapsPerSecond : kGrayTapsPerSecond;
    return taps / (rate * std::max(threads, 1));
}

double available_memory() { return std::min({system_available(), cgroup_room(), address_space_room()}); }

int effective_threads(int requested) {
    if (requested > 0) return requested;
    const char *env = std::getenv("HL_NUM_THREADS");
    if (env != nullptr && std::atoi(env) > 0) return std::atoi(env);
    return int(std::max(1u, std::thread::hardware_concurrency()));
}

std::string bytes_text(double bytes) {
    static const char *const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 5) bytes /= 1024, ++unit;
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
    return text;
}

Verdict check_call(const Call &c) {
    Verdict verdict;
    Refusal &r = verdict.refusal;
    if ((r = check_window_size(c.window)) || (r = check_sigma_range(c.sigma_range))) return verdict;
    if (c.v.padding == Padding::constant && (r = check_pad_value(c.pad_value, c.v.sample))) return verdict;
    if (c.guide && c.v.padding == Padding::constant && (r = check_pad_value(c.pad_value, c.guide->sample))) return verdict;
    if (c.weights != nullptr && (r = check_weights(c.weights, int64_t(c.window) * c.window))) return verdict;
    const int64_t reach = 2 * std::max(c.width, c.height) + 1;
    if (c.window > reach) {
        r = argument("a window of " + std::to_string(c.window) + " is larger than a " + std::to_string(c.width) + "x" +
                     std::to_string(c.height) + " image can use (at most 2*max(width, height)+1 = " +
                     std::to_string(reach) + ")");
        return verdict;
    }
    const double library = library_bytes(c), have = available_memory();
    const double need = library < 0 ? HUGE_VAL : library + c.extra_bytes;
    if (need > have) {
        r = {Refusal::Kind::memory, "a window of " + std::to_string(c.window) + " on " + std::to_string(c.threads) +
                                        (c.threads == 1 ? " thread" : " threads") + " would need about " +
                                        bytes_text(need) + ", and " + bytes_text(have) +
                                        " is available; use a smaller window or fewer threads"};
        return verdict;
    }

    std::vector<std::string> &warn = verdict.warnings;
    // The range sigma is in the units of the samples the range weights compare.
    const Sample compared = c.guide ? c.guide->sample : c.v.sample;
    const bool compared_unit_range = c.guide ? c.guide->unit_range : c.unit_range;
    const std::string whose = c.guide ? "guide samples" : "samples";
    const char *bits = compared == Sample::u8 ? "8" : "16";
    if (compared != Sample::f32 && c.sigma_range < 1)
        warn.push_back("range sigma " + num(c.sigma_range) + " is below one level of " + bits + "-bit " + whose +
                       " (is it in 0..1 units? the range sigma is in the " + whose + "' own units, 0.." +
                       num(sample_top(compared)) + ")");
    if (compared == Sample::u8 && c.sigma_range > 255)
        warn.push_back("range sigma " + num(c.sigma_range) + " exceeds the 8-bit range 0..255 of the " + whose +
                       " and weighs every difference almost alike (16-bit units?)");
    if (compared_unit_range && c.sigma_range > 1)
        warn.push_back("the range sigma is in 0..1 units for these float " + whose + "; " + num(c.sigma_range) +
                       " weighs every difference almost alike (a plain blur)");
    if ((c.unit_range || (c.guide && c.guide->unit_range)) && c.v.padding == Padding::constant && c.pad_value > 1)
        warn.push_back("the pad value is in 0..1 units for these float samples; " + num(c.pad_value) + " is above 1");
    const bool colour = c.v.layout == Layout::rgb || (c.guide && c.guide->layout == Layout::rgb);
    const double seconds =
        estimated_seconds(colour ? Layout::rgb : Layout::gray, c.width, c.height, c.window, c.threads);
    if (seconds > kLongRunSeconds)
        warn.push_back("this will take long: about " + num(std::round(seconds / 60)) + " minutes for a window of " +
                       std::to_string(c.window) + " on a " + std::to_string(c.width) + "x" + std::to_string(c.height) +
                       " image with " + std::to_string(c.threads) + (c.threads == 1 ? " thread" : " threads"));
    return verdict;
}

}  // namespace bilateral::front
