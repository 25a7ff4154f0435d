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

// The sample type img is filtered in.
front::Sample sample_of(const FilterSettings &s, const Image &img) {
    return s.use_float ? front::Sample::f32 : img.depth() == 16 ? front::Sample::u16 : front::Sample::u8;
}

front::Layout layout_of(const Image &img) { return img.channels >= 3 ? front::Layout::rgb : front::Layout::gray; }

// What the tool itself allocates to filter img: the output image, and either
// the float planes of --float or the strip copies of the rounding call.
double own_bytes(const FilterSettings &s, const Image &img) {
    const double colour = img.channels >= 3 ? 3 : 1, pixels = double(img.width) * img.height;
    const double image = pixels * img.channels * img.depth() / 8;
    const double guide_planes = s.guide.channels >= 3 ? 3 : s.guide.channels > 0 ? 1 : 0;
    if (s.use_float) return image + 4 * (2 * colour + guide_planes) * pixels;
    if (s.guide.width != 0) return image;  // the joint entry points read and write interleaved samples in place
    // Rounded to nearest, interleaved samples are read and written in place; truncated ones are copied in
    // strips of rows.
    const double row = 2 * img.width * colour * img.depth() / 8;
    const bool copies = s.rounding == Rounding::truncate && img.channels > 1;
    return image + (copies ? std::min(row * img.height, std::max(double(front::kRoundingBudget), row * 2 * s.window))
                           : 0.0);
}

}  // namespace

double range_sigma(const FilterSettings &s, front::Sample sample) {
    return std::isnan(s.sigma_range) ? front::default_sigma_range(sample) : s.sigma_range;
}

front::Sample compared_sample(const FilterSettings &s, const Image &img) {
    return sample_of(s, s.guide.width != 0 ? s.guide : img);
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
    s.guide_file = opt.guide_file;
    if (opt.guide_file.empty()) return "";
    std::vector<std::string> warnings;  // what a guide leaves out of its metadata does not matter
    image_io::LoadOptions options = opt.load;
    options.warnings = &warnings;
    const std::string error = image_io::load(opt.guide_file, s.guide, options);
    if (!error.empty()) return "--guide: " + error;
    if (s.guide.channels < 1 || s.guide.channels > 4)
        return "--guide " + opt.guide_file + ": unsupported channel count " + std::to_string(s.guide.channels);
    return "";
}

void note_window(const Options &opt, const FilterSettings &s) {
    static bool noted = false;
    if (s.window % 2 == 0 && !opt.quiet && !noted)
        std::fprintf(stderr, "note: an even window (%d) reaches one position further left and up\n", s.window);
    noted = true;
}

std::string check_image(const FilterSettings &s, const Image &img) {
    const Image &guide = s.guide;
    if (guide.width != 0 && (guide.width != img.width || guide.height != img.height))
        return std::to_string(img.width) + "x" + std::to_string(img.height) + ", but the guide " + s.guide_file +
               " is " + std::to_string(guide.width) + "x" + std::to_string(guide.height) +
               "; a guide must have the input's width and height";
    front::Call call;
    call.v = {layout_of(img), sample_of(s, img), s.padding};
    call.width = img.width;
    call.height = img.height;
    call.channels = call.v.layout == front::Layout::rgb ? 3 : 1;
    call.window = s.window;
    call.weights = s.weights.data();  // the file's; the Gaussian needs no check
    if (guide.width != 0)
        call.guide = front::Guide{layout_of(guide), sample_of(s, guide), layout_of(guide) == front::Layout::rgb ? 3 : 1,
                                  s.use_float};
    call.sigma_range = range_sigma(s, compared_sample(s, img));
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
