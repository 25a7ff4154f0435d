// image_io.cc: format detection, the load and save entry points, and the
// temporary file that a save writes and renames over its target.
#include "image_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>

#include "codecs.h"
#include "exif.h"

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

std::string detail::check_size(long long width, long long height, long long channels) {
    if (width < 1 || height < 1) return "image has no pixels";
    if (width * height * channels > INT_MAX) {
        return "image too large: " + std::to_string(width) + "x" + std::to_string(height) + "x" +
               std::to_string(channels) + " samples exceed 32-bit extents";
    }
    return "";
}

std::string load(const std::string &path, Image &image) {
    image = Image();
    FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) return "cannot open " + path + ": " + system_error();
    struct stat info;
    if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {  // opens, but reads fail
        std::fclose(file);
        return path + ": is a folder";
    }
    std::setvbuf(file, nullptr, _IOFBF, kFileBuffer);
    unsigned char magic[8] = {0};
    const size_t got = std::fread(magic, 1, sizeof magic, file);
    std::rewind(file);
    std::string result;
    if (got == 8 && is_png(magic)) {
        result = load_png(file, image);
    } else if (got >= 3 && is_jpeg(magic)) {
        result = load_jpeg(file, image);
    } else if (got >= 4 && is_tiff(magic)) {
        result = load_tiff(path, image);
    } else {
        result = "not a PNG, TIFF or JPEG file";
    }
    std::fclose(file);
    if (!result.empty()) {
        image = Image();
        return path + ": " + result;
    }
    if (image.metadata.orientation == 0) image.metadata.orientation = exif_orientation(image.metadata.exif);
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

std::string save(const std::string &path, const Image &image, const SaveOptions &options) {
    const std::string ext = extension_of(path);
    if (!has_known_extension(path)) return path + ": unknown output format (use " + kKnownExtensions + ")";
    if (image.channels < 1 || image.channels > 4) return path + ": unsupported channel count";
    if (image.width < 1 || image.height < 1) return path + ": image has no pixels";

    // Temporary file beside the target, keeping its extension:
    // .name.tmp-<pid>-<n>.ext, the first n not taken. Its path goes to
    // on_temporary before the file exists, so a signal handler that removes
    // it can never miss a file already made.
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string base = dir + "." + name.substr(0, name.size() - ext.size()) + ".tmp-" +
                             std::to_string(getpid()) + "-";
    std::string temp;
    int fd = -1;
    struct Gone {  // on every return below the temporary is renamed or removed
        void (*tell)(const char *);
        ~Gone() {
            if (tell != nullptr) tell(nullptr);
        }
    } gone{options.on_temporary};
    for (int n = 0; fd < 0 && n < 1000; ++n) {
        temp = base + std::to_string(n) + ext;
        if (options.on_temporary != nullptr) options.on_temporary(temp.c_str());
        fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);  // libtiff reads back what it wrote
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return "cannot write " + path + ": " + system_error();
    FILE *file = fdopen(fd, "wb");
    if (!file) {
        const std::string message = "cannot write " + path + ": " + system_error();
        close(fd);
        unlink(temp.c_str());
        return message;
    }
    std::setvbuf(file, nullptr, _IOFBF, kFileBuffer);
    std::string result = ext == ".png"                      ? save_png(file, image, options)
                         : ext == ".tif" || ext == ".tiff" ? save_tiff(fd, temp, image)
                                                           : save_jpeg(file, image, options);
    if (result.empty() && (std::fflush(file) != 0 || fsync(fileno(file)) != 0)) result = system_error();
    if (std::fclose(file) != 0 && result.empty()) result = system_error();
    if (result.empty() && std::rename(temp.c_str(), path.c_str()) != 0) result = system_error();
    if (!result.empty()) {
        unlink(temp.c_str());
        return "cannot write " + path + ": " + result;
    }
    return "";
}

}  // namespace image_io
