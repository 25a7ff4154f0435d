// bilateral: smooths PNG, TIFF and JPEG images with the bilateral filter library.
//
//   bilateral [options] INPUT OUTPUT
//   bilateral [options] -o OUTDIR INPUT...
//   bilateral [options] [-o OUTDIR]          (no input: the built-in demo)
#include <HalideBuffer.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "bilateral_filter.h"
#include "front_end.h"
#include "image_io.h"

namespace {

using Halide::Runtime::Buffer;
using image_io::Image;

const char *const kUsage = R"(usage: bilateral [options] INPUT OUTPUT
       bilateral [options] -o OUTDIR INPUT...
       bilateral [options] [-o OUTDIR]        (no input: built-in demo)

Smooths a PNG, TIFF or JPEG image with an edge-preserving bilateral filter.
Gray images are filtered as gray, colour images as RGB; 16-bit images as
16-bit, others as 8-bit. The output format follows the OUTPUT extension: .png,
.tif, .tiff, .jpg or .jpeg; PNG and TIFF keep the input's depth (TIFF written
Deflate-compressed), JPEG takes 8-bit images only (written at quality 95).

Options:
  --sigma-spatial S   spatial sigma in pixels (default 1)
  --window N          window size (default 2*ceil(2*S)+1); an even N reaches
                      one position further left and up
  --sigma-range R     range sigma (default 10% of the sample range: 25.5 for
                      8-bit images, 6553.5 for 16-bit, 0.1 with --float)
  --padding P         constant, replicate or symmetric (default replicate)
  --pad-value V       value outside the image for constant padding (default 0;
                      0..255 for 8-bit images, 0..65535 for 16-bit, 0..1
                      units with --float)
  --weights FILE      spatial weights instead of the Gaussian: N*N numbers
                      separated by white space, one window row after another;
                      N becomes the window size
  --float             filter in float32: samples scaled to v/M (M = 255 for
                      8-bit images, 65535 for 16-bit), results written back
                      as clamp(v*M, 0, M) rounded to nearest (halves away
                      from zero), in the input's depth. Without it images go
                      through the 8- or 16-bit filter, which truncates.
  --drop-alpha        filter images with alpha by dropping the alpha channel
                      (otherwise they are refused)
  --threads T         number of worker threads
  --compare FILE      also write input and output side by side into FILE
  --time              print the filter time and megapixels per second
  -o OUTDIR           write each output to OUTDIR under its input's file name
  -q                  quiet: no progress or notes
  -h, --help          this text

PNG: 1- to 16-bit gray, gray + alpha, RGB, RGBA and palette images (palettes
become RGB, palette transparency is ignored; below 8 bits become 8-bit).
TIFF: the first image of the file; 8- or 16-bit unsigned gray (MinIsBlack)
or RGB, with or without alpha, interleaved or in separate planes, strips or
tiles, uncompressed, LZW or Deflate. Other TIFFs (JPEG-compressed, palette,
floating point, other depths, ...) are refused. JPEG: 8-bit gray or colour.
Output files are written to a temporary file and renamed into place, so a
failure never leaves a partial or damaged output.
)";

// Everything the command line sets.
struct Options {
    double sigma_spatial = bilateral::kDefaultSigmaSpatial;
    int window = 0;            // 0: derived from sigma_spatial or the weights file
    double sigma_range = NAN;  // NaN: 10% of the sample range
    bilateral::Padding padding = bilateral::Padding::replicate;
    double pad_value = 0;
    std::string weights_file;
    int threads = 0;
    std::string compare;
    std::string outdir;
    bool use_float = false, drop_alpha = false, time = false, quiet = false;
    std::vector<std::string> inputs;
};

// What the filter needs for one image.
struct FilterSettings {
    Buffer<float> weights;
    int window = 0;
    double sigma_range = NAN;  // NaN: 10% of the filtered sample type's range
    bilateral::Padding padding = bilateral::Padding::replicate;
    double pad_value = 0;
    bool use_float = false;
};

// "PATH: unknown output format (...)".
std::string unknown_format(const std::string &path) {
    return path + ": unknown output format (use " + image_io::kKnownExtensions + ")";
}

// Parses the whole of text as a number.
bool parse_number(const std::string &text, double &value) {
    if (text.empty()) return false;
    char *end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0';
}

// Parses the whole of text as a positive integer.
bool parse_positive_int(const std::string &text, int &value) {
    double v;
    if (!parse_number(text, v) || !(v >= 1) || v > 1e9 || v != std::floor(v)) return false;
    value = int(v);
    return true;
}

// Every long option takes a value except these; of the short ones only -o does.
bool takes_value(const std::string &arg) {
    if (arg == "-o") return true;
    return arg.rfind("--", 0) == 0 && arg != "--float" && arg != "--drop-alpha" && arg != "--time" &&
           arg != "--help" && arg != "--";
}

// Sets what one argument (with its value, if it takes one) says; returns an error message.
std::string set_option(const std::string &arg, const std::string &value, Options &opt) {
    if (arg == "-q") {
        opt.quiet = true;
    } else if (arg == "--float") {
        opt.use_float = true;
    } else if (arg == "--drop-alpha") {
        opt.drop_alpha = true;
    } else if (arg == "--time") {
        opt.time = true;
    } else if (arg == "-o") {
        opt.outdir = value;
    } else if (arg == "--sigma-spatial" || arg == "--sigma-range") {
        double &sigma = arg == "--sigma-spatial" ? opt.sigma_spatial : opt.sigma_range;
        if (!parse_number(value, sigma) || !(sigma > 0) || std::isinf(sigma))
            return arg + " must be a positive number, not '" + value + "'";
    } else if (arg == "--window" || arg == "--threads") {
        if (!parse_positive_int(value, arg == "--window" ? opt.window : opt.threads))
            return arg + " must be a positive integer, not '" + value + "'";
    } else if (arg == "--padding") {
        if (!bilateral::padding_from_name(value, opt.padding))
            return "--padding must be constant, replicate or symmetric, not '" + value + "'";
    } else if (arg == "--pad-value") {
        if (!parse_number(value, opt.pad_value) || !std::isfinite(opt.pad_value))
            return "--pad-value must be a number, not '" + value + "'";
    } else if (arg == "--weights") {
        opt.weights_file = value;
    } else if (arg == "--compare") {
        opt.compare = value;
    } else if (arg.size() > 1 && arg[0] == '-') {
        return "unknown option " + arg;
    } else {
        opt.inputs.push_back(arg);
    }
    return "";
}

// Checks the options together: the pad value against the sample type, and
// the inputs against the outputs.
std::string check_combination(const Options &opt) {
    if (!opt.use_float && (opt.pad_value < 0 || opt.pad_value > 65535))
        return "--pad-value must be within 0..65535 (0..255 for 8-bit images)";
    if (opt.outdir.empty() && opt.inputs.size() == 1) return "missing OUTPUT (or use -o OUTDIR)";
    if (opt.outdir.empty() && opt.inputs.size() > 2) return "several inputs need -o OUTDIR";
    const size_t images = opt.outdir.empty() ? std::min<size_t>(opt.inputs.size(), 1) : opt.inputs.size();
    if (!opt.compare.empty() && images > 1) return "--compare takes a single input";
    if (!opt.compare.empty() && !image_io::has_known_extension(opt.compare)) return unknown_format(opt.compare);
    if (opt.outdir.empty() && opt.inputs.size() == 2 && !image_io::has_known_extension(opt.inputs[1]))
        return unknown_format(opt.inputs[1]);
    return "";
}

// Fills options from argv; returns an error message, "help" for -h.
std::string parse_options(int argc, char **argv, Options &opt) {
    for (int k = 1; k < argc; ++k) {
        std::string arg = argv[k], value;
        if (takes_value(arg)) {
            const size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
            } else if (k + 1 < argc) {
                value = argv[++k];
            } else {
                return arg + " needs a value";
            }
        }
        if (arg == "-h" || arg == "--help") return "help";
        const std::string error = set_option(arg, value, opt);
        if (!error.empty()) return error;
    }
    return check_combination(opt);
}

// Reads an N x N weights file (N*N numbers) into weights.
std::string read_weights(const std::string &path, Buffer<float> &weights) {
    std::ifstream file(path);
    if (!file) return "cannot open weights file " + path;
    std::vector<double> values;
    std::string token;
    while (file >> token) {
        double v;
        if (!parse_number(token, v) || !std::isfinite(v))
            return "weights file " + path + ": '" + token + "' is not a number";
        values.push_back(v);
    }
    const int n = int(std::lround(std::sqrt(double(values.size()))));
    if (values.empty() || size_t(n) * n != values.size())
        return "weights file " + path + ": " + std::to_string(values.size()) + " values is not a square count (N*N)";
    weights = Buffer<float>(n, n);
    weights.for_each_element([&](int i, int j) { weights(i, j) = float(values[size_t(j) * n + i]); });
    return "";
}

// Builds the filter settings from the options: weights, window, range sigma.
std::string make_settings(const Options &opt, FilterSettings &s) {
    if (!opt.weights_file.empty()) {
        const std::string error = read_weights(opt.weights_file, s.weights);
        if (!error.empty()) return error;
        s.window = s.weights.width();
        if (opt.window != 0 && opt.window != s.window)
            return "--window " + std::to_string(opt.window) + " does not match the " + std::to_string(s.window) + "x" +
                   std::to_string(s.window) + " weights in " + opt.weights_file;
    } else {
        s.window = opt.window != 0 ? opt.window : bilateral::default_window(opt.sigma_spatial);
        s.weights = Buffer<float>(s.window, s.window);
        const std::vector<float> gaussian = bilateral::gaussian_weights(s.window, opt.sigma_spatial);
        std::copy(gaussian.begin(), gaussian.end(), s.weights.begin());
    }
    s.use_float = opt.use_float;
    s.sigma_range = opt.sigma_range;
    s.padding = opt.padding;
    s.pad_value = opt.pad_value;
    if (s.window % 2 == 0 && !opt.quiet)
        std::fprintf(stderr, "note: an even window (%d) reaches one position further left and up\n", s.window);
    return "";
}

// Filters the interleaved samples src of img (S: uint8_t or uint16_t) into dst
// through planar, x-contiguous buffers of T: (x, y) for gray, (x, y, c) for
// RGB. Float samples go in as v/M and come back as clamp(v*M, 0, M) rounded to
// nearest, M the largest S. Returns the seconds spent in the library.
template <typename T, typename S>
double filter_planes(const Image &img, const std::vector<S> &src, const FilterSettings &s, std::vector<S> &dst) {
    const int w = img.width, h = img.height, ch = img.channels;
    const float top = std::numeric_limits<S>::max();
    Buffer<T> in = ch == 1 ? Buffer<T>(w, h) : Buffer<T>(w, h, ch);
    Buffer<T> out = ch == 1 ? Buffer<T>(w, h) : Buffer<T>(w, h, ch);
    // Interleaved sample k is pixel k / ch of plane k % ch.
    auto planar = [&](size_t k) { return (k % ch) * size_t(w) * h + k / ch; };
    for (size_t k = 0; k < src.size(); ++k) {
        if constexpr (std::is_same<T, float>::value)
            in.begin()[planar(k)] = src[k] / top;
        else
            in.begin()[planar(k)] = src[k];
    }
    const bilateral::Variant v{ch == 3 ? bilateral::Layout::rgb : bilateral::Layout::gray, bilateral::sample_of<T>,
                               s.padding};
    const double sigma = std::isnan(s.sigma_range) ? bilateral::default_sigma_range(v.sample) : s.sigma_range;
    Buffer<float> weights = s.weights;
    const auto start = std::chrono::steady_clock::now();
    bilateral::call_entry(v, in, weights, s.window, sigma, s.pad_value, out);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    dst.resize(src.size());
    for (size_t k = 0; k < dst.size(); ++k) {
        if constexpr (std::is_same<T, float>::value) {
            const float scaled = out.begin()[planar(k)] * top;
            dst[k] = scaled >= 0 ? S(std::lround(std::min(scaled, top))) : 0;
        } else {
            dst[k] = out.begin()[planar(k)];
        }
    }
    return seconds;
}

// The pad value must be a sample of the image's depth unless filtering in float.
std::string check_pad_value(const FilterSettings &s, const Image &img) {
    if (!s.use_float && img.depth() == 8 && s.pad_value > 255) return "--pad-value must be within 0..255 for 8-bit images";
    return "";
}

// Filters an interleaved gray or RGB image, 8- or 16-bit as it comes; returns
// the seconds spent in the library.
double filter_image(const Image &src, const FilterSettings &s, Image &dst) {
    dst = Image{src.width, src.height, src.channels, {}, {}};
    if (src.depth() == 16) {
        return s.use_float ? filter_planes<float>(src, src.data16, s, dst.data16)
                           : filter_planes<uint16_t>(src, src.data16, s, dst.data16);
    }
    return s.use_float ? filter_planes<float>(src, src.data, s, dst.data)
                       : filter_planes<uint8_t>(src, src.data, s, dst.data);
}

// Copies image without its last (alpha) channel.
Image drop_alpha(const Image &src) {
    Image dst{src.width, src.height, src.channels - 1, {}, {}};
    auto copy = [&](const auto &from, auto &to) {  // for the samples of either depth
        for (size_t p = 0; p < from.size(); p += src.channels)
            to.insert(to.end(), from.begin() + p, from.begin() + p + dst.channels);
    };
    copy(src.data, dst.data);
    copy(src.data16, dst.data16);
    return dst;
}

// Places left and right side by side (same height and channels).
Image side_by_side(const Image &left, const Image &right) {
    Image out{left.width + right.width, left.height, left.channels, {}, {}};
    const size_t lrow = size_t(left.width) * left.channels, rrow = size_t(right.width) * right.channels;
    auto join = [&](const auto &l, const auto &r, auto &to) {  // for the samples of either depth
        for (size_t y = 0; y < (l.empty() ? 0 : size_t(left.height)); ++y) {
            to.insert(to.end(), l.begin() + y * lrow, l.begin() + (y + 1) * lrow);
            to.insert(to.end(), r.begin() + y * rrow, r.begin() + (y + 1) * rrow);
        }
    };
    join(left.data, right.data, out.data);
    join(left.data16, right.data16, out.data16);
    return out;
}

// Filters one image and writes the output (and the comparison, if asked).
std::string process(const std::string &in_path, const std::string &out_path, const Options &opt,
                    const FilterSettings &s) {
    if (!image_io::has_known_extension(out_path)) return unknown_format(out_path);
    Image src;
    std::string error = image_io::load(in_path, src);
    if (!error.empty()) return error;
    if (src.channels == 2 || src.channels == 4) {
        if (!opt.drop_alpha)
            return in_path + ": images with an alpha channel are not filtered; use --drop-alpha to drop it";
        src = drop_alpha(src);
    }
    if (src.channels != 1 && src.channels != 3)
        return in_path + ": unsupported channel count " + std::to_string(src.channels);
    if (!(error = check_pad_value(s, src)).empty()) return in_path + ": " + error;
    Image dst;
    const double seconds = filter_image(src, s, dst);
    if (!(error = image_io::save(out_path, dst)).empty()) return error;
    if (!opt.compare.empty() && !(error = image_io::save(opt.compare, side_by_side(src, dst))).empty()) return error;
    if (opt.time) {
        std::printf("%s: filtered %dx%d in %.2f ms, %.1f megapixels/s\n", in_path.c_str(), src.width, src.height,
                    seconds * 1e3, double(src.width) * src.height / 1e6 / std::max(seconds, 1e-9));
    }
    return "";
}

// Noisy 640x480 RGB test picture: flat areas, a disc and stripes.
Image make_demo_picture() {
    const int w = 640, h = 480;
    Image img{w, h, 3, std::vector<uint8_t>(size_t(w) * h * 3), {}};
    std::mt19937 rng(1);
    std::normal_distribution<double> grain(0.0, 20.0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            double rgb[3] = {60, 90, 140};
            if (x < w / 3) rgb[0] = 200, rgb[1] = 180, rgb[2] = 60;
            if (std::hypot(x - 400.0, y - 200.0) < 130) rgb[0] = 30, rgb[1] = 160, rgb[2] = 70;
            if (y > 380 && x > 260 && (x / 12) % 2 == 0) rgb[0] = rgb[1] = rgb[2] = 230;
            for (int c = 0; c < 3; ++c)
                img.data[(size_t(y) * w + x) * 3 + c] = uint8_t(std::clamp(rgb[c] + grain(rng), 0.0, 255.0));
        }
    }
    return img;
}

// Standard deviation of the samples in a square patch, over all channels.
double patch_noise(const Image &img, int x0, int y0, int size) {
    double result = 0;
    for (int c = 0; c < img.channels; ++c) {
        double sum = 0, sq = 0;
        for (int y = y0; y < y0 + size; ++y)
            for (int x = x0; x < x0 + size; ++x) {
                const double v = img.data[(size_t(y) * img.width + x) * img.channels + c];
                sum += v;
                sq += v * v;
            }
        const double n = double(size) * size, mean = sum / n;
        result += std::sqrt(std::max(0.0, sq / n - mean * mean));
    }
    return result / img.channels;
}

// The built-in demo: writes a noisy picture, its filtered version and both
// side by side, and reports the noise before and after in a flat patch.
int run_demo(const Options &opt, const FilterSettings &s) {
    const std::string dir = opt.outdir.empty() ? "" : opt.outdir + "/";
    const Image input = make_demo_picture();
    const std::string pad_error = check_pad_value(s, input);
    if (!pad_error.empty()) {
        std::fprintf(stderr, "bilateral: demo: %s\n", pad_error.c_str());
        return 1;
    }
    Image output;
    const double seconds = filter_image(input, s, output);
    const std::string names[3] = {dir + "bilateral-demo-input.png", dir + "bilateral-demo-output.png",
                                  dir + "bilateral-demo-compare.png"};
    const Image images[3] = {input, output, side_by_side(input, output)};
    for (int k = 0; k < 3; ++k) {
        const std::string error = image_io::save(names[k], images[k]);
        if (!error.empty()) {
            std::fprintf(stderr, "bilateral: %s\n", error.c_str());
            return 1;
        }
        if (!opt.quiet) std::printf("wrote %s\n", names[k].c_str());
    }
    if (!opt.quiet) {
        const double sigma = std::isnan(s.sigma_range)
                                 ? bilateral::default_sigma_range(s.use_float ? bilateral::Sample::f32 : bilateral::Sample::u8)
                                 : s.sigma_range;
        std::printf("window %d, range sigma %g: noise in a flat patch %.2f -> %.2f\n", s.window, sigma,
                    patch_noise(input, 20, 20, 100), patch_noise(output, 20, 20, 100));
    }
    if (opt.time)
        std::printf("filtered 640x480 in %.2f ms, %.1f megapixels/s\n", seconds * 1e3,
                    0.3072 / std::max(seconds, 1e-9));
    return 0;
}

// Output path for input in OUTDIR: OUTDIR/<input file name>.
std::string output_in_dir(const std::string &outdir, const std::string &input) {
    const size_t slash = input.find_last_of('/');
    return outdir + "/" + (slash == std::string::npos ? input : input.substr(slash + 1));
}

// Filters INPUT into OUTPUT, or each input into OUTDIR; returns the exit status.
int filter_files(const Options &opt, const FilterSettings &s) {
    if (opt.outdir.empty()) {
        const std::string error = process(opt.inputs[0], opt.inputs[1], opt, s);
        if (!error.empty())
            std::fprintf(stderr, "bilateral: %s\n", error.c_str());
        else if (!opt.quiet)
            std::printf("wrote %s\n", opt.inputs[1].c_str());
        return error.empty() ? 0 : 1;
    }
    const bool progress = !opt.quiet && isatty(STDERR_FILENO);
    int failures = 0;
    for (size_t k = 0; k < opt.inputs.size(); ++k) {
        const std::string out = output_in_dir(opt.outdir, opt.inputs[k]);
        if (progress)
            std::fprintf(stderr, "[%zu/%zu] %s -> %s\n", k + 1, opt.inputs.size(), opt.inputs[k].c_str(), out.c_str());
        const std::string error = process(opt.inputs[k], out, opt, s);
        if (!error.empty()) {
            std::fprintf(stderr, "bilateral: %s\n", error.c_str());
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    std::string error = parse_options(argc, argv, opt);
    if (error == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!error.empty()) {
        std::fprintf(stderr, "bilateral: %s\n(see bilateral --help)\n", error.c_str());
        return 2;
    }
    FilterSettings settings;
    if (!(error = make_settings(opt, settings)).empty()) {
        std::fprintf(stderr, "bilateral: %s\n", error.c_str());
        return 2;
    }
    if (opt.threads > 0) halide_set_num_threads(opt.threads);
    return opt.inputs.empty() ? run_demo(opt, settings) : filter_files(opt, settings);
}
