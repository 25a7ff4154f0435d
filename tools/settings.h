// settings.h: every check on the filter's own arguments (pad value, window,
// weights file, memory, units) and the settings the filter runs with. The
// tool reaches them only through the calls below, in this order:
//
//   check_arguments  once, after parsing: values no image can make right
//   make_settings    once: reads the weights file, sets the window
//   check_image      for each image once loaded: what depends on its size
//                    and depth
//   note_window      before the first image is filtered, once it has passed
//                    every check
#ifndef BILATERAL_TOOLS_SETTINGS_H
#define BILATERAL_TOOLS_SETTINGS_H

#include <HalideBuffer.h>

#include <cmath>
#include <string>

#include "front/defaults.h"
#include "image_io.h"
#include "options.h"

namespace bilateral::cli {

// What the filter needs for one image.
struct FilterSettings {
    Halide::Runtime::Buffer<float> weights;  // the file's; the Gaussian is made when first needed
    double sigma_spatial = 1;
    front::WindowShape window_shape = front::WindowShape::disc;
    int window = 0;
    double sigma_range = NAN;  // NaN: 10% of the filtered sample type's range
    Padding padding = Padding::replicate;
    double pad_value = 0;
    bool use_float = false;
    Rounding rounding = Rounding::nearest;
    int threads = 1;  // workers the filter will run on
    std::string guide_file;  // joint filtering: the guide's path, and the guide (width 0 without one)
    image_io::Image guide;
};

// Refuses argument values that no image could make right (a pad value
// outside 0..65535 for integer samples, a range sigma whose 2 sigma^2 is 0 in
// float32); returns an error message.
std::string check_arguments(const Options &opt);

// Builds the settings from the options: reads and checks the weights file, or
// derives the window from the spatial sigma within the weights' memory limit;
// loads the guide; sets range sigma, rounding and thread count. Returns an
// error message.
std::string make_settings(const Options &opt, FilterSettings &s);

// Checks that the filter can run on img as set up: the guide has its width
// and height, the pad value fits its depth (and the guide's), the window is
// one the image can use and the memory is free; returns
// an error message. Warns about values that look like another depth's units
// and about runs that will take very long.
std::string check_image(const FilterSettings &s, const image_io::Image &img);

// The range sigma for samples of this type: the one given, or 10 % of their range.
double range_sigma(const FilterSettings &s, front::Sample sample);

// The sample type the range weights compare: the guide's when there is one,
// else img's; float32 with --float.
front::Sample compared_sample(const FilterSettings &s, const image_io::Image &img);

// Notes on stderr, the first time it is called and unless -q, that an even
// window reaches one position further left and up.
void note_window(const Options &opt, const FilterSettings &s);

}  // namespace bilateral::cli

#endif  // BILATERAL_TOOLS_SETTINGS_H
