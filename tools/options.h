// options.h: the tool's command line: what it sets, the usage text, parsing,
// and the checks on the files it names. The filter's own arguments are
// checked in settings.h.
#ifndef BILATERAL_TOOLS_OPTIONS_H
#define BILATERAL_TOOLS_OPTIONS_H

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "front/defaults.h"
#include "front/rounding.h"
#include "front/variants.h"
#include "image_io.h"

namespace bilateral::cli {

using front::Layout;
using front::Padding;
using front::Rounding;
using front::Sample;
using front::Variant;

// Printed for a bare "bilateral" and for --help.
extern const char *const kShortUsage;
extern const char *const kUsage;

// Everything the command line sets.
struct Options {
    double sigma_spatial = front::kDefaultSigmaSpatial;
    int window = 0;            // 0: derived from sigma_spatial or the weights file
    front::WindowShape window_shape = front::WindowShape::disc;
    double sigma_range = NAN;  // NaN: 10% of the sample range
    Padding padding = Padding::replicate;
    double pad_value = 0;
    std::string weights_file;
    std::string guide_file;
    int threads = 0;
    std::string compare;
    std::string outdir;
    std::string demo_dir;
    image_io::LoadOptions load;
    image_io::SaveOptions save;
    bool use_float = false, truncate = false, drop_alpha = false, force = false, time = false, quiet = false;
    bool demo = false;
    std::set<std::string> given;  // the options named on the command line
    std::vector<std::string> inputs;
};

// Fills opt from argv, each value parsed and checked for its form (a
// positive integer, one of three words, ...); returns an error message,
// "help" or "version".
std::string parse_options(int argc, char **argv, Options &opt);

// Checks what the files named on the command line are for: counts, formats,
// outputs that collide with each other or would replace an input.
std::string check_files(const Options &opt);

// Warns about options that change nothing in this run.
void warn_about_options(const Options &opt);

// The files the run will write, outputs first, in input order.
std::vector<std::string> outputs_of(const Options &opt);

// Parses the whole of text as a number.
bool parse_number(const std::string &text, double &value);

// True for a .jpg or .jpeg path (any case).
bool is_jpeg(const std::string &path);

// "bilateral: warning: TEXT" on stderr, each text once.
void warn(const std::string &text);

}  // namespace bilateral::cli

#endif  // BILATERAL_TOOLS_OPTIONS_H
