// options.cc: the usage text, the parsing of each option, and the checks on
// the files the command line names.
#include "options.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "front/checks.h"

namespace bilateral::cli {

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
                       thread's scratch, images) must fit in the memory this
                       process may still take. A run estimated to take more
                       than a minute is announced with a warning.
  --window-shape W     disc (default): the Gaussian weighs the positions
                       within floor(N/2) of the centre, as a diameter-N
                       window (isotropic, and faster); square: all N*N
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
  --guide FILE         joint filtering: the range weights compare the samples
                       of FILE, a picture of the input's width and height
                       (8- or 16-bit, gray or colour, whatever the input is;
                       its alpha channel is ignored), and the input's samples
                       are averaged with them. --sigma-range is then in the
                       guide's units (default 10% of its range) and the
                       output keeps the input's depth, channels and metadata.
  --truncate           truncate 8- and 16-bit results instead of rounding
                       them (the integer filter's own results, bit for bit)
  --float              filter v/M in float32 (M = 255 for 8-bit images, 65535
                       for 16-bit) and write back clamp(v*M, 0, M) rounded
                       half away from zero; a guide is scaled to 0..1 alike
  --drop-alpha         drop the alpha channel instead of carrying it through
  --quality Q          JPEG quality, 1..100 (default 95)
  --subsampling S      JPEG chroma subsampling: 444, 422 or 420 (default 444)
  --png-compression L  PNG compression level, 0..9 (default 1: fast)
  --compare FILE       also write input and output side by side into FILE
  --force              let an output replace one of the inputs
  --threads T          number of worker threads, 1..256
  --max-pixels N       refuse inputs of more than N pixels (default
                       178956970; 0: no limit); an input is refused as well
                       when its samples would not fit in the memory left.
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
place, so a failure or a signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT) never
leaves a partial or damaged output. A replaced file keeps its permissions
(and its owner where allowed); an output that is a symbolic link has its
target replaced. Metadata an output format cannot hold is left out with a
warning. Exit status: 0 done, 1 a file failed (the others are still
written), 2 bad arguments.
)";

namespace {

// "PATH: unknown output format (...)".
std::string unknown_format(const std::string &path) {
    return path + ": unknown output format (use " + image_io::kKnownExtensions + ")";
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
        "--weights", "--threads",       "--compare", "--quality",     "--png-compression", "--subsampling",
        "--max-pixels", "--window-shape", "--guide"};
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
    } else if (arg == "--window") {
        if (!parse_int(value, 1, 1000000000, opt.window))
            return "--window must be a positive integer, not '" + value + "'";
    } else if (arg == "--threads") {
        if (!parse_int(value, 1, front::kMaxThreads, opt.threads))
            return "--threads must be within 1.." + std::to_string(front::kMaxThreads) + ", not '" + value + "'";
    } else if (arg == "--window-shape") {
        if (!front::window_shape_from_name(value, opt.window_shape))
            return "--window-shape must be disc or square, not '" + value + "'";
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
        if (!front::padding_from_name(value, opt.padding))
            return "--padding must be constant, replicate or symmetric, not '" + value + "'";
    } else if (arg == "--pad-value") {
        if (!parse_number(value, opt.pad_value) || !std::isfinite(opt.pad_value))
            return "--pad-value must be a number, not '" + value + "'";
    } else if (arg == "--max-pixels") {
        double n;
        if (!parse_number(value, n) || !(n >= 0 && n <= 9007199254740992.0) || n != std::floor(n))
            return "--max-pixels must be a whole number of pixels (0: no limit), not '" + value + "'";
        opt.load.max_pixels = uint64_t(n);
    } else if (arg == "--weights") {
        opt.weights_file = value;
    } else if (arg == "--guide") {
        opt.guide_file = value;
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

// What a path names, for telling whether two paths would be the same file:
// an existing file's device and inode (hard links alike), else the absolute
// path with "." and ".." resolved and symbolic links followed, its last one
// included (a save writes through it).
struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string path;
    bool operator==(const Identity &o) const {
        return exists == o.exists && (exists ? device == o.device && inode == o.inode : path == o.path);
    }
};

Identity identity_of(const std::string &path) {
    Identity id;
    const std::string real = image_io::final_path(path);
    struct stat info;
    if (!real.empty() && stat(real.c_str(), &info) == 0) {
        id.exists = true, id.device = info.st_dev, id.inode = info.st_ino;
        return id;
    }
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path full = fs::weakly_canonical(fs::absolute(real.empty() ? path : real, error), error);
    id.path = error ? path : full.string();
    return id;
}

}  // namespace

void warn(const std::string &text) {
    static std::set<std::string> said;
    if (said.insert(text).second) std::fprintf(stderr, "bilateral: warning: %s\n", text.c_str());
}

bool parse_number(const std::string &text, double &value) {
    if (text.empty()) return false;
    char *end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0';
}

bool is_jpeg(const std::string &path) {
    const std::string ext = image_io::extension_of(path);
    return ext == ".jpg" || ext == ".jpeg";
}

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

std::string check_files(const Options &opt) {
    if (opt.demo && !opt.inputs.empty()) return "--demo takes no input files";
    if (opt.demo && !opt.outdir.empty()) return "--demo writes into its own DIR, not -o OUTDIR";
    if (opt.demo && !opt.guide_file.empty()) return "--demo filters its own picture; --guide is for input files";
    if (!opt.demo && opt.inputs.empty()) return "no input (try 'bilateral --demo' for a demonstration)";
    if (opt.outdir.empty() && opt.inputs.size() == 1) return "missing OUTPUT (or use -o OUTDIR)";
    if (opt.outdir.empty() && opt.inputs.size() > 2) return "several inputs need -o OUTDIR";
    // A missing folder is made (with its parents) once the run goes ahead.
    const std::string &folder = opt.demo ? opt.demo_dir : opt.outdir;
    struct stat dir;
    if (!folder.empty() && stat(folder.c_str(), &dir) == 0 && !S_ISDIR(dir.st_mode))
        return (opt.demo ? "--demo " : "-o ") + folder + ": not a folder";
    const std::vector<std::string> outputs = outputs_of(opt);
    if (!opt.compare.empty() && opt.demo) return "--demo writes its own comparison; --compare is for one input";
    if (!opt.compare.empty() && outputs.size() > 2) return "--compare takes a single input";
    for (const std::string &out : outputs)
        if (!image_io::has_known_extension(out)) return unknown_format(out);
    std::vector<std::string> inputs(opt.inputs.begin(),
                                    opt.inputs.begin() + (opt.outdir.empty() && !opt.demo ? 1 : opt.inputs.size()));
    if (!opt.weights_file.empty()) inputs.push_back(opt.weights_file);
    if (!opt.guide_file.empty()) inputs.push_back(opt.guide_file);
    std::vector<Identity> ids;
    for (const std::string &out : outputs) ids.push_back(identity_of(out));
    for (size_t k = 0; k < outputs.size(); ++k) {
        for (size_t j = 0; j < k; ++j) {
            if (ids[j] == ids[k])
                return "two outputs would be " + outputs[k] +
                       (outputs[j] == outputs[k] ? "" : " (as " + outputs[j] + ")") +
                       (opt.outdir.empty() || outputs[j] != outputs[k] ? "" : " (inputs with the same file name)");
        }
    }
    for (const std::string &in : inputs) {
        const Identity input = identity_of(in);
        for (size_t k = 0; k < outputs.size() && !opt.force; ++k) {
            if (ids[k] == input)
                return "output " + outputs[k] + " would replace the input " + in + " (use --force to allow it)";
        }
    }
    return "";
}

void warn_about_options(const Options &opt) {
    const auto given = [&](const char *name) { return opt.given.count(name) != 0; };
    const std::vector<std::string> outputs = outputs_of(opt);
    const bool jpeg = std::any_of(outputs.begin(), outputs.end(), is_jpeg);
    const bool png = std::any_of(outputs.begin(), outputs.end(),
                                 [](const std::string &o) { return image_io::extension_of(o) == ".png"; });
    if (given("--pad-value") && opt.padding != Padding::constant)
        warn("--pad-value has no effect without --padding constant");
    if (given("--sigma-spatial") && !opt.weights_file.empty()) warn("--sigma-spatial has no effect with --weights");
    if (given("--window-shape") && !opt.weights_file.empty()) warn("--window-shape has no effect with --weights");
    if (opt.truncate && opt.use_float) warn("--truncate has no effect with --float (float results are rounded)");
    if ((given("--quality") || given("--subsampling")) && !jpeg)
        warn("--quality and --subsampling only affect JPEG output");
    if (given("--png-compression") && !png) warn("--png-compression only affects PNG output");
}

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
    return "";
}

}  // namespace bilateral::cli
