// run.cc: filtering images through the library's entry points (rounded,
// truncated or through float; joint with a guide), writing them, and the demo
// picture.
#include "run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "front/joint.h"

namespace bilateral::cli {
namespace {

using Halide::Runtime::Buffer;
using image_io::Image;

// The weights: the file's, or the Gaussian made on first use.
Buffer<float> &weights_of(FilterSettings &s) {
    if (s.weights.data() == nullptr) {
        s.weights = Buffer<float>(s.window, s.window);
        const std::vector<float> gaussian = front::gaussian_weights(s.window, s.sigma_spatial, s.window_shape);
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

// Float32 planes of v/M for the samples of a colour view (M the largest S).
template <class S>
Buffer<float> unit_planes(const Buffer<S> &src) {
    const float top = std::numeric_limits<std::remove_const_t<S>>::max();
    Buffer<float> planes =
        src.dimensions() == 2 ? Buffer<float>(src.width(), src.height()) : Buffer<float>(src.width(), src.height(), 3);
    planes.for_each_value([top](float &p, S value) { p = value / top; }, src);
    return planes;
}

// The guide's gray or colour channels (its alpha left out) as the filter
// reads them: in place in their own sample type, or with --float as float32
// planes of v/M.
Buffer<> guide_view(const FilterSettings &s) {
    const Image &g = s.guide;
    if (g.depth() == 16) {
        Buffer<uint16_t> view = colour_view(const_cast<uint16_t *>(g.data16.data()), g);
        return s.use_float ? Buffer<>(unit_planes(view)) : Buffer<>(view);
    }
    Buffer<uint8_t> view = colour_view(const_cast<uint8_t *>(g.data.data()), g);
    return s.use_float ? Buffer<>(unit_planes(view)) : Buffer<>(view);
}

// Filters in into out, with the range weights from the guide when there is one.
int call(Variant v, const FilterSettings &s, halide_buffer_t *in, Buffer<float> &weights, double sigma,
         halide_buffer_t *out) {
    if (s.guide.width != 0)
        return front::call_joint_checked(s.padding, s.rounding, in, guide_view(s), weights, s.window, sigma,
                                         s.pad_value, out);
    return s.use_float ? front::call_checked(v, in, weights, s.window, sigma, s.pad_value, out)
                       : front::call_filter(v, s.rounding, in, weights, s.window, sigma, s.pad_value, out);
}

// Filters the colour channels of img (samples S) through float32 planes of
// v/M (M the largest S) and writes clamp(v*M, 0, M) rounded half away from
// zero into out; alpha is left alone.
template <class S>
int filter_scaled(const Image &img, const std::vector<S> &in, std::vector<S> &out, Variant v,
                  Buffer<float> &weights, const FilterSettings &s, double sigma) {
    const float top = std::numeric_limits<S>::max();
    Buffer<S> dst = colour_view(out.data(), img);
    Buffer<float> planes = unit_planes(colour_view(in.data(), img)), result = planes.copy();
    const int status = call(v, s, planes, weights, sigma, result);
    dst.for_each_value([top](S &d, float r) { d = r >= 0 ? S(std::lround(std::min(r * top, top))) : 0; }, result);
    return status;
}

// Filters the colour channels of src into dst, a copy of src (so alpha and
// whatever else src carries go out unchanged). Returns an error message and
// adds the seconds spent filtering.
template <class S>
std::string filter_samples(const Image &src, const std::vector<S> &in, Image &dst, std::vector<S> &out,
                           FilterSettings &s, double &seconds) {
    const Variant v{src.channels >= 3 ? Layout::rgb : Layout::gray,
                               s.use_float ? Sample::f32 : front::sample_of<S>, s.padding};
    const double sigma = range_sigma(s, compared_sample(s, src));
    Buffer<float> &weights = weights_of(s);
    const auto start = std::chrono::steady_clock::now();
    int status;
    if (s.use_float) {
        status = filter_scaled(src, in, out, v, weights, s, sigma);
    } else {
        Buffer<S> from = colour_view(const_cast<S *>(in.data()), src), to = colour_view(out.data(), dst);
        status = call(v, s, from, weights, sigma, to);
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (status == -1) return "not enough memory for the filter's copies";
    return status == 0 ? "" : "the library refused the call (Halide error code " + std::to_string(status) + ")";
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

// Prints what image_io left out of path, one warning a line.
void warn_about(const std::string &path, const std::vector<std::string> &warnings) {
    for (const std::string &text : warnings) warn(path + ": " + text);
}

// Saves image to path and says so unless -q.
std::string save(const std::string &path, const Image &image, const Options &opt) {
    std::vector<std::string> warnings;
    image_io::SaveOptions options = opt.save;
    options.warnings = &warnings;
    std::string error = image_io::save(path, image, options);
    warn_about(path, warnings);
    if (error.empty() && !opt.quiet) {
        std::printf("wrote %s\n", path.c_str());
        std::fflush(stdout);
    }
    return error;
}

// Creates folder and its missing parents; an existing folder is fine.
std::string make_folder(const std::string &folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return error ? "cannot create " + folder + ": " + error.message() : "";
}

// Filters one image and writes the output (and the comparison, if asked).
std::string process(const std::string &in_path, const std::string &out_path, const Options &opt, FilterSettings &s) {
    Image src;
    std::vector<std::string> warnings;
    image_io::LoadOptions options = opt.load;
    options.warnings = &warnings;
    std::string error = image_io::load(in_path, src, options);
    warn_about(in_path, warnings);
    if (!error.empty()) return error;
    if (opt.drop_alpha && (src.channels == 2 || src.channels == 4)) drop_alpha(src);
    if (src.channels < 1 || src.channels > 4)
        return in_path + ": unsupported channel count " + std::to_string(src.channels);
    if (!(error = check_image(s, src)).empty()) return in_path + ": " + error;
    if ((src.channels == 2 || src.channels == 4) && is_jpeg(out_path))
        return in_path + ": JPEG cannot hold its alpha channel; use --drop-alpha, or a PNG or TIFF output";
    note_window(opt, s);
    Image dst;
    double seconds = 0;
    if (!(error = filter_image(src, dst, s, seconds)).empty()) return in_path + ": " + error;
    if (opt.time) {
        std::printf("%s: filtered %dx%d in %.2f ms, %.1f megapixels/s\n", in_path.c_str(), src.width, src.height,
                    seconds * 1e3, double(src.width) * src.height / 1e6 / std::max(seconds, 1e-9));
    }
    if (!(error = save(out_path, dst, opt)).empty()) return error;
    return opt.compare.empty() ? "" : save(opt.compare, side_by_side(src, dst), opt);
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

}  // namespace

int filter_files(const Options &opt, FilterSettings &s) {
    const std::vector<std::string> outputs = outputs_of(opt);
    const size_t count = opt.outdir.empty() ? 1 : opt.inputs.size();
    const std::string error = opt.outdir.empty() ? "" : make_folder(opt.outdir);
    if (!error.empty()) {
        std::fprintf(stderr, "bilateral: %s\n", error.c_str());
        return 1;
    }
    size_t failures = 0;
    for (size_t k = 0; k < count; ++k) {
        std::string error;
        try {  // what the checks could not foresee ends this file, not the run
            error = process(opt.inputs[k], outputs[k], opt, s);
        } catch (const std::bad_alloc &) {
            error = opt.inputs[k] + ": not enough memory";
        } catch (const std::length_error &) {
            error = opt.inputs[k] + ": not enough memory";
        }
        if (!error.empty()) {
            std::fprintf(stderr, "bilateral: %s\n", error.c_str());
            ++failures;
        }
    }
    if (!opt.quiet && !opt.outdir.empty())
        std::printf("%zu of %zu files filtered into %s%s\n", count - failures, count, opt.outdir.c_str(),
                    failures == 0 ? "" : (", " + std::to_string(failures) + " failed").c_str());
    return failures == 0 ? 0 : 1;
}

// The noise before and after is measured in a flat patch.
int run_demo(const Options &opt, FilterSettings &s) {
    const Image input = make_demo_picture();
    std::string error = check_image(s, input);
    Image output;
    double seconds = 0;
    if (error.empty()) error = make_folder(opt.demo_dir);
    if (error.empty()) {
        note_window(opt, s);
        error = filter_image(input, output, s, seconds);
    }
    const std::vector<std::string> names = outputs_of(opt);
    const Image images[3] = {input, output, side_by_side(input, output)};
    for (int k = 0; k < 3 && error.empty(); ++k) error = save(names[k], images[k], opt);
    if (!error.empty()) {
        std::fprintf(stderr, "bilateral: demo: %s\n", error.c_str());
        return 1;
    }
    if (!opt.quiet) {
        const double sigma = range_sigma(s, s.use_float ? Sample::f32 : Sample::u8);
        std::printf("window %d, range sigma %g: noise in a flat patch %.2f -> %.2f\n", s.window, sigma,
                    patch_noise(input, 20, 20, 100), patch_noise(output, 20, 20, 100));
    }
    if (opt.time)
        std::printf("filtered 640x480 in %.2f ms, %.1f megapixels/s\n", seconds * 1e3,
                    0.3072 / std::max(seconds, 1e-9));
    return 0;
}

}  // namespace bilateral::cli
