// Catches image readers that crash, leak, read out of bounds or allocate for what a file merely declares, and
// writers whose output does not read back: the bytes are a file, loaded with a budget of 2^20 pixels; an image
// that loads is written as PNG, TIFF and JPEG (8-bit, alpha dropped), and each must load again with the same
// shape, PNG and TIFF with the same samples, TIFF and JPEG with the same profile.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "image_io.h"

namespace {

using image_io::Image;

// Files go to memory when the system has a memory file system: saves end with fsync.
const std::string kBase =
    (std::filesystem::is_directory("/dev/shm") ? std::string("/dev/shm")
                                               : std::filesystem::temp_directory_path().string()) +
    "/bilateral-fuzz-io-" + std::to_string(getpid());

struct RemoveInput {
    ~RemoveInput() { std::remove((kBase + ".in").c_str()); }
} remove_input;

void check(bool ok, const std::string &what) {
    if (ok) return;
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

// img as JPEG takes it: alpha dropped, 16-bit samples cut to their high byte.
Image for_jpeg(const Image &img) {
    Image out = img;
    out.channels = img.channels == 2 || img.channels == 4 ? img.channels - 1 : img.channels;
    out.data.resize(size_t(img.width) * img.height * out.channels);
    out.data16.clear();
    for (size_t p = 0; p < size_t(img.width) * img.height; ++p)
        for (int c = 0; c < out.channels; ++c) {
            const size_t from = p * img.channels + c;
            out.data[p * out.channels + c] = img.depth() == 16 ? uint8_t(img.data16[from] >> 8) : img.data[from];
        }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input = kBase + ".in";
    FILE *file = std::fopen(input.c_str(), "wb");
    check(file != nullptr && std::fwrite(data, 1, size, file) == size && std::fclose(file) == 0,
          "cannot write " + input);
    std::vector<std::string> warnings;
    const image_io::LoadOptions load{uint64_t(1) << 20, &warnings};
    Image img;
    if (!image_io::load(input, img, load).empty()) return 0;
    image_io::SaveOptions save;
    save.threads = 1;
    save.warnings = &warnings;
    for (const char *ext : {".png", ".tif", ".jpg"}) {
        const bool jpeg = ext == std::string(".jpg");
        if (jpeg && (img.width > 65500 || img.height > 65500)) continue;  // beyond JPEG's dimensions
        const Image out = jpeg ? for_jpeg(img) : img;
        const std::string path = kBase + ext;
        std::string error = image_io::save(path, out, save);
        check(error.empty(), "saving what was read failed: " + error);
        Image back;
        error = image_io::load(path, back, load);
        std::remove(path.c_str());
        check(error.empty(), "reading what was written failed: " + error);
        check(back.width == out.width && back.height == out.height && back.channels == out.channels &&
                  back.depth() == out.depth(),
              std::string(ext) + ": another shape read back");
        check(jpeg || (back.data == out.data && back.data16 == out.data16),
              std::string(ext) + ": other samples read back");
        const bool icc_written = out.metadata.icc.size() <= image_io::kMaxIccBytes;
        check(ext[1] == 'p' || back.metadata.icc == (icc_written ? out.metadata.icc : std::vector<uint8_t>()),
              std::string(ext) + ": another profile read back");
    }
    return 0;
}
