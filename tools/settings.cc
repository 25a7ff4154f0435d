// settings.cc: the filter's arguments as the tool takes them, checked by the
// front ends' shared checks; see settings.h for the order of the calls.
#include "settings.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

#include "front/checks.h"
#include "front/rounding.h"

namespace bilateral::cli {
namespace {

using Halide::Runtime::Buffer;
using image_io::Image;

// At most this much of a bad token is quoted back.
constexpr size_t kQuoted = 40;

std::string quoted(const std::string &token) {
    return "'" + (token.size() <= kQuoted ? token : token.substr(0, kQuoted) + "...") + "'";
}

// Reads an N x N weights file (N*N numbers, one window row after another) into weights.
std::string read_weights(const std::string &path, Buffer<float> &weights) {
    std::ifstream file(path);
    if (!file) return "cannot open weights file " + path;
    const std::string what = "weights file " + path + ": ";
    std::vector<float> values;
    std::string token;
    const size_t most = size_t(front::kMaxWindow) * front::kMaxWindow;
    while (file >> token) {
        double v;
        if (!parse_number(token, v)) return what + quoted(token) + " is not a number";
        if (values.size() >= most)
            return what + "more than " + std::to_string(front::kMaxWindow) + "x" + std::to_string(front::kMaxWindow) +
                   " weights";
        values.push_back(float(v));
    }
    const int n = int(std::lround(std::sqrt(double(values.size()))));
    if (values.empty() || size_t(n) * n != values.size())
        return what + std::to_string(values.size()) + " values is not a square count (N*N)";
    if (const front::Refusal r = front::check_weights(values.data(), int64_t(values.size()))) return what + r.text;
    weights = Buffer<float>(n, n);
    std::copy(values.begin(), values.end(), weights.begin());
    return "";
}

// The variant a loaded image is filtered with.
front::Variant variant_of(const FilterSettings &s, const Image &img) {
    const front::Sample sample = s.use_float ? front::Sample::f32 : img.depth() == 16 ? front::Sample::u16
                                                                                       : front::Sample::u8;
    return {img.channels >= 3 ? front::Layout::rgb : front::Layout::gray, sample, s.padding};
}

// What the tool itself allocates to filter img: the output image, and either
// the float planes of --float or the strip copies of the rounding call.
double own_bytes(const FilterSettings &s, const Image &img) {
    const double colour = img.channels >= 3 ? 3 : 1, pixels = double(img.width) * img.height;
    const double image = pixels * img.channels * img.depth() / 8;
    if (s.use_float) return image + 2 * 4 * colour * pixels;
    const double row = 2 * img.width * colour * (s.rounding == Rounding::nearest ? 4 : img.depth() / 8);
    const bool copies = s.rounding == Rounding::nearest || img.channels > 1;  // interleaved: strips too
    return image + (copies ? std::min(row * img.height, std::max(double(front::kRoundingBudget), row * 2 * s.window))
                           : 0.0);
}

}  // namespace

double range_sigma(const FilterSettings &s, front::Sample sample) {
    return std::isnan(s.sigma_range) ? front::default_sigma_range(sample) : s.sigma_range;
}

std::string check_arguments(const Options &opt) {
    // Each image's depth narrows the pad value further (0..255 for 8-bit).
    if (opt.padding == Padding::constant || opt.given.count("--pad-value") != 0) {
        const front::Sample widest = opt.use_float ? front::Sample::f32 : front::Sample::u16;
        if (const front::Refusal r = front::check_pad_value(opt.pad_value, widest)) return "--pad-value: " + r.text;
    }
    if (!std::isnan(opt.sigma_range)) {
        if (const front::Refusal r = front::check_sigma_range(opt.sigma_range)) return "--sigma-range: " + r.text;
    }
    return "";
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
        const double window = opt.window != 0 ? opt.window : front::default_window(opt.sigma_spatial);
        if (const front::Refusal r = front::check_window_size(window)) {
            char sigma[32];
            std::snprintf(sigma, sizeof sigma, "%g", opt.sigma_spatial);
            return (opt.window != 0 ? "--window: " : "--sigma-spatial " + std::string(sigma) + ": ") + r.text;
        }
        s.window = int(window);
    }
    s.sigma_spatial = opt.sigma_spatial;
    s.window_shape = opt.window_shape;
    s.use_float = opt.use_float;
    s.rounding = opt.truncate ? Rounding::truncate : Rounding::nearest;
    s.sigma_range = opt.sigma_range;
    s.padding = opt.padding;
    s.pad_value = opt.pad_value;
    s.threads = front::effective_threads(opt.threads);
    return "";
}

void note_window(const Options &opt, const FilterSettings &s) {
    static bool noted = false;
    if (s.window % 2 == 0 && !opt.quiet && !noted)
        std::fprintf(stderr, "note: an even window (%d) reaches one position further left and up\n", s.window);
    noted = true;
}

std::string check_image(const FilterSettings &s, const Image &img) {
    front::Call call;
    call.v = variant_of(s, img);
    call.width = img.width;
    call.height = img.height;
    call.channels = call.v.layout == front::Layout::rgb ? 3 : 1;
    call.window = s.window;
    call.weights = s.weights.data();  // the file's; the Gaussian needs no check
    call.sigma_range = range_sigma(s, call.v.sample);
    call.pad_value = s.pad_value;
    call.unit_range = s.use_float;
    call.threads = s.threads;
    call.extra_bytes = own_bytes(s, img);
    const front::Verdict verdict = front::check_call(call);
    if (verdict.refusal) return verdict.refusal.text;
    for (const std::string &w : verdict.warnings) warn(w);
    return "";
}

}  // namespace bilateral::cli
