// Catches a tool whose output differs from a direct library call (rounding, truncation, alpha), that drifts over
// repeated passes, or that fails uncleanly: wrong status, no reason, replaced inputs, files left by an interrupt.
#include <HalideBuffer.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <png.h>
#include <signal.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <sstream>
#include <tuple>

#include "front/defaults.h"
#include "front/joint.h"
#include "front/variants.h"
#include "image_io.h"
#include "hostile_files.h"

namespace {

namespace fs = std::filesystem;
using namespace bilateral::front;
using Halide::Runtime::Buffer;
using image_io::Image;

const fs::path kDir = fs::temp_directory_path() / ("bilateral-cli-" + std::to_string(::getpid()));
const std::string kErrors = kDir.string() + ".stderr";  // beside the working folder, not in it
std::string out, err;                                   // the last run's stdout and stderr

std::string read(const std::string &name) {
    std::ifstream file(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// Runs the tool in the working folder; returns its exit status.
int run(const std::string &args) {
    FILE *pipe = popen((BILATERAL_TOOL " " + args + " 2>" + kErrors).c_str(), "r");
    char chunk[256];
    for (out.clear(); std::fgets(chunk, sizeof chunk, pipe);) out += chunk;
    const int status = pclose(pipe);
    err = read(kErrors);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void write(const std::string &name, const std::string &bytes) { std::ofstream(name, std::ios::binary) << bytes; }

// The colour (or gray) channels of img as planes of type T, each sample divided by `scale`; alpha left out.
template <class T, class S>
Buffer<T> planes_of(const Image &img, const std::vector<S> &samples, float scale) {
    const int ch = img.channels, colour = ch >= 3 ? 3 : 1;
    Buffer<T> b = colour == 1 ? Buffer<T>(img.width, img.height) : Buffer<T>(img.width, img.height, 3);
    b.for_each_element([&](const int *p) {
        b(p) = T(samples[(size_t(p[1]) * img.width + p[0]) * ch + (colour == 3 ? p[2] : 0)] / scale);
    });
    return b;
}

// The entry points called directly on planar copies of img's colour channels, alpha kept: `truncated`
// through the 8- or 16-bit one; `rounded` through the float one on the samples, rounded to nearest
// (ties to even); `scaled` through the float one on v/M, clamp(v*M, 0, M) rounded half away from zero.
// With a guide, the joint entry points on its colour channels as float32, in its own units or (scaled) v/M.
enum Mode { rounded, truncated, scaled };
Image direct(const Image &img, Mode mode, Padding padding, std::vector<float> w, double sigma, double pad = 0,
             const Image *guide = nullptr) {
    const int ch = img.channels, colour = ch >= 3 ? 3 : 1, n = int(std::sqrt(double(w.size())));
    const float top = img.depth() == 16 ? 65535 : 255, scale = mode == scaled ? top : 1;
    Buffer<float> weights(w.data(), n, n);
    const Image &gi = guide != nullptr ? *guide : img;  // float32 guide planes: its samples in their own units
    const float g_top = mode != scaled ? 1 : gi.depth() == 16 ? 65535 : 255;
    Buffer<float> g = gi.depth() == 16 ? planes_of<float>(gi, gi.data16, g_top) : planes_of<float>(gi, gi.data, g_top);
    Image result = img;
    auto filter = [&](auto &samples, auto sample) {  // T: the entry point's sample type
        using T = decltype(sample);
        Buffer<T> in = planes_of<T>(img, samples, scale), out = in.copy();
        const Variant v{colour == 3 ? Layout::rgb : Layout::gray, sample_of<T>, padding};
        guide != nullptr ? call_joint(padding, Rounding::truncate, in, g, weights, n, sigma, pad, out)
                         : call_entry(v, in, weights, n, sigma, pad, out);
        out.for_each_element([&](const int *p) {
            const float v = out(p) * scale;
            samples[(size_t(p[1]) * img.width + p[0]) * ch + (colour == 3 ? p[2] : 0)] =
                std::clamp(mode == rounded ? std::nearbyint(v) : std::round(v), 0.f, top);
        });
    };
    if (mode != truncated) {
        img.depth() == 16 ? filter(result.data16, 0.f) : filter(result.data, 0.f);
    } else {
        img.depth() == 16 ? filter(result.data16, uint16_t()) : filter(result.data, uint8_t());
    }
    return result;
}

// Writes img with libtiff in 16 x 16 tiles or 8-row strips; photometric -1: gray or RGB by channels.
void write_tiff(const std::string &name, const Image &img, int compression, bool tiles, int format = SAMPLEFORMAT_UINT,
                int photometric = -1) {
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
    void TearDown() override { fs::current_path(kDir.parent_path()), fs::remove_all(kDir), fs::remove(kErrors); }
};

TEST_F(CliTest, ArgumentRowsMatchADirectCallAndErrorRowsLeaveNoFile) {
    const std::vector<float> g5 = gaussian_weights(5, 1, WindowShape::disc);
    const std::vector<float> file_weights = {1, 2, 3, .5, 1, 1, 0, 0, 1};
    write("w.txt", "1 2 3\n0.5 1 1\n0 0 1\n");  // file rows are window rows
    fs::create_directories("batch");
    std::mt19937 rng(7);
    Image ga{41, 29, 4, {}, {}}, ga16{41, 29, 2, {}, {}};  // guides with alpha and edges of their own
    for (int k = 0; k < 41 * 29 * 4; ++k) ga.data.push_back(uint8_t((k / 164 < 15 ? 30 : 220) + rng() % 30));
    for (int k = 0; k < 41 * 29 * 2; ++k) ga16.data16.push_back(uint16_t((k / 2 % 41 < 9 ? 5000 : 60000) + rng() % 99));
    ASSERT_EQ(image_io::save("ga.png", ga) + image_io::save("g16.png", ga16), "");
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
        write_tiff("l16.tif", img16, COMPRESSION_LZW, true),
            write_tiff("d16.tif", img16, COMPRESSION_ADOBE_DEFLATE, false);
        write_tiff("z8.tif", img, COMPRESSION_DEFLATE, true);  // the old Deflate code
        fs::copy_file("in.png", "-d.png", fs::copy_options::overwrite_existing);
        // Arguments, expected result, output file, what stderr holds ("": nothing).
        const std::tuple<std::string, Image, std::string, std::string> rows[] = {
            {"--sigma-spatial 1.5 --sigma-range 30 --padding symmetric --threads 3 in.png o.png",
             direct(img, rounded, Padding::symmetric, gaussian_weights(7, 1.5, WindowShape::disc), 30), "o.png", ""},
            {"--truncate --padding constant --pad-value 200 --window 4 --window-shape square in.png o.png",
             direct(img, truncated, Padding::constant, gaussian_weights(4, 1), 25.5, 200), "o.png", "further left"},
            {"--float --padding constant --pad-value 0.5 in.png o.png",
             direct(img, scaled, Padding::constant, g5, 0.1, 0.5), "o.png", ""},
            {"--float --sigma-range 2 in.png o.png", direct(img, scaled, Padding::replicate, g5, 2), "o.png",
             "0..1 units"},
            {"in.jpg o.png", direct(jpeg, rounded, Padding::replicate, g5, 25.5), "o.png", ""},
            {"--drop-alpha --weights w.txt --sigma-range 40 --sigma-spatial 2 a.png o.png",
             direct(img, rounded, Padding::replicate, file_weights, 40), "o.png", "--sigma-spatial has no effect"},
            {"--padding constant --pad-value 99 a.png o.png", direct(alpha, rounded, Padding::constant, g5, 25.5, 99),
             "o.png", ""},
            {"--truncate a.png o.tif", direct(alpha, truncated, Padding::replicate, g5, 25.5), "o.tif", ""},
            {"-q -o batch in.jpg in.png", direct(img, rounded, Padding::replicate, g5, 25.5), "batch/in.png", ""},
            {"--sigma-range 0.5 i16.png o.png", direct(img16, rounded, Padding::replicate, g5, 0.5), "o.png",
             "below one level"},
            {"--truncate --padding constant --pad-value 40000 --sigma-range 3000 l16.tif o.tif",
             direct(img16, truncated, Padding::constant, g5, 3000, 40000), "o.tif", ""},
            {"--float --padding symmetric d16.tif o.tiff", direct(img16, scaled, Padding::symmetric, g5, 0.1), "o.tiff",
             ""},
            {"--padding symmetric z8.tif o.tif", direct(img, rounded, Padding::symmetric, g5, 25.5), "o.tif", ""},
            {"--pad-value 9 -- -d.png o.png", direct(img, rounded, Padding::replicate, g5, 25.5), "o.png",
             "--pad-value has no"},
            {"--guide ga.png --sigma-range 30 --padding symmetric in.png o.png",
             direct(img, rounded, Padding::symmetric, g5, 30, 0, &ga), "o.png", ""},
            {"--truncate --guide g16.png --sigma-range 300 --padding constant --pad-value 99 a.png o.png",
             direct(alpha, truncated, Padding::constant, g5, 300, 99, &ga16), "o.png", ""},  // 300: 16-bit units
            {"--float --guide ga.png i16.png o.png", direct(img16, scaled, Padding::replicate, g5, 0.1, 0, &ga),
             "o.png", ""},
            {"-q -o batch --guide g16.png in.jpg in.png",
             direct(img, rounded, Padding::replicate, g5, 6553.5, 0, &ga16), "batch/in.png", ""},
            {"--guide in.png in.png o.png", direct(img, rounded, Padding::replicate, g5, 25.5), "o.png", ""},
        };
        for (const auto &[args, expected, output, message] : rows) {
            ASSERT_EQ(run(args), 0) << err;
            EXPECT_TRUE(message.empty() ? err.empty() : err.find(message) != std::string::npos) << args << ": " << err;
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
    ASSERT_EQ(image_io::save("wide.png", Image{8001, 1, 1, std::vector<uint8_t>(8001), {}}), "");
    // Arguments (OUT: out.png and out.jpg, each absent and existing), exit status, message, contents of file f.
    const std::tuple<std::string, int, std::string, std::string> rows[] = {
        {"missing.png OUT", 1, "cannot open missing.png", ""},
        {"--guide missing.png in.png OUT", 2, "--guide: cannot open missing.png", ""},
        {"--guide wide.png in.png OUT", 1, "in.png: 41x29, but the guide wide.png is 8001x1; a guide must have", ""},
        {"f OUT", 1, "not a PNG, TIFF or JPEG", "not an image\n"},
        {"batch OUT", 1, "bilateral: batch: is a folder\n", ""},
        {"f OUT", 1, "corrupt or truncated PNG", png.substr(0, png.size() / 2)},
        {"f OUT", 1, "corrupt or truncated JPEG", jpg.substr(0, jpg.size() / 2)},  // ends in the pixel data
        {"f OUT", 1, "corrupt or truncated TIFF", tif.substr(0, tif.size() / 2)},
        {"jpeg.tif OUT", 1, "unsupported TIFF compression: JPEG", ""},
        {"half.tif OUT", 1, "unsupported TIFF samples: floating point", ""},
        {"palette.tif OUT", 1, "unsupported TIFF colour model: palette", ""},
        {"i16.png x.jpg", 1, "JPEG output takes 8-bit samples", ""},
        {"f OUT", 1, "too large", patched(16, std::string("\0\1\x86\xA0\0\1\x86\xA0", 8))},  // 100000 x 100000
        {"a.png x.jpg", 1, "JPEG cannot hold its alpha channel; use --drop-alpha", ""},
        {"in.png taken.png", 1, "cannot write", ""},
        {"in.png nowhere/out.png", 1, "No such file or directory", ""},
        {"in.png out.bmp", 2, "unknown output format", ""},
        {"--window 0 in.png OUT", 2, "--window must be a positive integer", ""},
        {"--sigma-spatial nan in.png OUT", 2, "--sigma-spatial must be a positive number", ""},
        {"--padding wrap in.png OUT", 2, "--padding must be constant, replicate or symmetric", ""},
        {"--window-shape circle in.png OUT", 2, "--window-shape must be disc or square", ""},
        {"--threads 257 in.png OUT", 2, "--threads must be within 1..256", ""},
        {"--padding constant --pad-value 256 in.png OUT", 1, "within 0..255 for 8-bit", ""},
        {"--pad-value 65536 i16.png OUT", 2, "within 0..65535", ""},
        {"--weights f in.png OUT", 2, "not a square count", "1 1 1 1 1"},
        {"--weights f in.png OUT", 2, "'x' is not a number", "1 1 1 1 x 1 1 1 1"},
        {"--weights f in.png OUT", 2, "sum to zero", "0 0 0 0"},
        {"--weights f in.png OUT", 2, "must not be negative (-1)", "1 -1 1 1"},
        {"--weights f in.png OUT", 2, "finite float32 values, not inf", "1 1e39 1 1"},
        {"--weights f in.png OUT", 2, "too large", "3e38 1 1 1"},
        {"--sigma-range 1e-30 in.png OUT", 2, "--sigma-range: the range sigma 1e-30 is too small", ""},
        {"", 2, "bilateral --demo", ""},
        {"--window 100000 in.png OUT", 2, "37.3 GiB for its weights alone", ""},
        {"--sigma-spatial 1e9 in.png OUT", 2, "for its weights alone", ""},
        {"--window 84 in.png OUT", 1, "at most 2*max(width, height)+1 = 83", ""},
        {"--window 16001 --threads 16 wide.png OUT", 1, "would need about", ""},
        {"--quality 0 in.png OUT", 2, "--quality must be within 1..100", ""},
        {"--subsampling 411 in.png OUT", 2, "--subsampling must be 444, 422 or 420", ""},
        {"--png-compression 10 in.png OUT", 2, "--png-compression must be within 0..9", ""},
        {"in.png in.png", 2, "would replace the input in.png (use --force", ""},
        {"-o . a.png in.png", 2, "would replace the input", ""},
        {"-o batch in.png batch/in.png", 2, "two outputs would be batch/in.png", ""},
        {"-o f in.png", 2, "-o f: not a folder", "a file"},
        {"-o new --weights f in.png", 2, "sum to zero", "0 0 0 0"},  // refused before the folder is made
        {"--max-pixels 1188 in.png OUT", 1, "41x29 is 1189 pixels, more than the limit of 1188 (--max-pixels", ""},
        {"--max-pixels 1.5 in.png OUT", 2, "--max-pixels must be a whole number of pixels", ""},
        // Outputs that would be one file, existing or not: spelt apart, in a folder not made yet, through a link.
        {"in.png new.png --compare ./new.png", 2, "two outputs would be ./new.png (as new.png)", ""},
        {"-o ./batch a.png --compare batch//a.png", 2, "two outputs would be batch//a.png", ""},
        {"-o new in.png --compare new/../new/in.png", 2, "two outputs would be new/../new/in.png", ""},
        {"in.png link.png --compare linked.png", 2, "two outputs would be linked.png (as link.png)", ""},
        {"--weights w.png in.png ./w.png", 2, "output ./w.png would replace the input w.png", ""},
    };
    fs::create_symlink("linked.png", "link.png");
    write("w.png", "1");
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

// Exact stdout and stderr: a line for every file written, a missing -o folder made with its parents, and the
// even window's note only once a run goes ahead, once.
TEST_F(CliTest, ReportsEachFileWrittenAndNotesOnlyRunsThatGoAhead) {
    const Image img{12, 10, 3, std::vector<uint8_t>(12 * 10 * 3, 77), {}};
    ASSERT_EQ(image_io::save("in.png", img) + image_io::save("in.jpg", img), "");
    const std::string note = "note: an even window (4) reaches one position further left and up\n";
    // Arguments, exit status, stdout, stderr.
    const std::tuple<std::string, int, std::string, std::string> rows[] = {
        {"--compare c.png in.png o.png", 0, "wrote o.png\nwrote c.png\n", ""},
        {"-o made/deeper/ in.png in.jpg", 0,
         "wrote made/deeper/in.png\nwrote made/deeper/in.jpg\n2 of 2 files filtered into made/deeper/\n", ""},
        {"--window 4 -o made in.png in.jpg", 0,
         "wrote made/in.png\nwrote made/in.jpg\n2 of 2 files filtered into made\n", note},
        {"--window 4 --padding constant --pad-value 300 in.png o.png", 1, "",
         "bilateral: in.png: the pad value must be within 0..255 for 8-bit samples, not 300\n"},
    };
    for (const auto &[args, status, expected_out, expected_err] : rows) {
        EXPECT_EQ(run(args), status) << args;
        EXPECT_EQ(out, expected_out) << args;
        EXPECT_EQ(err, expected_err) << args;
    }
}

// A description that holds a full stop, and every paragraph of prose, ends a sentence: a line lost from the
// usage text would leave one cut off in --help and in the manual page made from it.
TEST_F(CliTest, HelpEndsEverySentence) {
    ASSERT_EQ(run("--help"), 0);
    std::vector<std::string> blocks(1);  // paragraphs and option entries
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line.rfind("  -", 0) == 0) blocks.emplace_back();
        blocks.back() += line.empty() ? "" : line + " ";
    }
    for (const std::string &block : blocks) {  // each ends in the space added after its last line
        const bool option = block.rfind("  -", 0) == 0;
        if (block.empty() || (option && block.find(". ") == std::string::npos)) continue;
        const char last = block[block.size() - 2];
        EXPECT_TRUE(last == '.' || last == ':') << block;
    }
}

TEST_F(CliTest, TenRoundedPassesKeepTheMeanFlatAreasAndWhite) {
    // Photograph-like: a noisy gradient, a flat block of 200 and pure white reaching the right edge.
    const int w = 192, h = 128;
    Image img{w, h, 3, {}, {}};
    std::mt19937 rng(5);
    std::normal_distribution<double> grain(0, 4);
    auto inside = [](int x, int y, int x0, int x1) { return x >= x0 && x < x1 && y >= 30 && y < 90; };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * 3; ++x) {
            const double v = inside(x / 3, y, 40, 100)  ? 200
                             : inside(x / 3, y, 120, w) ? 255
                                                        : 30 + 0.6 * x / 3 + 0.4 * y + 20 * (x % 3) + grain(rng);
            img.data.push_back(uint8_t(std::clamp(std::round(v), 0.0, 255.0)));
        }
    ASSERT_EQ(image_io::save("p0.png", img), "");
    for (int pass = 1; pass <= 10; ++pass)
        ASSERT_EQ(run("p" + std::to_string(pass - 1) + ".png p" + std::to_string(pass) + ".png"), 0) << err;
    Image out;
    ASSERT_EQ(image_io::load("p10.png", out), "");
    auto mean = [](const Image &i) { return std::accumulate(i.data.begin(), i.data.end(), 0.0) / i.data.size(); };
    EXPECT_NEAR(mean(out), mean(img), 0.05);
    int changed = 0;  // ten passes reach 20 pixels into a block
    for (int y = 50; y < 70; ++y)
        for (int x = 0; x < w * 3; ++x)
            changed += (inside(x / 3, y, 60, 80) || inside(x / 3, y, 140, w)) &&
                       out.data[y * w * 3 + x] != img.data[y * w * 3 + x];
    EXPECT_EQ(changed, 0);
}

// SIGQUIT as well as SIGINT: the temporary is removed and the tool dies of the signal (without a core file).
TEST_F(CliTest, InterruptWhileWritingLeavesNoTemporaryAndTheTargetUntouched) {
    for (int sig : {SIGINT, SIGQUIT}) {
        SCOPED_TRACE(strsignal(sig));
        bool caught = false;
        for (int side = 2048; side <= 8192 && !caught; side *= 2) {  // a bigger picture when the tool finished first
            Image noise{side, side, 1, std::vector<uint8_t>(size_t(side) * side), {}};
            std::generate(noise.data.begin(), noise.data.end(), std::mt19937(3));
            ASSERT_EQ(image_io::save("big.jpg", noise), "");
            write("out.png", "previous contents");
            const pid_t pid = fork();
            if (pid == 0) {
                const rlimit no_core{0, 0};
                setrlimit(RLIMIT_CORE, &no_core);
                execl(BILATERAL_TOOL, BILATERAL_TOOL, "--window", "1", "--png-compression", "9", "big.jpg", "out.png",
                      nullptr);
                _exit(127);
            }
            auto temporaries = [] {
                int n = 0;
                for (const auto &e : fs::directory_iterator("."))
                    n += e.path().filename().string().rfind(".out.tmp-", 0) == 0;
                return n;
            };
            int status = 0;
            bool sent = false;
            while (!sent && waitpid(pid, &status, WNOHANG) == 0) {
                if ((sent = temporaries() > 0)) kill(pid, sig), waitpid(pid, &status, 0);
                usleep(500);
            }
            if (!sent || read("out.png") != "previous contents") continue;  // renamed before the signal came
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
            EXPECT_EQ(temporaries(), 0);
            caught = true;
        }
        if (!caught) GTEST_SKIP() << "the tool finished writing each picture before it could be interrupted";
    }
}

// Files declaring far more than they hold are refused before anything is allocated for them, under an
// address-space limit the declared sizes would break; a batch goes on past them and says that some failed.
// Without a pixel limit, memory is what refuses them.
TEST_F(CliTest, HostileFilesAreRefusedAndTheBatchGoesOn) {
    const Image img{12, 10, 3, std::vector<uint8_t>(12 * 10 * 3, 77), {}};
    ASSERT_EQ(image_io::save("in.jpg", img), "");
    const std::string pixel_limit = "more than the limit of 178956970 (--max-pixels raises it)";
    // Contents, then what -o batch says of the file with the default limit, and with --max-pixels 0.
    const std::tuple<std::string, std::string, std::string> files[] = {
        {hostile::gray_tiff(16, 16, 8, 0x7FFFFFF0, 16), "TIFF tiles of 2147483632x16 cover", "not enough memory"},
        {hostile::gray_tiff(1, 1, 8, 1 << 26, 16), "67108864x16 pixels, " + pixel_limit, "not enough memory"},
        {hostile::gray_tiff(65535, 32767, 16), "2147385345 pixels, " + pixel_limit, "not enough memory"},
        {hostile::png(10000, 10000, 16, 6), "bytes cannot hold 10000x10000 pixels", "cannot hold"},
        {hostile::png(46340, 46340, 16, 0), pixel_limit, "not enough memory"},
        {hostile::jpeg_sized(read("in.jpg"), 20000, 20000), pixel_limit, "not enough memory"},
    };
    std::string names;
    for (size_t k = 0; k < std::size(files); ++k) {
        write("h" + std::to_string(k) + ".png", std::get<0>(files[k]));
        names += " h" + std::to_string(k) + ".png";
    }
    rlimit was{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &was), 0);
    rlimit low = was;
    low.rlim_cur = rlim_t(1) << 30;
    for (const char *limit : {"", "--max-pixels 0 "}) {
        SCOPED_TRACE(limit);
        ASSERT_EQ(setrlimit(RLIMIT_AS, &low), 0);
        const int status = run(std::string(limit) + "-o batch" + names + " in.jpg");
        setrlimit(RLIMIT_AS, &was);
        EXPECT_EQ(status, 1);
        for (size_t k = 0; k < std::size(files); ++k) {  // the file's line holds the reason
            const size_t at = err.find("bilateral: h" + std::to_string(k) + ".png: ");
            const std::string line = at == std::string::npos ? "" : err.substr(at, err.find('\n', at) - at);
            EXPECT_NE(line.find(*limit ? std::get<2>(files[k]) : std::get<1>(files[k])), std::string::npos) << err;
        }
        EXPECT_NE(out.find("wrote batch/in.jpg\n1 of 7 files filtered into batch, 6 failed"), std::string::npos) << out;
        fs::remove_all("batch");
    }
}

// Memory is judged against what this process may still take (here its address-space limit), not against
// the machine's total.
TEST_F(CliTest, RefusesWhatTheAddressSpaceLimitCannotHold) {
    ASSERT_EQ(image_io::save("sq.png", Image{2001, 2001, 1, std::vector<uint8_t>(2001 * 2001), {}}), "");
    rlimit was{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &was), 0);
    rlimit low = was;
    low.rlim_cur = rlim_t(3) << 30;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &low), 0);
    const int status = run("--window 4001 --threads 4 sq.png o.png");  // about 1.3 GiB of scratch a worker
    setrlimit(RLIMIT_AS, &was);
    EXPECT_EQ(status, 1);
    EXPECT_NE(err.find("would need about"), std::string::npos) << err;
}

}  // namespace
