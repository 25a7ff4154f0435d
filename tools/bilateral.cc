// bilateral: smooths PNG, TIFF and JPEG images with the bilateral filter library.
//
//   bilateral [options] INPUT OUTPUT
//   bilateral [options] -o OUTDIR INPUT...
//   bilateral [options] --demo [DIR]
#include <HalideBuffer.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "bilateral_filter.h"
#include "front_end.h"
#include "image_io.h"

namespace {

using Halide::Runtime::Buffer;
using image_io::Image;

const char *const kShortUsage = R"(Usage: bilateral [OPTION]... INPUT OUTPUT
       bilateral [OPTION]... -o OUTDIR INPUT...
Try 'bilateral --demo [DIR]' for a demonstration (it writes three pictures
into DIR), 'bilateral --help' for the options.
)";

const char *const kUsage = R"(Usage: bilateral [OPTION]... INPUT OUTPUT
  or:  bilateral [OPTION]... -o OUTDIR INPUT...
  or:  bilateral [OPTION]... --demo [DIR]
Smooth PNG, TIFF and JPEG images with an edge-preserving bilateral filter.

Gray images are filtered as gray, colour images as RGB; an alpha channel is
carried through unchanged. 8- and 16-bit images keep their depth, and results
are rounded to nearest (ties to even). The output format follows the OUTPUT
extension: .png, .tif, .tiff, .jpg or .jpeg (JPEG: 8-bit images only).

Options:
  --sigma-spatial S    spatial sigma in pixels (default 1)
  --window N           window size (default 2*ceil(2*S)+1); an even N reaches
                       one position further left and up. N may be at most
                       2*max(width, height)+1 and 16384 (1 GiB of weights),
                       and the memory the filter needs (weights, every
                       thread's scratch, images) must fit in this machine's
  --sigma-range R      range sigma in the samples' own units (default 10% of
                       the range: 25.5 for 8-bit images, 6553.5 for 16-bit,
                       0.1 with --float)
  --padding P          constant, replicate or symmetric (default replicate)
  --pad-value V        value outside the image for constant padding (default
                       0; 0..255 for 8-bit images, 0..65535 for 16-bit, 0..1
                       with --float)
  --weights FILE       spatial weights instead of the Gaussian: N*N finite,
                       non-negative numbers, not all zero, one window row
                       after another; N becomes the window size
  --truncate           truncate 8- and 16-bit results instead of rounding
                       them (the integer filter's own results, bit for bit)
  --float              filter v/M in float32 (M = 255 for 8-bit images, 65535
                       for 16-bit) and write back clamp(v*M, 0, M) rounded
                       half away from zero
  --drop-alpha         drop the alpha channel instead of carrying it through
  --quality Q          JPEG quality, 1..100 (default 95)
  --subsampling S      JPEG chroma subsampling: 444, 422 or 420 (default 444)
  --png-compression L  PNG compression level, 0..9 (default 1: fast)
  --compare FILE       also write input and output side by side into FILE
  --force              let an output replace one of the inputs
  --threads T          number of worker threads
  --time               print the filter time and megapixels per second
  -o OUTDIR            write each output to OUTDIR under its input's file name
  --demo [DIR]         filter a generated noisy picture; writes
                       bilateral-demo-{input,output,compare}.png into DIR
                       (default: the current folder)
  -q                   quiet: no progress lines or notes
  --                   end of options: the arguments after it are file names
  -h, --help           print this help and exit
  --version            print the version and exit

Formats:
  PNG: 1- to 16-bit gray, gray + alpha, RGB, RGBA and palette images (palettes
  become RGB, palette transparency is ignored; below 8 bits become 8-bit).
  TIFF: the first image of the file; 8- or 16-bit unsigned gray (MinIsBlack)
  or RGB, with or without alpha, interleaved or in separate planes, strips or
  tiles, uncompressed, LZW or Deflate. Other TIFFs (JPEG-compressed, palette,
  floating point, other depths, ...) are refused. JPEG: 8-bit gray or colour.

Outputs are written to a temporary file beside the target and renamed into
place, so a failure or a signal (SIGINT, SIGTERM, SIGHUP) never leaves a
partial or damaged output. Exit status: 0 done, 1 a file failed, 2 bad
arguments.
)";

constexpr double kMaxWeightBytes = double(1 << 30);
constexpr int kMaxWindow = 16384;  // its weights take 1 GiB

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
    std::string demo_dir;
    image_io::SaveOptions save;
    bool use_float = false, truncate = false, drop_alpha = false, force = false, time = false, quiet = false;
    bool demo = false;
    std::set<std::string> given;  // the options named on the command line
    std::vector<std::string> inputs;
};

// What the filter needs for one image.
struct FilterSettings {
    Buffer<float> weights;  // made when the first image passes its checks
    double sigma_spatial = 1;
    int window = 0;
    double sigma_range = NAN;  // NaN: 10% of the filtered sample type's range
    bilateral::Padding padding = bilateral::Padding::replicate;
    double pad_value = 0;
    bool use_float = false;
    bilateral::Rounding rounding = bilateral::Rounding::nearest;
    int threads = 1;  // workers the filter will run on
};

// "bilateral: warning: TEXT", each text once.
void warn(const std::string &text) {
    static std::set<std::string> said;
    if (said.insert(text).second) std::fprintf(stderr, "bilateral: warning: %s\n", text.c_str());
}

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

// The extension of path's file name in lower case, with its dot ("" if none).
std::string extension(const std::string &path) {
    const size_t slash = path.find_last_of('/'), dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

bool is_jpeg(const std::string &path) { return extension(path) == ".jpg" || extension(path) == ".jpeg"; }

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

// Parses the whole of text as an integer within lo..hi.
bool parse_int(const std::string &text, int lo, int hi, int &value) {
    double v;
    if (!parse_number(text, v) || !(v >= lo && v <= hi) || v != std::floor(v)) return false;
    value = int(v);
    return true;
}

bool takes_value(const std::string &arg) {
    static const std::set<std::string> kWithValue = {
        "-o",        "--sigma-spatial", "--window",  "--sigma-range", "--padding",         "--pad-value",
        "--weights", "--threads",       "--compare", "--quality",     "--png-compression", "--subsampling"};
    return kWithValue.count(arg.substr(0, arg.find('='))) != 0;
}

// Sets what one option (with its value, if it takes one) says; returns an error message.
std::string set_option(const std::string &arg, const std::string &value, Options &opt) {
    opt.given.insert(arg);
    bool *flag = arg == "-q"             ? &opt.quiet
                 : arg == "--float"      ? &opt.use_float
                 : arg == "--truncate"   ? &opt.truncate
                 : arg == "--drop-alpha" ? &opt.drop_alpha
                 : arg == "--force"      ? &opt.force
                 : arg == "--time"       ? &opt.time
                                         : nullptr;
    if (flag != nullptr) {
        *flag = true;
    } else if (arg == "-o") {
        opt.outdir = value;
    } else if (arg == "--sigma-spatial" || arg == "--sigma-range") {
        double &sigma = arg == "--sigma-spatial" ? opt.sigma_spatial : opt.sigma_range;
        if (!parse_number(value, sigma) || !(sigma > 0) || std::isinf(sigma))
            return arg + " must be a positive number, not '" + value + "'";
    } else if (arg == "--window" || arg == "--threads") {
        if (!parse_int(value, 1, 1000000000, arg == "--window" ? opt.window : opt.threads))
            return arg + " must be a positive integer, not '" + value + "'";
    } else if (arg == "--quality") {
        if (!parse_int(value, 1, 100, opt.save.jpeg_quality))
            return "--quality must be within 1..100, not '" + value + "'";
    } else if (arg == "--png-compression") {
        if (!parse_int(value, 0, 9, opt.save.png_compression))
            return "--png-compression must be within 0..9, not '" + value + "'";
    } else if (arg == "--subsampling") {
        if (value != "444" && value != "422" && value != "420")
            return "--subsampling must be 444, 422 or 420, not '" + value + "'";
        opt.save.jpeg_subsampling = std::stoi(value);
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
    } else {
        return "unknown option " + arg;
    }
    return "";
}

// Output path for input in OUTDIR: OUTDIR/<input file name>.
std::string output_in_dir(const std::string &outdir, const std::string &input) {
    const size_t slash = input.find_last_of('/');
    return outdir + (!outdir.empty() && outdir.back() == '/' ? "" : "/") +
           (slash == std::string::npos ? input : input.substr(slash + 1));
}

// The files the run will write, outputs first, in input order.
std::vector<std::string> outputs_of(const Options &opt) {
    std::vector<std::string> out;
    if (opt.demo) {
        for (const char *name : {"input", "output", "compare"})
            out.push_back(output_in_dir(opt.demo_dir, std::string("bilateral-demo-") + name + ".png"));
    } else if (opt.outdir.empty()) {
        out.push_back(opt.inputs[1]);
    } else {
        for (const std::string &input : opt.inputs) out.push_back(output_in_dir(opt.outdir, input));
    }
    if (!opt.compare.empty()) out.push_back(opt.compare);
    return out;
}

// True when both paths name the same existing file.
bool same_file(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Checks what the files named on the command line are for: counts, formats,
// outputs that collide with each other or would replace an input.
std::string check_files(const Options &opt) {
    if (opt.demo && !opt.inputs.empty()) return "--demo takes no input files";
    if (opt.demo && !opt.outdir.empty()) return "--demo writes into its own DIR, not -o OUTDIR";
    if (!opt.demo && opt.inputs.empty()) return "no input (try 'bilateral --demo' for a demonstration)";
    if (opt.outdir.empty() && opt.inputs.size() == 1) return "missing OUTPUT (or use -o OUTDIR)";
    if (opt.outdir.empty() && opt.inputs.size() > 2) return "several inputs need -o OUTDIR";
    struct stat dir;
    if (!opt.outdir.empty() && (stat(opt.outdir.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode)))
        return "-o " + opt.outdir + ": not a folder";
    const std::vector<std::string> outputs = outputs_of(opt);
    if (!opt.compare.empty() && opt.demo) return "--demo writes its own comparison; --compare is for one input";
    if (!opt.compare.empty() && outputs.size() > 2) return "--compare takes a single input";
    for (const std::string &out : outputs)
        if (!image_io::has_known_extension(out)) return unknown_format(out);
    std::vector<std::string> inputs(opt.inputs.begin(),
                                    opt.inputs.begin() + (opt.outdir.empty() && !opt.demo ? 1 : opt.inputs.size()));
    if (!opt.weights_file.empty()) inputs.push_back(opt.weights_file);
    for (size_t k = 0; k < outputs.size(); ++k) {
        for (size_t j = 0; j < k; ++j) {
            if (outputs[j] == outputs[k] || same_file(outputs[j], outputs[k]))
                return "two outputs would be " + outputs[k] +
                       (opt.outdir.empty() ? "" : " (inputs with the same file name)");
        }
    }
    for (const std::string &out : outputs) {
        for (const std::string &in : inputs) {
            if (!opt.force && same_file(in, out))
                return "output " + out + " would replace the input " + in + " (use --force to allow it)";
        }
    }
    return "";
}

// Warns about options that change nothing in this run and values that look
// like the wrong units (those that depend on an image's depth come later).
void warn_about_options(const Options &opt) {
    const auto given = [&](const char *name) { return opt.given.count(name) != 0; };
    const std::vector<std::string> outputs = outputs_of(opt);
    const bool jpeg = std::any_of(outputs.begin(), outputs.end(), is_jpeg);
    const bool png =
        std::any_of(outputs.begin(), outputs.end(), [](const std::string &o) { return extension(o) == ".png"; });
    if (given("--pad-value") && opt.padding != bilateral::Padding::constant)
        warn("--pad-value has no effect without --padding constant");
    if (given("--sigma-spatial") && !opt.weights_file.empty()) warn("--sigma-spatial has no effect with --weights");
    if (opt.truncate && opt.use_float) warn("--truncate has no effect with --float (float results are rounded)");
    if ((given("--quality") || given("--subsampling")) && !jpeg)
        warn("--quality and --subsampling only affect JPEG output");
    if (given("--png-compression") && !png) warn("--png-compression only affects PNG output");
    if (opt.use_float && opt.sigma_range > 1)
        warn("with --float the range sigma is in 0..1 units; " + num(opt.sigma_range) +
             " weighs every difference almost alike (a plain blur)");
    if (opt.use_float && opt.padding == bilateral::Padding::constant && opt.pad_value > 1)
        warn("with --float the pad value is in 0..1 units; it is above 1");
}

// Fills options from argv; returns an error message, "help" or "version".
std::string parse_options(int argc, char **argv, Options &opt) {
    bool options_end = false;
    for (int k = 1; k < argc; ++k) {
        std::string arg = argv[k], value;
        if (options_end || arg.size() < 2 || arg[0] != '-') {
            opt.inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") return "help";
        if (arg == "--version") return "version";
        if (arg == "--demo" || arg.rfind("--demo=", 0) == 0) {  // an optional folder
            opt.demo = true;
            opt.demo_dir = arg.size() > 7 ? arg.substr(7) : k + 1 < argc && argv[k + 1][0] != '-' ? argv[++k] : ".";
            continue;
        }
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
        const std::string error = set_option(arg, value, opt);
        if (!error.empty()) return error;
    }
    if (!opt.use_float && (opt.pad_value < 0 || opt.pad_value > 65535))
        return "--pad-value must be within 0..65535 (0..255 for 8-bit images)";
    return check_files(opt);
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

// Builds the filter settings from the options: window, range sigma, rounding;
// the weights file is read, the Gaussian waits for the first image.
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
    s.rounding = opt.truncate ? bilateral::Rounding::truncate : bilateral::Rounding::nearest;
    s.sigma_range = opt.sigma_range;
    s.padding = opt.padding;
    s.pad_value = opt.pad_value;
    const char *env = std::getenv("HL_NUM_THREADS");
    s.threads = opt.threads > 0                        ? opt.threads
                : env != nullptr && std::atoi(env) > 0 ? std::atoi(env)
                                                       : int(std::max(1u, std::thread::hardware_concurrency()));
    if (s.window % 2 == 0 && !opt.quiet)
        std::fprintf(stderr, "note: an even window (%d) reaches one position further left and up\n", s.window);
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
        2 * img.width * colour * (s.use_float || s.rounding == bilateral::Rounding::nearest ? 4 : img.depth() / 8);
    const double copies = s.use_float
                              ? row * img.height
                              : std::min(row * img.height, std::max(double(bilateral::kRoundingBudget), row * 2 * n));
    return image + 4 * n * n + std::min(tiles, double(s.threads)) * scratch + copies;
}

// Checks that the filter can run on img as set up: the pad value fits its
// depth, the window is one the image can use and the memory is there.
// Warns about range sigmas that look like another depth's units.
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

// The weights: the file's, or the Gaussian made on first use.
Buffer<float> &weights_of(FilterSettings &s) {
    if (s.weights.data() == nullptr) {
        s.weights = Buffer<float>(s.window, s.window);
        const std::vector<float> gaussian = bilateral::gaussian_weights(s.window, s.sigma_spatial);
        std::copy(gaussian.begin(), gaussian.end(), s.weights.begin());
    }
    return s.weights;
}

// The colour channels of interleaved samples as a buffer: x stride `channels`,
// then y, and for RGB(A) a channel dimension of 3 with stride 1, so an alpha
// channel lies outside it.
template <class T>
Buffer<T> colour_view(T *samples, const Image &img) {
    const halide_dimension_t shape[3] = {
        {0, img.width, img.channels}, {0, img.height, img.width * img.channels}, {0, 3, 1}};
    return Buffer<T>(samples, img.channels >= 3 ? 3 : 2, shape);
}

// Filters the colour channels of img (samples S) through float32 planes of
// v/M (M the largest S) and writes clamp(v*M, 0, M) rounded half away from
// zero into out; alpha is left alone.
template <class S>
int filter_scaled(const Image &img, const std::vector<S> &in, std::vector<S> &out, bilateral::Variant v,
                  Buffer<float> &weights, const FilterSettings &s, double sigma) {
    const float top = std::numeric_limits<S>::max();
    Buffer<const S> src = colour_view(in.data(), img);
    Buffer<S> dst = colour_view(out.data(), img);
    Buffer<float> planes =
        src.dimensions() == 2 ? Buffer<float>(img.width, img.height) : Buffer<float>(img.width, img.height, 3);
    Buffer<float> result = planes.copy();
    planes.for_each_value([top](float &p, S value) { p = value / top; }, src);
    const int status = bilateral::call_entry(v, planes, weights, s.window, sigma, s.pad_value, result);
    dst.for_each_value([top](S &d, float r) { d = r >= 0 ? S(std::lround(std::min(r * top, top))) : 0; }, result);
    return status;
}

// Filters the colour channels of src into dst, a copy of src (so alpha and
// whatever else src carries go out unchanged). Returns an error message and
// adds the seconds spent filtering.
template <class S>
std::string filter_samples(const Image &src, const std::vector<S> &in, Image &dst, std::vector<S> &out,
                           FilterSettings &s, double &seconds) {
    const bilateral::Variant v{src.channels >= 3 ? bilateral::Layout::rgb : bilateral::Layout::gray,
                               s.use_float ? bilateral::Sample::f32 : bilateral::sample_of<S>, s.padding};
    const double sigma = std::isnan(s.sigma_range) ? bilateral::default_sigma_range(v.sample) : s.sigma_range;
    Buffer<float> &weights = weights_of(s);
    const auto start = std::chrono::steady_clock::now();
    int status;
    if (s.use_float) {
        status = filter_scaled(src, in, out, v, weights, s, sigma);
    } else {
        Buffer<S> from = colour_view(const_cast<S *>(in.data()), src), to = colour_view(out.data(), dst);
        status = bilateral::call_filter(v, s.rounding, from, weights, s.window, sigma, s.pad_value, to);
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return status == 0 ? "" : "not enough memory for the filter's float copies";
}

std::string filter_image(const Image &src, Image &dst, FilterSettings &s, double &seconds) {
    dst = src;
    return src.depth() == 16 ? filter_samples(src, src.data16, dst, dst.data16, s, seconds)
                             : filter_samples(src, src.data, dst, dst.data, s, seconds);
}

// Drops the last (alpha) channel, in place.
void drop_alpha(Image &img) {
    auto compact = [&](auto &samples) {  // for the samples of either depth
        const size_t from = img.channels, to = from - 1;
        for (size_t p = 0; p < samples.size() / from; ++p)
            for (size_t c = 0; c < to; ++c) samples[p * to + c] = samples[p * from + c];
        samples.resize(samples.size() / from * to);
    };
    compact(img.data);
    compact(img.data16);
    --img.channels;
}

// Places left and right side by side (same height and channels).
Image side_by_side(const Image &left, const Image &right) {
    Image out = left;
    out.width = left.width + right.width;
    out.data.clear(), out.data16.clear();
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

// The temporary file of the save in progress, for the signal handler; empty
// when no save is in progress or its path did not fit.
char g_temporary[4096];
volatile sig_atomic_t g_saving = 0;

// Async-signal-safe: removes the temporary of the save in progress, then dies
// of the signal (the handler was installed to run once).
extern "C" void on_interrupt(int sig) {
    if (g_saving && g_temporary[0] != '\0') unlink(g_temporary);
    raise(sig);
}

// Told by image_io::save where its temporary file is, before it writes.
void note_temporary(const char *path) {
    g_saving = 0;
    const size_t n = std::strlen(path);
    if (n < sizeof g_temporary) std::memcpy(g_temporary, path, n + 1);
    g_saving = n < sizeof g_temporary;
}

// Saves image to path; an interrupt meanwhile removes the temporary file.
std::string save_output(const std::string &path, const Image &image, image_io::SaveOptions options) {
    options.on_temporary = note_temporary;
    const std::string error = image_io::save(path, image, options);
    g_saving = 0;
    return error;
}

// Filters one image and writes the output (and the comparison, if asked).
std::string process(const std::string &in_path, const std::string &out_path, const Options &opt, FilterSettings &s) {
    Image src;
    std::string error = image_io::load(in_path, src);
    if (!error.empty()) return error;
    if (opt.drop_alpha && (src.channels == 2 || src.channels == 4)) drop_alpha(src);
    if (src.channels < 1 || src.channels > 4)
        return in_path + ": unsupported channel count " + std::to_string(src.channels);
    if (!(error = check_image(s, src)).empty()) return in_path + ": " + error;
    if ((src.channels == 2 || src.channels == 4) && is_jpeg(out_path))
        return in_path + ": JPEG cannot hold its alpha channel; use --drop-alpha, or a PNG or TIFF output";
    Image dst;
    double seconds = 0;
    if (!(error = filter_image(src, dst, s, seconds)).empty()) return in_path + ": " + error;
    if (!(error = save_output(out_path, dst, opt.save)).empty()) return error;
    if (!opt.compare.empty() && !(error = save_output(opt.compare, side_by_side(src, dst), opt.save)).empty())
        return error;
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

// The demo: writes a noisy picture, its filtered version and both side by
// side into DIR, and reports the noise before and after in a flat patch.
int run_demo(const Options &opt, FilterSettings &s) {
    const Image input = make_demo_picture();
    std::string error = check_image(s, input);
    Image output;
    double seconds = 0;
    if (error.empty() && mkdir(opt.demo_dir.c_str(), 0777) != 0 && errno != EEXIST)
        error = "cannot create " + opt.demo_dir + ": " + std::strerror(errno);
    if (error.empty()) error = filter_image(input, output, s, seconds);
    const std::vector<std::string> names = outputs_of(opt);
    const Image images[3] = {input, output, side_by_side(input, output)};
    for (int k = 0; k < 3 && error.empty(); ++k) {
        error = save_output(names[k], images[k], opt.save);
        if (error.empty() && !opt.quiet) std::printf("wrote %s\n", names[k].c_str());
    }
    if (!error.empty()) {
        std::fprintf(stderr, "bilateral: demo: %s\n", error.c_str());
        return 1;
    }
    if (!opt.quiet) {
        const double sigma =
            std::isnan(s.sigma_range)
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

// Filters INPUT into OUTPUT, or each input into OUTDIR; returns the exit status.
int filter_files(const Options &opt, FilterSettings &s) {
    const std::vector<std::string> outputs = outputs_of(opt);
    const size_t count = opt.outdir.empty() ? 1 : opt.inputs.size();
    size_t failures = 0;
    for (size_t k = 0; k < count; ++k) {
        const std::string error = process(opt.inputs[k], outputs[k], opt, s);
        if (!error.empty()) {
            std::fprintf(stderr, "bilateral: %s\n", error.c_str());
            ++failures;
        } else if (!opt.quiet) {
            std::printf("wrote %s\n", outputs[k].c_str());
            std::fflush(stdout);
        }
    }
    if (!opt.quiet && !opt.outdir.empty())
        std::printf("%zu of %zu files filtered into %s%s\n", count - failures, count, opt.outdir.c_str(),
                    failures == 0 ? "" : (", " + std::to_string(failures) + " failed").c_str());
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 1) {
        std::fputs(kShortUsage, stderr);
        return 2;
    }
    Options opt;
    std::string error = parse_options(argc, argv, opt);
    if (error == "help" || error == "version") {
        std::fputs(error == "help" ? kUsage : "bilateral " BILATERAL_VERSION "\n", stdout);
        return 0;
    }
    if (!error.empty()) {
        std::fprintf(stderr, "bilateral: %s\n(see bilateral --help)\n", error.c_str());
        return 2;
    }
    warn_about_options(opt);
    FilterSettings settings;
    if (!(error = make_settings(opt, settings)).empty()) {
        std::fprintf(stderr, "bilateral: %s\n", error.c_str());
        return 2;
    }
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;  // the handler's raise() then ends the process
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before;
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) sigaction(sig, &action, nullptr);
    }
    if (opt.threads > 0) halide_set_num_threads(opt.threads);
    opt.save.threads = opt.threads;  // image encoding uses as many threads as filtering (0: one per core)
    return opt.demo ? run_demo(opt, settings) : filter_files(opt, settings);
}
