// image_io.cc: format detection, the load and save entry points, and the
// temporary file that a save writes and renames over its target.
#include "image_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <memory>
#include <new>
#include <stdexcept>

#include "codecs.h"
#include "exif.h"
#include "front/checks.h"

namespace image_io {
namespace {

using namespace detail;

// PNG signature.
bool is_png(const unsigned char *m) { return std::memcmp(m, "\x89PNG\r\n\x1a\n", 8) == 0; }

// JPEG: a start-of-image marker, then another marker.
bool is_jpeg(const unsigned char *m) { return m[0] == 0xFF && m[1] == 0xD8 && m[2] == 0xFF; }

// TIFF signature, either byte order, classic or BigTIFF.
bool is_tiff(const unsigned char *m) {
    const bool little = m[0] == 'I' && m[1] == 'I' && m[3] == 0, big = m[0] == 'M' && m[1] == 'M' && m[2] == 0;
    return (little && (m[2] == 42 || m[2] == 43)) || (big && (m[3] == 42 || m[3] == 43));
}

}  // namespace

std::string detail::check_size(long long width, long long height, long long channels, int bytes_per_sample,
                               const LoadOptions &options) {
    if (width < 1 || height < 1) return "image has no pixels";
    const std::string shape = std::to_string(width) + "x" + std::to_string(height);
    if (double(width) * double(height) * double(channels) > INT_MAX)
        return "image too large: " + shape + "x" + std::to_string(channels) + " samples exceed 32-bit extents";
    const double pixels = double(width) * double(height);
    if (options.max_pixels != 0 && pixels > double(options.max_pixels)) {
        return "image too large: " + shape + " is " + std::to_string(width * height) +
               " pixels, more than the limit of " + std::to_string(options.max_pixels) + " (--max-pixels raises it)";
    }
    const double bytes = pixels * double(channels) * bytes_per_sample, have = bilateral::front::available_memory();
    if (bytes > have) {
        return std::string(kNoMemory) + ": a " + shape + " image needs " + bilateral::front::bytes_text(bytes) +
               " for its samples, and " + bilateral::front::bytes_text(have) + " is available";
    }
    return "";
}

bool detail::allocate_samples(Image &image, int depth) noexcept {
    const size_t samples = size_t(image.width) * size_t(image.height) * size_t(image.channels);
    return guarded([&] { depth == 16 ? image.data16.resize(samples) : image.data.resize(samples); });
}

double detail::decoder_memory(const LoadOptions &options) {
    const double have = bilateral::front::available_memory();
    if (options.max_pixels == 0) return have;
    return std::min(have, std::max(double(size_t(64) << 20), 16.0 * double(options.max_pixels)));
}

std::string load(const std::string &path, Image &image, const LoadOptions &options) {
    image = Image();
    const std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) return "cannot open " + path + ": " + system_error();
    struct stat info;
    if (fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode))
        return path + ": is a folder";  // opens, but reads fail
    std::setvbuf(file.get(), nullptr, _IOFBF, kFileBuffer);
    unsigned char magic[8] = {0};
    const size_t got = std::fread(magic, 1, sizeof magic, file.get());
    std::rewind(file.get());
    std::string result;
    try {  // the codecs catch their own large allocations; this is for the small ones
        if (got == 8 && is_png(magic)) {
            result = load_png(file.get(), image, options);
        } else if (got >= 3 && is_jpeg(magic)) {
            result = load_jpeg(file.get(), image, options);
        } else if (got >= 4 && is_tiff(magic)) {
            result = load_tiff(path, image, options);
        } else {
            result = "not a PNG, TIFF or JPEG file";
        }
        if (result.empty() && image.metadata.orientation == 0)
            image.metadata.orientation = exif_orientation(image.metadata.exif);
    } catch (const std::bad_alloc &) {
        result = kNoMemory;
    } catch (const std::length_error &) {
        result = kNoMemory;
    }
    if (!result.empty()) {
        image = Image();
        return path + ": " + result;
    }
    return "";
}

std::string extension_of(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

bool has_known_extension(const std::string &path) {
    const std::string ext = extension_of(path);
    return ext == ".png" || ext == ".tif" || ext == ".tiff" || ext == ".jpg" || ext == ".jpeg";
}

std::string final_path(const std::string &path) {
    std::string p = path;
    for (int hops = 0; hops <= 40; ++hops) {  // as many as the kernel follows
        struct stat link;
        if (lstat(p.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return p;
        char target[PATH_MAX];
        const ssize_t n = readlink(p.c_str(), target, sizeof target);
        if (n <= 0 || size_t(n) >= sizeof target) return "";
        const size_t slash = p.find_last_of('/');
        p = target[0] == '/' || slash == std::string::npos ? std::string(target, size_t(n))
                                                           : p.substr(0, slash + 1) + std::string(target, size_t(n));
    }
    return "";
}

namespace {

// The temporary file of a save: closed and removed when the save returns
// without renaming it, and on_temporary told once it is gone either way.
struct Temporary {
    std::string path;
    int fd = -1;
    FILE *file = nullptr;
    bool renamed = false;
    void (*tell)(const char *) = nullptr;
    explicit Temporary(void (*t)(const char *)) : tell(t) {}
    Temporary(const Temporary &) = delete;
    Temporary &operator=(const Temporary &) = delete;
    ~Temporary() {
        if (file != nullptr)
            std::fclose(file);
        else if (fd >= 0)
            close(fd);
        if (fd >= 0 && !renamed) unlink(path.c_str());
        if (tell != nullptr) tell(nullptr);
    }
};

// Writes image to the file named by path (its extension giving the format)
// through a temporary beside real, the file path leads to; returns the cause
// of a failure.
std::string write_through(const std::string &path, const std::string &real, const Image &image,
                          const SaveOptions &options) {
    struct stat target;
    const bool replacing = stat(real.c_str(), &target) == 0;
    if (replacing && !S_ISREG(target.st_mode)) return S_ISDIR(target.st_mode) ? "is a folder" : "not a regular file";

    // .name.tmp-<pid>-<n>.ext beside the target, the first n not taken. Its
    // path goes to on_temporary before the file exists, so a signal handler
    // that removes it can never miss a file already made. A replacement
    // starts private and takes the target's owner, group and mode.
    const std::string ext = extension_of(path);
    const size_t slash = real.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : real.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? real : real.substr(slash + 1);
    const std::string stem = name.substr(0, name.size() - extension_of(name).size());
    const std::string base = dir + "." + stem + ".tmp-" + std::to_string(getpid()) + "-";
    Temporary temp(options.on_temporary);
    for (int n = 0; temp.fd < 0 && n < 1000; ++n) {
        temp.path = base + std::to_string(n) + ext;
        if (options.on_temporary != nullptr) options.on_temporary(temp.path.c_str());
        // read and write: libtiff reads back what it wrote
        temp.fd = open(temp.path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, replacing ? 0600 : 0666);
        if (temp.fd < 0 && errno != EEXIST) break;
    }
    if (temp.fd < 0) return system_error();
    if (replacing) {
        // Only root may give a file away, and only a member may give it a
        // group; failing both, it stays the writer's.
        (void)(fchown(temp.fd, target.st_uid, target.st_gid) == 0 || fchown(temp.fd, uid_t(-1), target.st_gid) == 0);
        if (fchmod(temp.fd, target.st_mode & 07777) != 0) return system_error();
    }
    if ((temp.file = fdopen(temp.fd, "wb")) == nullptr) return system_error();
    std::setvbuf(temp.file, nullptr, _IOFBF, kFileBuffer);
    std::string result = ext == ".png"                      ? save_png(temp.file, image, options)
                         : ext == ".tif" || ext == ".tiff" ? save_tiff(temp.fd, temp.path, image, options)
                                                           : save_jpeg(temp.file, image, options);
    if (result.empty() && (std::fflush(temp.file) != 0 || fsync(temp.fd) != 0)) result = system_error();
    const int closed = std::fclose(temp.file);
    temp.file = nullptr;
    if (closed != 0 && result.empty()) result = system_error();
    if (result.empty() && std::rename(temp.path.c_str(), real.c_str()) != 0) result = system_error();
    temp.renamed = result.empty();
    return result;
}

}  // namespace

std::string save(const std::string &path, const Image &image, const SaveOptions &options) {
    if (!has_known_extension(path)) return path + ": unknown output format (use " + kKnownExtensions + ")";
    if (image.channels < 1 || image.channels > 4) return path + ": unsupported channel count";
    if (image.width < 1 || image.height < 1) return path + ": image has no pixels";
    std::string result;
    try {
        const std::string real = final_path(path);
        result = real.empty() ? "too many levels of symbolic links" : write_through(path, real, image, options);
    } catch (const std::bad_alloc &) {
        result = kNoMemory;
    } catch (const std::length_error &) {
        result = kNoMemory;
    }
    return result.empty() ? "" : "cannot write " + path + ": " + result;
}

}  // namespace image_io
