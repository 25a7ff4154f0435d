// image_io.cc: PNG through libpng and JPEG through libjpeg, with their error
// paths routed back through setjmp so a bad file becomes a message.
#include "image_io.h"

#include <fcntl.h>
#include <jpeglib.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace image_io {
namespace {

// Lower-case extension of path including the dot, or "" if there is none.
std::string extension_of(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

// Refuses shapes whose sample count overflows the library's 32-bit strides.
std::string check_size(long long width, long long height, long long channels) {
    if (width < 1 || height < 1) return "image has no pixels";
    if (width * height * channels > INT_MAX) {
        return "image too large: " + std::to_string(width) + "x" + std::to_string(height) + "x" +
               std::to_string(channels) + " samples exceed 32-bit extents";
    }
    return "";
}

// ---- PNG ----

// libpng error callback: keep the message and unwind to the setjmp point.
void png_error_handler(png_structp png, png_const_charp message) {
    auto *error = static_cast<std::string *>(png_get_error_ptr(png));
    *error = message;
    png_longjmp(png, 1);
}

// libpng warnings do not stop decoding; they are not reported.
void png_warning_handler(png_structp, png_const_charp) {}

// Decodes an open PNG file into image. All non-trivial objects live in the
// caller's frame so the longjmp from libpng skips no destructors.
std::string load_png(FILE *file, Image &image, std::string &error, std::vector<png_bytep> &rows) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error, png_error_handler, png_warning_handler);
    if (!png) return "out of memory";
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return "out of memory";
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return "corrupt or truncated PNG: " + error;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    const int bit_depth = png_get_bit_depth(png, info);
    const int color_type = png_get_color_type(png, info);
    if (bit_depth == 16) {
        png_destroy_read_struct(&png, &info, nullptr);
        return "unsupported bit depth: 16-bit PNG (only 8-bit images are supported)";
    }
    if (color_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (color_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const int width = int(png_get_image_width(png, info));
    const int height = int(png_get_image_height(png, info));
    const int channels = png_get_channels(png, info);
    std::string size_error = check_size(png_get_image_width(png, info), png_get_image_height(png, info), channels);
    if (!size_error.empty()) {
        png_destroy_read_struct(&png, &info, nullptr);
        return size_error;
    }
    image.width = width;
    image.height = height;
    image.channels = channels;
    image.data.assign(size_t(width) * height * channels, 0);
    rows.resize(height);
    for (int y = 0; y < height; ++y) rows[y] = image.data.data() + size_t(y) * width * channels;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return "";
}

// Encodes image as PNG into an open file.
std::string save_png(FILE *file, const Image &image, std::string &error, std::vector<png_bytep> &rows) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, png_error_handler, png_warning_handler);
    if (!png) return "out of memory";
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return "out of memory";
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return "PNG encoding failed: " + error;
    }
    static const int color_types[] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                      PNG_COLOR_TYPE_RGB_ALPHA};
    png_init_io(png, file);
    png_set_IHDR(png, info, image.width, image.height, 8, color_types[image.channels], PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    rows.resize(image.height);
    for (int y = 0; y < image.height; ++y) {
        rows[y] = const_cast<png_bytep>(image.data.data()) + size_t(y) * image.width * image.channels;
    }
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return "";
}

// ---- JPEG ----

// libjpeg error manager with a jump back to the caller and the last message.
struct JpegError {
    jpeg_error_mgr manager;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

// Fatal libjpeg error: keep the message and unwind.
void jpeg_error_exit(j_common_ptr cinfo) {
    auto *error = reinterpret_cast<JpegError *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, error->message);
    longjmp(error->jump, 1);
}

// libjpeg messages: warnings (level < 0), such as premature end of data, are
// treated as errors; trace messages (level >= 0) are ignored.
void jpeg_emit_message(j_common_ptr cinfo, int level) {
    if (level < 0) jpeg_error_exit(cinfo);
}

// libjpeg would print to stderr; messages are returned instead.
void jpeg_output_message(j_common_ptr) {}

// Installs the error manager on cinfo.
void install_jpeg_errors(jpeg_common_struct *cinfo, JpegError &error) {
    cinfo->err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jpeg_error_exit;
    error.manager.emit_message = jpeg_emit_message;
    error.manager.output_message = jpeg_output_message;
    error.message[0] = '\0';
}

// Decodes an open JPEG file into image (gray stays gray, colour becomes RGB).
std::string load_jpeg(FILE *file, Image &image) {
    jpeg_decompress_struct cinfo;
    JpegError error;
    install_jpeg_errors(reinterpret_cast<jpeg_common_struct *>(&cinfo), error);
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return std::string("corrupt or truncated JPEG: ") + error.message;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK) {
        jpeg_destroy_decompress(&cinfo);
        return "unsupported JPEG colour space: CMYK";
    }
    cinfo.out_color_space = cinfo.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&cinfo);
    const std::string size_error = check_size(cinfo.output_width, cinfo.output_height, cinfo.output_components);
    if (!size_error.empty()) {
        jpeg_destroy_decompress(&cinfo);
        return size_error;
    }
    image.width = int(cinfo.output_width);
    image.height = int(cinfo.output_height);
    image.channels = cinfo.output_components;
    image.data.assign(size_t(image.width) * image.height * image.channels, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = image.data.data() + size_t(cinfo.output_scanline) * image.width * image.channels;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return "";
}

// Encodes a gray or RGB image as JPEG into an open file.
std::string save_jpeg(FILE *file, const Image &image) {
    if (image.channels != 1 && image.channels != 3) return "JPEG output needs a gray or RGB image";
    jpeg_compress_struct cinfo;
    JpegError error;
    install_jpeg_errors(reinterpret_cast<jpeg_common_struct *>(&cinfo), error);
    if (setjmp(error.jump)) {
        jpeg_destroy_compress(&cinfo);
        return std::string("JPEG encoding failed: ") + error.message;
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = JDIMENSION(image.width);
    cinfo.image_height = JDIMENSION(image.height);
    cinfo.input_components = image.channels;
    cinfo.in_color_space = image.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 95, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row =
            const_cast<JSAMPROW>(image.data.data()) + size_t(cinfo.next_scanline) * image.width * image.channels;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return "";
}

// Text of errno for messages.
std::string system_error() { return std::strerror(errno); }

}  // namespace

std::string load(const std::string &path, Image &image) {
    FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) return "cannot open " + path + ": " + system_error();
    unsigned char magic[8] = {0};
    const size_t got = std::fread(magic, 1, sizeof magic, file);
    std::rewind(file);
    std::string error;
    std::string result;
    std::vector<png_bytep> rows;
    if (got == 8 && png_sig_cmp(magic, 0, 8) == 0) {
        result = load_png(file, image, error, rows);
    } else if (got >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF) {
        result = load_jpeg(file, image);
    } else {
        result = "not a PNG or JPEG file";
    }
    std::fclose(file);
    if (!result.empty()) {
        image = Image();
        return path + ": " + result;
    }
    return "";
}

bool has_known_extension(const std::string &path) {
    const std::string ext = extension_of(path);
    return ext == ".png" || ext == ".jpg" || ext == ".jpeg";
}

std::string save(const std::string &path, const Image &image) {
    const std::string ext = extension_of(path);
    if (!has_known_extension(path)) return path + ": unknown output format (use .png, .jpg or .jpeg)";
    if (image.channels < 1 || image.channels > 4) return path + ": unsupported channel count";

    // Temporary file beside the target, keeping its extension: .name.tmp-XXXXXX.ext
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = dir + "." + name.substr(0, name.size() - ext.size()) + ".tmp-XXXXXX" + ext;
    const int fd = mkstemps(&temp[0], int(ext.size()));
    if (fd < 0) return "cannot write " + path + ": " + system_error();
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    FILE *file = fdopen(fd, "wb");
    if (!file) {
        const std::string message = "cannot write " + path + ": " + system_error();
        close(fd);
        unlink(temp.c_str());
        return message;
    }
    std::string error;
    std::vector<png_bytep> rows;
    std::string result = ext == ".png" ? save_png(file, image, error, rows) : save_jpeg(file, image);
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
