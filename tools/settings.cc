// settings.cc: the checks on the filter's arguments and the settings they
// make; see settings.h for the order of the calls.
#include "settings.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <thread>
#include <vector>

namespace bilateral::cli {
namespace {

using Halide::Runtime::Buffer;
using image_io::Image;

constexpr double kMaxWeightBytes = double(1 << 30);
constexpr int kMaxWindow = 16384;  // its weights take 1 GiB

// "1.5 GiB", "61.0 MiB".
std::string bytes_text(double bytes) {
    char text[32];
    if (bytes >= double(1 << 30))
        std::snprintf(text, sizeof text, "%.1f GiB", bytes / double(1 << 30));
    else
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / double(1 << 20));
    return text;
}

// A number as %g prints it.
std::string num(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// Reads an N x N weights file (N*N finite, non-negative numbers, not all zero) into weights.
std::string read_weights(const std::string &path, Buffer<float> &weights) {
    std::ifstream file(path);
    if (!file) return "cannot open weights file " + path;
    const std::string what = "weights file " + path + ": ";
    std::vector<float> values;
    std::string token;
    double sum = 0;
    while (file >> token) {
        double v;
        if (!parse_number(token, v)) return what + "'" + token + "' is not a number";
        if (!std::isfinite(float(v))) return what + token + " is not a finite float32 weight";
        if (v < 0) return what + "negative weight " + token;
        if (values.size() >= size_t(kMaxWindow) * kMaxWindow)
            return what + "more than " + std::to_string(kMaxWindow) + "x" + std::to_string(kMaxWindow) + " weights";
        values.push_back(float(v));
        sum += values.back();
    }
    const int n = int(std::lround(std::sqrt(double(values.size()))));
    if (values.empty() || size_t(n) * n != values.size())
        return what + std::to_string(values.size()) + " values is not a square count (N*N)";
    if (!(sum > 0)) return what + "the weights sum to zero";
    // The filter's sums of weight times sample (up to 65535) must stay finite in float32.
    if (sum * 65535 > std::numeric_limits<float>::max()) return what + "the weights are too large; scale them down";
    weights = Buffer<float>(n, n);
    std::copy(values.begin(), values.end(), weights.begin());
    return "";
}

// Peak bytes of filtering img beyond the loaded image: the output, the weights,
// each busy worker's scratch (tap tables of 52 bytes a tap, staged planes of
// about (640 + 2N) x (tile height + N) floats for each colour channel and one
// more, 2.5 MiB of weight planes) and the copies of the colour channels.
double filter_bytes(const Image &img, const FilterSettings &s) {
    const double n = s.window, colour = img.channels >= 3 ? 3 : 1, tile_h = colour == 3 ? 32 : 64;
    const double pixels = double(img.width) * img.height, image = pixels * img.channels * img.depth() / 8;
    const double tiles = std::ceil(img.width / 512.0) * std::ceil(img.height / tile_h);
    const double scratch = 52 * n * n + 4 * (colour + 1) * (640 + 2 * n) * (tile_h + n) + 2.5 * (1 << 20);
    // call_filter copies strips of rows, near kRoundingBudget but at least 2N rows.
    const double row =
        2 * img.width * colour * (s.use_float || s.rounding == Rounding::nearest ? 4 : img.depth() / 8);
    const double copies = s.use_float
                              ? row * img.height
                              : std::min(row * img.height, std::max(double(kRoundingBudget), row * 2 * n));
    return image + 4 * n * n + std::min(tiles, double(s.threads)) * scratch + copies;
}

}  // namespace

std::string check_arguments(const Options &opt) {
    if (!opt.use_float && (opt.pad_value < 0 || opt.pad_value > 65535))
        return "--pad-value must be within 0..65535 (0..255 for 8-bit images)";
    return "";
}

void warn_about_units(const Options &opt) {
    if (opt.use_float && opt.sigma_range > 1)
        warn("with --float the range sigma is in 0..1 units; " + num(opt.sigma_range) +
             " weighs every difference almost alike (a plain blur)");
    if (opt.use_float && opt.padding == Padding::constant && opt.pad_value > 1)
        warn("with --float the pad value is in 0..1 units; it is above 1");
}

std::string make_settings(const Options &opt, FilterSettings &s) {
    if (!opt.weights_file.empty()) {
        const std::string error = read_weights(opt.weights_file, s.weights);
        if (!error.empty()) return error;
        s.window = s.weights.width();
        if (opt.window != 0 && opt.window != s.window)
            return "--window " + std::to_string(opt.window) + " does not match the " + std::to_string(s.window) + "x" +
                   std::to_string(s.window) + " weights in " + opt.weights_file;
    } else {
        // In double: a huge sigma must not overflow the int on its way to the limit.
        const double window = opt.window != 0 ? opt.window : 2 * std::ceil(2 * opt.sigma_spatial) + 1;
        if (window > kMaxWindow) {
            const std::string name =
                opt.window != 0 ? "--window " + std::to_string(opt.window)
                                : "--sigma-spatial " + num(opt.sigma_spatial) + " (a window of " + num(window) + ")";
            return name + " would need " + bytes_text(4 * window * window) + " for its weights alone; the limit is " +
                   bytes_text(kMaxWeightBytes) + ", a window of " + std::to_string(kMaxWindow);
        }
        s.window = int(window);
    }
    s.sigma_spatial = opt.sigma_spatial;
    s.use_float = opt.use_float;
    s.rounding = opt.truncate ? Rounding::truncate : Rounding::nearest;
    s.sigma_range = opt.sigma_range;
    s.padding = opt.padding;
    s.pad_value = opt.pad_value;
    const char *env = std::getenv("HL_NUM_THREADS");
    s.threads = opt.threads > 0                        ? opt.threads
                : env != nullptr && std::atoi(env) > 0 ? std::atoi(env)
                                                       : int(std::max(1u, std::thread::hardware_concurrency()));
    return "";
}

void note_window(const Options &opt, const FilterSettings &s) {
    static bool noted = false;
    if (s.window % 2 == 0 && !opt.quiet && !noted)
        std::fprintf(stderr, "note: an even window (%d) reaches one position further left and up\n", s.window);
    noted = true;
}

std::string check_image(const FilterSettings &s, const Image &img) {
    if (!s.use_float && img.depth() == 8 && s.pad_value > 255)
        return "--pad-value must be within 0..255 for 8-bit images";
    const int64_t reach = 2 * int64_t{std::max(img.width, img.height)} + 1;
    if (s.window > reach)
        return "a window of " + std::to_string(s.window) + " is larger than a " + std::to_string(img.width) + "x" +
               std::to_string(img.height) +
               " image can use (at most 2*max(width, height)+1 = " + std::to_string(reach) + ")";
    const double need = filter_bytes(img, s);
    const double have = double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGE_SIZE));
    if (need > have)
        return "a window of " + std::to_string(s.window) + " on " + std::to_string(s.threads) +
               " threads would need about " + bytes_text(need) + " (this machine has " + bytes_text(have) +
               "); use a smaller --window or --sigma-spatial, or fewer --threads";
    if (!s.use_float && s.sigma_range < 1)
        warn("range sigma " + num(s.sigma_range) + " is below one level of " + std::to_string(img.depth()) +
             "-bit samples (is it in 0..1 units? the range sigma is in the samples' own units)");
    if (!s.use_float && img.depth() == 8 && s.sigma_range > 255)
        warn("range sigma " + num(s.sigma_range) +
             " exceeds the 8-bit range 0..255 and weighs every difference almost alike (16-bit units?)");
    return "";
}

}  // namespace bilateral::cli
