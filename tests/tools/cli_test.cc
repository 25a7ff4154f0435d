// Catches a command-line tool whose output differs from a direct call of the library or whose
// options do not reach it, and one that fails uncleanly: wrong status, no reason, partial files.
#include <HalideBuffer.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <tuple>

#include "front_end.h"
#include "image_io.h"

namespace {

namespace fs = std::filesystem;
using namespace bilateral;
using Halide::Runtime::Buffer;
using image_io::Image;

const fs::path kDir = fs::temp_directory_path() / ("bilateral-cli-" + std::to_string(::getpid()));
std::string err;  // the last run's stderr

// Runs the tool in the working folder; returns its exit status.
int run(const std::string &args) {
    FILE *pipe = popen((BILATERAL_TOOL " " + args + " 2>&1 >/dev/null").c_str(), "r");
    char chunk[256];
    for (err.clear(); std::fgets(chunk, sizeof chunk, pipe);) err += chunk;
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string read(const std::string &name) {
    std::ifstream file(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

void write(const std::string &name, const std::string &bytes) { std::ofstream(name, std::ios::binary) << bytes; }

// The entry point called directly on planar copies of img (8- or 16-bit); float samples are v/M in
// and clamp(v*M, 0, M) rounded out, M = 255 or 65535.
template <class T>
Image direct(const Image &img, Padding padding, std::vector<float> w, double sigma, double pad = 0) {
    const size_t ch = img.channels, plane = size_t(img.width) * img.height, n = size_t(std::sqrt(double(w.size())));
    const float top = img.depth() == 16 ? 65535 : 255, scale = sample_of<T> == Sample::f32 ? top : 1;
    Buffer<float> weights(w.data(), int(n), int(n));
    Buffer<T> in(ch == 1 ? std::vector<int>{img.width, img.height} : std::vector<int>{img.width, img.height, 3});
    Buffer<T> out = in.copy();
    Image result = img;
    auto filter = [&](auto &samples) {
        for (size_t k = 0; k < samples.size(); ++k) in.begin()[k % ch * plane + k / ch] = T(samples[k] / scale);
        call_entry({ch == 3 ? Layout::rgb : Layout::gray, sample_of<T>, padding}, in, weights, n, sigma, pad, out);
        for (size_t k = 0; k < samples.size(); ++k)
            samples[k] = std::lround(std::clamp(out.begin()[k % ch * plane + k / ch] * scale, 0.f, top));
    };
    img.depth() == 16 ? filter(result.data16) : filter(result.data);
    return result;
}

// Writes img with libtiff in 16 x 16 tiles or 8-row strips; photometric -1: gray or RGB by channels.
void write_tiff(const std::string &name, const Image &img, int compression, bool tiles,
                int format = SAMPLEFORMAT_UINT, int photometric = -1) {
    TIFFSetWarningHandler(nullptr);  // the old Deflate code draws a warning
    TIFF *t = TIFFOpen(name.c_str(), "w");
    const size_t px = img.channels * img.depth() / 8, row = img.width * px;
    const uint16_t map[3 * 256] = {};
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, img.width), TIFFSetField(t, TIFFTAG_IMAGELENGTH, img.height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, img.depth()), TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, img.channels);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric >= 0 ? photometric : img.channels == 3 ? 2 : 1);
    TIFFSetField(t, TIFFTAG_COMPRESSION, compression), TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, format);
    if (photometric == PHOTOMETRIC_PALETTE) TIFFSetField(t, TIFFTAG_COLORMAP, map, map + 256, map + 512);
    TIFFSetField(t, tiles ? TIFFTAG_TILEWIDTH : TIFFTAG_ROWSPERSTRIP, tiles ? 16 : 8);
    if (tiles) TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
    const char *p = img.depth() == 16 ? (const char *)img.data16.data() : (const char *)img.data.data();
    std::vector<char> tile(16 * 16 * px);
    for (int y = 0; y < img.height; y += tiles ? 16 : 1) {
        for (int x = 0; tiles && x < img.width; x += 16) {  // edge tiles padded with zeros
            for (int r = 0; r < 16 && y + r < img.height; ++r)
                std::memcpy(&tile[r * 16 * px], p + (y + r) * row + x * px, std::min(16, img.width - x) * px);
            TIFFWriteTile(t, tile.data(), x, y, 0, 0);
        }
        if (!tiles) TIFFWriteScanline(t, (void *)(p + y * row), y, 0);
    }
    TIFFClose(t);
}

struct CliTest : ::testing::Test {  // in a fresh working folder
    void SetUp() override { fs::create_directories(kDir), fs::current_path(kDir); }
    void TearDown() override { fs::current_path(kDir.parent_path()), fs::remove_all(kDir); }
};

TEST_F(CliTest, ArgumentRowsMatchADirectCallAndErrorRowsLeaveNoFile) {
    const std::vector<float> g5 = gaussian_weights(5, 1), file_weights = {1, 2, 3, .5, 1, 1, 0, 0, 1};
    write("w.txt", "1 2 3\n0.5 1 1\n0 0 1\n");  // file rows are window rows
    fs::create_directories("batch");
    std::mt19937 rng(7);
    for (int ch : {1, 3}) {  // gray, RGB; in a.png with an alpha channel
        Image alpha{41, 29, ch + 1, std::vector<uint8_t>(41 * 29 * (ch + 1)), {}}, img{41, 29, ch, {}, {}};
        for (size_t k = 0; k < alpha.data.size(); ++k) {  // noisy steps: an edge for the range weight, noise to smooth
            alpha.data[k] = uint8_t((k / (ch + 1) % 41 < 20 ? 40 : 190) + rng() % 41);
            if (k % (ch + 1) < size_t(ch)) img.data.push_back(alpha.data[k]);
        }
        Image jpeg, got, img16{41, 29, ch, {}, {}};
        for (uint8_t v : img.data) img16.data16.push_back(uint16_t(v * 257 + rng() % 257));
        ASSERT_EQ(image_io::save("in.png", img) + image_io::save("in.jpg", img) + image_io::save("a.png", alpha), "");
        ASSERT_EQ(image_io::load("in.jpg", jpeg), "");
        png_image png{};  // 16-bit PNG written by libpng, its samples unchanged
        png.version = PNG_IMAGE_VERSION, png.width = 41, png.height = 29;
        png.format = ch == 3 ? PNG_FORMAT_LINEAR_RGB : PNG_FORMAT_LINEAR_Y;
        ASSERT_TRUE(png_image_write_to_file(&png, "i16.png", 0, img16.data16.data(), 0, nullptr));
        write_tiff("l16.tif", img16, COMPRESSION_LZW, true), write_tiff("d16.tif", img16, COMPRESSION_ADOBE_DEFLATE, false);
        write_tiff("z8.tif", img, COMPRESSION_DEFLATE, true);  // the old Deflate code
        const std::tuple<std::string, Image, std::string> rows[] = {  // arguments, expected result, output file
            {"--sigma-spatial 1.5 --sigma-range 30 --padding symmetric --threads 3 in.png o.png",
             direct<uint8_t>(img, Padding::symmetric, gaussian_weights(7, 1.5), 30), "o.png"},
            {"--padding constant --pad-value 200 --window 4 in.png o.png",
             direct<uint8_t>(img, Padding::constant, gaussian_weights(4, 1), 25.5, 200), "o.png"},
            {"--float --padding constant --pad-value 0.5 in.png o.png",
             direct<float>(img, Padding::constant, g5, 0.1, 0.5), "o.png"},
            {"--float --sigma-range 0.3 in.png o.png", direct<float>(img, Padding::replicate, g5, 0.3), "o.png"},
            {"in.jpg o.png", direct<uint8_t>(jpeg, Padding::replicate, g5, 25.5), "o.png"},
            {"--drop-alpha --weights w.txt --sigma-range 40 a.png o.png",
             direct<uint8_t>(img, Padding::replicate, file_weights, 40), "o.png"},
            {"-q -o batch in.jpg in.png", direct<uint8_t>(img, Padding::replicate, g5, 25.5), "batch/in.png"},
            {"i16.png o.png", direct<uint16_t>(img16, Padding::replicate, g5, 6553.5), "o.png"},
            {"--padding constant --pad-value 40000 --sigma-range 3000 l16.tif o.tif",
             direct<uint16_t>(img16, Padding::constant, g5, 3000, 40000), "o.tif"},
            {"--float --padding symmetric d16.tif o.tiff", direct<float>(img16, Padding::symmetric, g5, 0.1), "o.tiff"},
            {"--padding symmetric z8.tif o.tif", direct<uint8_t>(img, Padding::symmetric, g5, 25.5), "o.tif"},
        };
        for (const auto &[args, expected, output] : rows) {
            ASSERT_EQ(run(args), 0) << err;
            ASSERT_EQ(image_io::load(output, got), "");
            EXPECT_TRUE(got.data == expected.data && got.data16 == expected.data16) << ch << ": " << args;
        }
        ASSERT_EQ(run("-q in.png OUT.JPEG"), 0) << err;  // the format follows the extension
        EXPECT_EQ(read("OUT.JPEG").substr(0, 2) + read("o.tif").substr(0, 2), "\xFF\xD8II");
    }

    const std::string png = read("in.png"), jpg = read("in.jpg"), tif = read("d16.tif");
    const Image g8{8, 8, 1, std::vector<uint8_t>(64), {}}, g16{8, 8, 1, {}, std::vector<uint16_t>(64)};
    write_tiff("jpeg.tif", g8, COMPRESSION_JPEG, false), write_tiff("half.tif", g16, 1, false, SAMPLEFORMAT_IEEEFP);
    write_tiff("palette.tif", g8, COMPRESSION_NONE, false, SAMPLEFORMAT_UINT, PHOTOMETRIC_PALETTE);
    // in.png with header bytes replaced from `at` on, the header's checksum recomputed.
    auto patched = [&png](size_t at, const std::string &bytes) {
        std::string p = png.substr(0, at) + bytes + png.substr(at + bytes.size());
        const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(p.data() + 12), 17);
        for (int b = 0; b < 4; ++b) p[29 + b] = char(crc >> (24 - 8 * b));
        return p;
    };
    fs::create_directories("taken.png");
    // Arguments (OUT: out.png and out.jpg, each absent and existing), exit status, message, contents of file f.
    const std::tuple<std::string, int, std::string, std::string> rows[] = {
        {"missing.png OUT", 1, "cannot open missing.png", ""},
        {"f OUT", 1, "not a PNG, TIFF or JPEG", "not an image\n"},
        {"f OUT", 1, "corrupt or truncated PNG", png.substr(0, png.size() / 2)},
        {"f OUT", 1, "corrupt or truncated JPEG", jpg.substr(0, jpg.size() / 2)},  // ends in the pixel data
        {"f OUT", 1, "corrupt or truncated TIFF", tif.substr(0, tif.size() / 2)},
        {"jpeg.tif OUT", 1, "unsupported TIFF compression: JPEG", ""},
        {"half.tif OUT", 1, "unsupported TIFF samples: floating point", ""},
        {"palette.tif OUT", 1, "unsupported TIFF colour model: palette", ""},
        {"i16.png x.jpg", 1, "JPEG output takes 8-bit samples", ""},
        {"f OUT", 1, "too large", patched(16, std::string("\0\1\x86\xA0\0\1\x86\xA0", 8))},  // 100000 x 100000
        {"a.png OUT", 1, "--drop-alpha", ""},
        {"in.png taken.png", 1, "cannot write", ""},
        {"in.png nowhere/out.png", 1, "No such file or directory", ""},
        {"in.png out.bmp", 2, "unknown output format", ""},
        {"--window 0 in.png OUT", 2, "--window must be a positive integer", ""},
        {"--sigma-spatial nan in.png OUT", 2, "--sigma-spatial must be a positive number", ""},
        {"--padding wrap in.png OUT", 2, "--padding must be constant, replicate or symmetric", ""},
        {"--padding constant --pad-value 256 in.png OUT", 1, "within 0..255 for 8-bit", ""},
        {"--pad-value 65536 i16.png OUT", 2, "within 0..65535", ""},
        {"--weights f in.png OUT", 2, "not a square count", "1 1 1 1 1"},
        {"--weights f in.png OUT", 2, "'x' is not a number", "1 1 1 1 x 1 1 1 1"},
    };
    for (const auto &[given, status, message, contents] : rows) {
        write("f", contents);
        for (int k = 0; k < 4; ++k) {
            const std::string target = k % 2 ? "out.jpg" : "out.png";
            std::string args = given;
            if (args.find("OUT") != std::string::npos) args.replace(args.find("OUT"), 3, target);
            SCOPED_TRACE(args + (k >= 2 ? " (existing output)" : ""));
            if (k >= 2) write(target, "previous contents");
            const auto before = std::distance(fs::directory_iterator("."), {});
            EXPECT_EQ(run(args), status);
            EXPECT_NE(err.find(message), std::string::npos) << err;
            EXPECT_EQ(std::distance(fs::directory_iterator("."), {}), before);  // no output, no temporary
            EXPECT_EQ(read(target), k >= 2 ? "previous contents" : "");
            fs::remove(target);
        }
    }
}

}  // namespace

