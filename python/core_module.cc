// bilateral_filter._core, the compiled half of the Python package: numpy
// arrays in, results written into a numpy array the caller (the package's
// Python half) provides.
//
// Images are H x W (or H x W x 1) gray and H x W x 3 RGB arrays of uint8,
// uint16 or float32, described to the library in place whatever their strides
// (call_filter copies strips of what the entry points cannot read directly);
// only misaligned inputs are copied first. A guide (joint filtering) is such
// an array of the image's rows and columns, read in place by the joint entry
// points, as are the image and the result. Values are checked here, so the
// library only ever sees values it defines; the Python half checks types and
// keywords.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <HalideRuntime.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bilateral_filter.h"
#include "front/checks.h"
#include "front/defaults.h"
#include "front/joint.h"
#include "front/rounding.h"

namespace py = pybind11;

namespace bilateral {
namespace python {
namespace {

using front::Layout;
using front::Padding;
using front::Rounding;
using front::Sample;
using front::Variant;

// Extents, window sizes and origins stay within 2^30, where the library's
// 32-bit coordinate formulas hold.
constexpr int64_t kMaxExtent = int64_t{1} << 30;

// A call estimated to take longer than this runs in strips this long, with a
// look for signals (Ctrl-C) between them.
constexpr double kStripSeconds = 0.25;

// The worker count set through set_num_threads (0: the runtime's default).
int g_threads = 0;

// A buffer descriptor over memory the caller owns (host == nullptr: a query).
// Dimension k is (min, extent, stride in elements).
struct Descriptor {
    halide_dimension_t dims[3] = {};
    halide_buffer_t buf = {};

    Descriptor(void *host, halide_type_code_t code, uint8_t bits, int dimensions) {
        buf.host = static_cast<uint8_t *>(host);
        buf.type.code = code;
        buf.type.bits = bits;
        buf.type.lanes = 1;
        buf.dimensions = dimensions;
        buf.dim = dims;
    }
    void set(int k, int64_t min, int64_t extent, int64_t stride) {
        dims[k] = halide_dimension_t(int32_t(min), int32_t(extent), int32_t(stride));
    }
    // Descriptors point into themselves: never copied or moved.
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
};

Padding checked_padding(const std::string &name) {
    Padding padding;
    if (!front::padding_from_name(name, padding))
        throw py::value_error("padding must be 'constant', 'replicate' or 'symmetric', not '" + name + "'");
    return padding;
}

std::string text(py::handle h) { return py::str(h).cast<std::string>(); }

std::string shape_text(const py::array &a) {
    return py::str(py::tuple(a.attr("shape"))).cast<std::string>();
}

std::string repr(double v) { return py::repr(py::float_(v)).cast<std::string>(); }

// A positive number given for sigma.
double check_sigma(double value, const char *name) {
    if (!(value > 0) || std::isinf(value))
        throw py::value_error(std::string(name) + " must be a positive finite number, not " + repr(value));
    return value;
}

// A positive whole number (int, numpy integer or integral float) up to 2^30.
int64_t positive_int(const py::handle &value, const char *name) {
    if (py::isinstance<py::bool_>(value)) throw py::type_error(std::string(name) + " must be an integer, not a bool");
    double v;
    if (PyIndex_Check(value.ptr())) {
        const Py_ssize_t i = PyNumber_AsSsize_t(value.ptr(), nullptr);
        if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
        v = double(i);
    } else if (PyFloat_Check(value.ptr()) || py::isinstance(value, py::module_::import("numpy").attr("floating"))) {
        v = value.cast<double>();
        if (v != std::floor(v)) throw py::value_error(std::string(name) + " must be a whole number, not " + repr(v));
    } else {
        throw py::type_error(std::string(name) + " must be an integer, not " +
                             text(value.get_type().attr("__name__")));
    }
    if (!(v >= 1))
        throw py::value_error(std::string(name) + " must be at least 1, not " + py::repr(value).cast<std::string>());
    if (v > double(kMaxExtent)) throw py::value_error(std::string(name) + " is too large (at most 2**30)");
    return int64_t(v);
}

// The image (or guide: `name`) as an array of a supported sample type;
// byte-swapped uint16 and float32 are converted to the native order.
py::array checked_image(const py::object &image, Sample &sample, const std::string &name = "image") {
    py::array a = py::array::ensure(image);
    if (!a) throw py::type_error(name + " must be a numpy array (or convertible to one)");
    const py::dtype dt = a.dtype();
    const char kind = dt.kind();
    if (kind == 'u' && dt.itemsize() == 1) {
        sample = Sample::u8;
    } else if (kind == 'u' && dt.itemsize() == 2) {
        sample = Sample::u16;
        if (!dt.attr("isnative").cast<bool>()) a = a.attr("astype")(py::dtype::of<uint16_t>());
    } else if (kind == 'f' && dt.itemsize() == 4) {
        sample = Sample::f32;
        if (!dt.attr("isnative").cast<bool>()) a = a.attr("astype")(py::dtype::of<float>());
    } else {
        throw py::type_error(name + " dtype must be uint8, uint16 or float32, not " + text(dt) + " (convert with " +
                             name + ".astype(numpy.uint16) or " + name + ".astype(numpy.float32))");
    }
    if (a.ndim() != 2 && a.ndim() != 3)
        throw py::value_error(name + " must be H x W, H x W x 1 or H x W x 3, not of shape " + shape_text(a));
    if (a.size() == 0) throw py::value_error(name + " is empty (shape " + shape_text(a) + ")");
    if (a.ndim() == 3 && a.shape(2) != 1 && a.shape(2) != 3) {
        throw py::value_error(name + " has " + std::to_string(a.shape(2)) +
                              " channels; only 1 (gray) or 3 (RGB) are taken (drop an alpha channel with " + name +
                              "[..., :3], or take one channel with " + name + "[..., 0])");
    }
    if (a.shape(0) > kMaxExtent || a.shape(1) > kMaxExtent)
        throw py::value_error(name + " is too large (at most 2**30 rows and columns)");
    if (a.ndim() == 3 && a.shape(2) == 3 && a.shape(0) * a.shape(1) > INT32_MAX)
        throw py::value_error("RGB " + name + " is too large (at most 2**31 - 1 pixels)");
    return a;
}

// The N x N weights as a C-ordered float32 array: row j, column i is W(i, j).
py::array_t<float> checked_weights(const py::object &weights) {
    py::array given = py::array::ensure(weights);
    if (!given) throw py::type_error("weights must be a numpy array (or convertible to one)");
    const char kind = given.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u')
        throw py::type_error("weights must be real numbers, not " + text(given.dtype()));
    if (given.ndim() != 2 || given.shape(0) != given.shape(1) || given.shape(0) < 1)
        throw py::value_error("weights must be a non-empty square N x N array, not of shape " + shape_text(given));
    if (const front::Refusal r = front::check_window_size(double(given.shape(0)))) throw py::value_error(r.text);
    // Through double, which holds float32 values (and integers up to 2^53)
    // exactly; each value is then rounded once to float32.
    const auto exact = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(given);
    if (!exact) throw py::error_already_set();
    py::array_t<float> w({given.shape(0), given.shape(1)});
    const double *src = exact.data();
    float *dst = w.mutable_data();
    for (py::ssize_t k = 0; k < w.size(); ++k) {
        if (!(std::fabs(src[k]) <= FLT_MAX)) throw py::value_error("weights must be finite float32 values");
        dst[k] = static_cast<float>(src[k]);
    }
    return w;
}

// Whether the library can be given the array as it is: aligned (so every byte
// stride is a whole number of samples) and with element strides that fit its
// 32-bit strides.
bool describable(const py::array &a) {
    if (!(a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_)) return false;
    for (py::ssize_t k = 0; k < a.ndim(); ++k) {
        const int64_t e = a.strides(k) / a.itemsize();
        if (e < INT32_MIN || e > INT32_MAX) return false;
    }
    return true;
}

// Whether two elements of the array share memory: a zero stride, or strides
// too small for the extents below them.
bool repeats_memory(const py::array &a) {
    std::vector<std::pair<int64_t, int64_t>> axes;  // |stride| in bytes, extent
    for (py::ssize_t k = 0; k < a.ndim(); ++k) {
        if (a.shape(k) > 1) axes.push_back({std::llabs(int64_t(a.strides(k))), int64_t(a.shape(k))});
    }
    std::sort(axes.begin(), axes.end());
    int64_t span = a.itemsize();  // bytes one step of the next axis must clear
    for (const auto &[stride, extent] : axes) {
        if (stride < span) return true;
        span = stride * extent;
    }
    return false;
}

// Describes an H x W (x 3) array in place: x (axis 1), y (axis 0) and channel
// (axis 2), each from 0.
void describe(Descriptor &d, const py::array &a) {
    static constexpr int kAxis[3] = {1, 0, 2};
    for (int k = 0; k < d.buf.dimensions; ++k) d.set(k, 0, a.shape(kAxis[k]), a.strides(kAxis[k]) / a.itemsize());
}

// Whether an array's samples are 3 colour channels.
bool is_rgb(const py::array &a) { return a.ndim() == 3 && a.shape(2) == 3; }

// A descriptor of an H x W (x 3) array in place.
struct ArrayDescriptor : Descriptor {
    explicit ArrayDescriptor(const py::array &a)
        : Descriptor(const_cast<void *>(a.data()), a.dtype().kind() == 'f' ? halide_type_float : halide_type_uint,
                     uint8_t(a.itemsize() * 8), is_rgb(a) ? 3 : 2) {
        describe(*this, a);
    }
};

// A filter call's checked arguments.
struct Prepared {
    py::array in, guide;  // guide: read only with g
    Variant v{};
    std::optional<front::Guide> g;  // the guide's layout and sample type
    int window = 0;
    py::array_t<float> weights;  // the given ones; the Gaussian is made once the call has passed its checks
    bool weights_given = false;
    double sigma_spatial = 1, sigma_range = 0, pad_value = 0;
    front::WindowShape shape = front::WindowShape::disc;
    Rounding rounding = Rounding::nearest;
};

// Filters a checked image with checked arguments into `out`, an aligned array
// of the image's shape and sample type, both described in place: call_filter
// copies strips of layouts the entry points do not read (x stride other than
// 1), and of integer images it rounds; the joint entry points read every x
// stride but 0. The call runs without the GIL.
void filter_samples(const Prepared &p, const py::array &out, const py::array_t<float> &weights) {
    // Copies only of what cannot be described: misaligned, or (joint) an x stride of 0.
    const auto readable = [&](const py::array &a) { return describable(a) && (!p.g || a.strides(1) != 0); };
    const py::array in = readable(p.in) ? p.in : py::array(p.in.attr("copy")());
    const py::array guide = !p.g || readable(p.guide) ? p.guide : py::array(p.guide.attr("copy")());
    ArrayDescriptor in_buf(in), guide_buf(p.g ? guide : in);
    Descriptor w_buf(const_cast<float *>(weights.data()), halide_type_float, 32, 2);
    w_buf.set(0, 0, p.window, 1);
    w_buf.set(1, 0, p.window, p.window);
    // A long call runs as strips of output rows of a fraction of a second
    // each, so that Ctrl-C is seen between them; every sample gets the bits of
    // one whole call. Strips are whole tiles where they can be.
    const bool colour = p.v.layout == Layout::rgb || (p.g && p.g->layout == Layout::rgb);
    const int64_t H = in.shape(0), tile = colour ? 32 : 64;
    const double seconds = front::estimated_seconds(colour ? Layout::rgb : Layout::gray, in.shape(1), H, p.window,
                                                    front::effective_threads(g_threads));
    int64_t rows = seconds <= kStripSeconds ? H : std::max<int64_t>(1, int64_t(double(H) * kStripSeconds / seconds));
    if (rows < H && rows > tile) rows = rows / tile * tile;
    for (int64_t y0 = 0; y0 < H; y0 += rows) {
        ArrayDescriptor strip(out);
        strip.buf.host += y0 * out.strides(0);
        strip.set(1, y0, std::min(rows, H - y0), out.strides(0) / out.itemsize());
        int status;
        {
            py::gil_scoped_release unlocked;
            status = p.g ? front::call_joint_checked(p.v.padding, p.rounding, &in_buf.buf, &guide_buf.buf, &w_buf.buf,
                                                     p.window, p.sigma_range, p.pad_value, &strip.buf)
                         : front::call_filter(p.v, p.rounding, &in_buf.buf, &w_buf.buf, p.window, p.sigma_range,
                                              p.pad_value, &strip.buf);
        }
        if (status == -1) throw std::bad_alloc();  // pybind11 raises MemoryError
        if (status != 0) throw py::value_error("the library refused the call (Halide error code " +
                                               std::to_string(status) + ")");
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
}

// The window size N: the given weights' (checked and converted into
// `given`), or the given window, or the default for sigma_spatial; refused
// beyond the front ends' window limit before any weight is made.
int window_from(const py::object &weights_arg, const py::object &window_arg, double sigma_spatial,
                py::array_t<float> *given) {
    const int64_t window_given = window_arg.is_none() ? 0 : positive_int(window_arg, "window");  // 0: not given
    if (!weights_arg.is_none()) {
        py::array_t<float> weights = checked_weights(weights_arg);
        const int64_t window = weights.shape(0);
        if (window_given != 0 && window_given != window)
            throw py::value_error("window " + std::to_string(window_given) + " does not match the " +
                                  std::to_string(window) + " x " + std::to_string(window) + " weights");
        if (given != nullptr) *given = weights;
        return int(window);
    }
    const double window = window_given != 0 ? double(window_given) : front::default_window(sigma_spatial);
    if (const front::Refusal r = front::check_window_size(window))
        throw py::value_error(window_given != 0 ? r.text : "sigma_spatial " + repr(sigma_spatial) + ": " + r.text);
    return int(window);
}

// The Gaussian weights of the window's shape, as a C-ordered N x N array.
py::array_t<float> gaussian(int window, double sigma_spatial, front::WindowShape shape) {
    const std::vector<float> values = front::gaussian_weights(window, sigma_spatial, shape);
    py::array_t<float> weights({int64_t(window), int64_t(window)});
    std::copy(values.begin(), values.end(), weights.mutable_data());
    return weights;
}

// The window shape a user names.
front::WindowShape checked_shape_name(const std::string &name) {
    front::WindowShape shape;
    if (!front::window_shape_from_name(name, shape))
        throw py::value_error("window_shape must be 'disc' or 'square', not '" + name + "'");
    return shape;
}

Prepared prepare(const py::object &image, const py::object &guide, double sigma_spatial, const py::object &window_arg,
                 const std::string &shape_name, std::optional<double> sigma_range_arg, const std::string &padding_name,
                 double pad_value, const py::object &weights_arg, bool truncate) {
    Prepared p;
    Sample sample = Sample::f32;
    p.in = checked_image(image, sample);
    p.v = {is_rgb(p.in) ? Layout::rgb : Layout::gray, sample, checked_padding(padding_name)};
    if (!guide.is_none()) {
        Sample guide_sample = Sample::f32;
        p.guide = checked_image(guide, guide_sample, "guide");
        if (p.guide.shape(0) != p.in.shape(0) || p.guide.shape(1) != p.in.shape(1))
            throw py::value_error("the guide must have the image's rows and columns: it is " +
                                  std::to_string(p.guide.shape(0)) + " x " + std::to_string(p.guide.shape(1)) +
                                  ", the image " + std::to_string(p.in.shape(0)) + " x " +
                                  std::to_string(p.in.shape(1)));
        const bool rgb = is_rgb(p.guide);
        p.g = front::Guide{rgb ? Layout::rgb : Layout::gray, guide_sample, rgb ? 3 : 1, false};
    }
    // In the units of the samples the range weights compare.
    p.sigma_spatial = check_sigma(sigma_spatial, "sigma_spatial");
    p.sigma_range = sigma_range_arg ? check_sigma(*sigma_range_arg, "sigma_range")
                                    : front::default_sigma_range(p.g ? p.g->sample : sample);
    p.pad_value = pad_value;
    p.shape = checked_shape_name(shape_name);
    p.window = window_from(weights_arg, window_arg, sigma_spatial, &p.weights);
    p.weights_given = !weights_arg.is_none();
    p.rounding = truncate ? Rounding::truncate : Rounding::nearest;
    return p;
}

// The call as the front ends' checks see it: the image (and guide), the
// arguments, and what this module allocates besides the library (the result
// and the copies call_filter makes of an array it cannot read in place).
front::Call call_of(const Prepared &p) {
    front::Call c;
    c.v = p.v;
    c.width = p.in.shape(1);
    c.height = p.in.shape(0);
    c.channels = p.v.layout == Layout::rgb ? 3 : 1;
    c.window = p.window;
    c.weights = p.weights_given ? p.weights.data() : nullptr;
    c.sigma_range = p.sigma_range;
    c.pad_value = p.pad_value;
    c.threads = front::effective_threads(g_threads);
    c.guide = p.g;
    const double result = double(p.in.nbytes());
    // Interleaved channels are read in place when rounded to nearest; float and truncated ones are copied
    // in strips of rows.
    const bool strided = p.in.ndim() == 3 && p.in.shape(2) > 1;
    const double row = double(p.in.shape(1)) * c.channels * 2 * p.in.itemsize();
    const bool rounded = p.v.sample != Sample::f32 && p.rounding == Rounding::nearest;
    const bool copies = !p.g && strided && !rounded;
    c.extra_bytes = result + (copies ? std::min(row * double(p.in.shape(0)),
                                                std::max(double(front::kRoundingBudget), row * 2 * c.window))
                                     : 0.0);
    return c;
}

// Raises what the front ends refuse: ValueError, or MemoryError when the
// memory is not there.
void raise_refusal(const front::Refusal &r) {
    if (r.kind == front::Refusal::Kind::memory) {
        PyErr_SetString(PyExc_MemoryError, r.text.c_str());
        throw py::error_already_set();
    }
    throw py::value_error(r.text);
}

// Checks a filter call without running it: raises what it refuses and
// returns its warnings (the Python half issues them).
std::vector<std::string> check(const py::object &image, const py::object &guide, double sigma_spatial,
                               const py::object &window_arg, const std::string &shape_name,
                               std::optional<double> sigma_range_arg, const std::string &padding_name,
                               double pad_value, const py::object &weights_arg, bool truncate) {
    const Prepared p =
        prepare(image, guide, sigma_spatial, window_arg, shape_name, sigma_range_arg, padding_name, pad_value,
                weights_arg, truncate);
    const front::Verdict verdict = front::check_call(call_of(p));
    if (verdict.refusal) raise_refusal(verdict.refusal);
    return verdict.warnings;
}

// Filters `image` into `out`. The Python half has checked the call and made
// `out` an array of the image's shape and native sample type that shares no
// memory with it (nor with the guide); all of it is checked again here, since
// a wrong one would be written out of bounds.
void filter(const py::object &image, const py::object &guide, const py::array &out, double sigma_spatial,
            const py::object &window_arg, const std::string &shape_name, std::optional<double> sigma_range_arg,
            const std::string &padding_name, double pad_value, const py::object &weights_arg, bool truncate) {
    const Prepared p =
        prepare(image, guide, sigma_spatial, window_arg, shape_name, sigma_range_arg, padding_name, pad_value,
                weights_arg, truncate);
    const py::array &in = p.in;
    if (out.ndim() != in.ndim() || !std::equal(in.shape(), in.shape() + in.ndim(), out.shape()) ||
        !out.dtype().equal(in.dtype()) || !out.writeable() || !describable(out))
        throw py::value_error("out must be a writeable, aligned array of the image's shape and native dtype");
    if (repeats_memory(out)) throw py::value_error("out repeats memory (a zero or overlapping stride)");
    const py::module_ np = py::module_::import("numpy");
    const auto overlaps = [&](const py::array &a) {
        return np.attr("may_share_memory")(a, out).cast<bool>() && np.attr("shares_memory")(a, out).cast<bool>();
    };
    for (const char *name : {"image", "guide"}) {
        if (name[0] == 'i' ? overlaps(in) : p.g && overlaps(p.guide))
            throw py::value_error(std::string("out overlaps the ") + name +
                                  "; the filter cannot work in place, pass a separate array");
    }
    if (const front::Refusal r = front::check_call(call_of(p)).refusal) raise_refusal(r);
    filter_samples(p, out, p.weights_given ? p.weights : gaussian(p.window, p.sigma_spatial, p.shape));
}

// The window size N a filter call with these arguments uses.
int64_t window_of(const py::object &window_arg, const py::object &weights_arg, double sigma_spatial) {
    return window_from(weights_arg, window_arg, check_sigma(sigma_spatial, "sigma_spatial"), nullptr);
}

// Sets the runtime's worker count; returns the previous one.
int set_num_threads(int threads) {
    if (threads < 1 || threads > front::kMaxThreads)
        throw py::value_error("threads must be within 1.." + std::to_string(front::kMaxThreads) + ", not " +
                              std::to_string(threads));
    g_threads = threads;
    return halide_set_num_threads(threads);
}

// The integers of a sequence such as a shape tuple.
std::vector<int64_t> int_list(const py::object &value, const char *name) {
    try {
        return value.cast<std::vector<int64_t>>();
    } catch (const py::cast_error &) {
        throw py::type_error(std::string(name) + " must be a sequence of integers");
    }
}

// A (rows, columns) pair.
std::pair<int64_t, int64_t> int_pair(const py::object &value, const char *name) {
    const std::vector<int64_t> items = int_list(value, name);
    if (items.size() != 2) throw py::value_error(std::string(name) + " must be a pair (rows, columns)");
    return {items[0], items[1]};
}

bool within(int64_t v, int64_t lo, int64_t hi) { return v >= lo && v <= hi; }

// The rows and columns of an image shape (H, W) or (H, W, C) of the layout.
std::pair<int64_t, int64_t> checked_shape(const py::object &shape_arg, const std::string &layout, bool rgb) {
    const std::vector<int64_t> shape = int_list(shape_arg, "shape");
    if (shape.size() != 2 && shape.size() != 3) throw py::value_error("shape must be (H, W) or (H, W, C)");
    if (shape.size() == 3 && shape[2] != (rgb ? 3 : 1))
        throw py::value_error("a " + layout + " image has " + (rgb ? "3" : "1") + " channel(s), not " +
                              std::to_string(shape[2]));
    if (!within(shape[0], 1, kMaxExtent) || !within(shape[1], 1, kMaxExtent))
        throw py::value_error("shape entries must be within 1..2**30");
    return {shape[0], shape[1]};
}

py::tuple bounds(const py::object &shape_arg, const py::object &window_arg, const std::string &padding_name,
                 const std::string &layout, const py::object &origin_arg, const py::object &out_shape_arg) {
    const bool rgb = layout == "RGB" || layout == "rgb";
    if (!rgb && layout != "gray") throw py::value_error("layout must be 'gray' or 'RGB', not '" + layout + "'");
    const auto [H, W] = checked_shape(shape_arg, layout, rgb);
    const int64_t window = positive_int(window_arg, "window");
    const Padding padding = checked_padding(padding_name);
    const auto [oy, ox] = int_pair(origin_arg, "out_origin");
    const auto [oh, ow] =
        out_shape_arg.is_none() ? std::pair<int64_t, int64_t>{H, W} : int_pair(out_shape_arg, "out_shape");
    if (!within(oy, -kMaxExtent, kMaxExtent) || !within(ox, -kMaxExtent, kMaxExtent))
        throw py::value_error("out_origin entries must be within -2**30..2**30");
    if (!within(oh, 1, kMaxExtent) || !within(ow, 1, kMaxExtent))
        throw py::value_error("out_shape entries must be within 1..2**30");

    // Every buffer is a query (no memory); the input carries the image's true
    // shape, to which the answer is clamped. Strides play no part in a query.
    const int dims = rgb ? 3 : 2;
    Descriptor in(nullptr, halide_type_uint, 8, dims), out(nullptr, halide_type_uint, 8, dims),
        w(nullptr, halide_type_float, 32, 2);
    in.set(0, 0, W, 0);
    in.set(1, 0, H, 0);
    in.set(2, 0, rgb ? 3 : 1, 0);
    out.set(0, ox, ow, 0);
    out.set(1, oy, oh, 0);
    out.set(2, 0, 3, 0);
    const Variant v{rgb ? Layout::rgb : Layout::gray, Sample::u8, padding};
    front::call_entry(v, &in.buf, &w.buf, int(window), 1.0, 0.0, &out.buf);
    const halide_dimension_t x = in.dims[0], y = in.dims[1];
    return py::make_tuple(py::make_tuple(y.min, int64_t{y.min} + y.extent),
                          py::make_tuple(x.min, int64_t{x.min} + x.extent));
}

}  // namespace
}  // namespace python
}  // namespace bilateral

// Docstrings live in the Python half (bilateral_filter/__init__.py), which
// checks types and keywords before calling these.
PYBIND11_MODULE(_core, m) {
    using namespace pybind11::literals;
    m.doc() = "The compiled half of bilateral_filter; use the package's functions.";
    m.attr("__version__") = BF_VERSION;
    m.attr("max_threads") = bilateral::front::kMaxThreads;
    m.def("filter", &bilateral::python::filter, "image"_a, "guide"_a, "out"_a, "sigma_spatial"_a, "window"_a,
          "window_shape"_a, "sigma_range"_a, "padding"_a, "pad_value"_a, "weights"_a, "truncate"_a);
    m.def("check", &bilateral::python::check, "image"_a, "guide"_a, "sigma_spatial"_a, "window"_a, "window_shape"_a,
          "sigma_range"_a, "padding"_a, "pad_value"_a, "weights"_a, "truncate"_a);
    m.def("bounds", &bilateral::python::bounds, "shape"_a, "window"_a, "padding"_a, "layout"_a, "out_origin"_a,
          "out_shape"_a);
    m.def("window_of", &bilateral::python::window_of, "window"_a, "weights"_a, "sigma_spatial"_a);
    m.def("set_num_threads", &bilateral::python::set_num_threads, "threads"_a);
}
