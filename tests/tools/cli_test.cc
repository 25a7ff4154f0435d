// Drives the bilateral command-line tool: its outputs must equal direct calls
// of the library, and every bad input must fail cleanly without touching the
// output file.
#include <HalideBuffer.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "bilateral_filter.h"
#include "image_io.h"

namespace {

namespace fs = std::filesystem;
using Halide::Runtime::Buffer;
using image_io::Image;

// A fresh working folder per test.
class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("bilateral-cli-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the tool in the working folder; returns its exit status, stderr in err_.
    int run(const std::string &args) {
        const std::string command =
            "cd '" + dir_.string() + "' && " BILATERAL_TOOL " " + args + " >stdout.txt 2>stderr.txt";
        const int status = std::system(command.c_str());
        std::ifstream file(dir_ / "stderr.txt");
        err_.assign(std::istreambuf_iterator<char>(file), {});
        fs::remove(dir_ / "stdout.txt");
        fs::remove(dir_ / "stderr.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string path(const std::string &name) const { return (dir_ / name).string(); }

    // Writes bytes to a file in the working folder.
    void write_file(const std::string &name, const std::string &bytes) {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }

    std::string read_file(const std::string &name) const {
        std::ifstream file(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    fs::path dir_;
    std::string err_;
};

// Noisy steps and a gradient: edges for the range weight, noise to smooth.
Image make_image(int width, int height, int channels) {
    Image img{width, height, channels, std::vector<uint8_t>(size_t(width) * height * channels)};
    std::mt19937 rng(7);
    for (size_t k = 0; k < img.data.size(); ++k) {
        const int x = int(k / channels) % width, c = int(k % channels);
        img.data[k] = uint8_t(std::clamp((x < width / 2 ? 40 : 190) + 9 * c + int(rng() % 41) - 20, 0, 255));
    }
    return img;
}

// Gaussian spatial weights for sigma s over an n x n window.
Buffer<float> gaussian(int n, double s) {
    Buffer<float> w(n, n);
    w.for_each_element([&](int i, int j) {
        const double di = i - n / 2, dj = j - n / 2;
        w(i, j) = float(std::exp(-(di * di + dj * dj) / (2 * s * s)));
    });
    return w;
}

// The library called directly on img, as the tests use it: 8-bit replicate
// ('r') or symmetric ('s'), or float constant ('c') with v/255 in
// and rounded clamp(v*255) out.
Image library_result(const Image &img, Buffer<float> weights, double sigma, char padding, double pad = 0) {
    const bool use_float = padding == 'c';
    const int w = img.width, h = img.height, ch = img.channels;
    auto planar = [&](auto v) { return ch == 1 ? Buffer<decltype(v)>(w, h) : Buffer<decltype(v)>(w, h, ch); };
    Buffer<float> fin = planar(0.0f), fout = planar(0.0f);
    Buffer<uint8_t> in = planar(uint8_t(0)), out = planar(uint8_t(0));
    for (size_t k = 0; k < img.data.size(); ++k) {
        const size_t p = (k % ch) * size_t(w) * h + k / ch;
        in.begin()[p] = img.data[k];
        fin.begin()[p] = img.data[k] / 255.0f;
    }
    const double n = weights.width();
    if (padding == 'r')
        (ch == 1 ? BilateralFilter_gray_uint8_replicate : BilateralFilter_RGB_uint8_replicate)(in, weights, n, sigma,
                                                                                               out);
    if (padding == 's')
        (ch == 1 ? BilateralFilter_gray_uint8_symmetric : BilateralFilter_RGB_uint8_symmetric)(in, weights, n, sigma,
                                                                                               out);
    if (padding == 'c')
        (ch == 1 ? BilateralFilter_gray_single_constant : BilateralFilter_RGB_single_constant)(fin, weights, n, sigma,
                                                                                               pad, fout);
    Image result = img;
    for (size_t k = 0; k < img.data.size(); ++k) {
        const size_t p = (k % ch) * size_t(w) * h + k / ch;
        result.data[k] =
            use_float ? uint8_t(std::lround(std::clamp(fout.begin()[p] * 255.0f, 0.0f, 255.0f))) : out.begin()[p];
    }
    return result;
}

// Loads a file the test expects to be a valid image.
Image load_ok(const std::string &file) {
    Image img;
    const std::string error = image_io::load(file, img);
    EXPECT_EQ(error, "");
    return img;
}

// A PNG with a header and an empty data chunk: enough for the loader to judge
// depth and size.
std::string png_header_only(uint32_t width, uint32_t height, int depth, int color_type) {
    auto be32 = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    auto chunk = [&](const std::string &type, const std::string &body) {
        const std::string data = type + body;
        return be32(uint32_t(body.size())) + data +
               be32(uint32_t(crc32(0, reinterpret_cast<const Bytef *>(data.data()), uInt(data.size()))));
    };
    const std::string ihdr = be32(width) + be32(height) + char(depth) + char(color_type) + std::string(3, '\0');
    return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", "") + chunk("IEND", "");
}

TEST_F(CliTest, OutputsEqualTheLibrary) {
    for (int channels : {1, 3}) {
        SCOPED_TRACE(channels);
        const Image img = make_image(41, 29, channels);
        ASSERT_EQ(image_io::save(path("in.png"), img), "");
        ASSERT_EQ(image_io::save(path("in.jpg"), img), "");
        const Image decoded_jpeg = load_ok(path("in.jpg"));

        // PNG in, PNG out: the 8-bit entry point's result exactly.
        ASSERT_EQ(run("--sigma-spatial 1.5 --sigma-range 30 --padding symmetric --threads 3 in.png out.png"), 0)
            << err_;
        EXPECT_EQ(load_ok(path("out.png")).data, library_result(img, gaussian(7, 1.5), 30, 's').data);

        // JPEG in: the decoded samples are what gets filtered; defaults throughout.
        ASSERT_EQ(run("in.jpg out.png"), 0) << err_;
        EXPECT_EQ(load_ok(path("out.png")).data, library_result(decoded_jpeg, gaussian(5, 1), 25.5, 'r').data);

        // JPEG out decodes to the same shape.
        ASSERT_EQ(run("-q in.png OUT.JPEG"), 0) << err_;
        const Image jpeg_out = load_ok(path("OUT.JPEG"));
        EXPECT_EQ(jpeg_out.width, 41);
        EXPECT_EQ(jpeg_out.channels, channels);

        // Float filtering with constant padding in [0, 1] units.
        ASSERT_EQ(run("--float --padding constant --pad-value 0.5 in.png out.png"), 0) << err_;
        EXPECT_EQ(load_ok(path("out.png")).data, library_result(img, gaussian(5, 1), 0.1, 'c', 0.5).data);
    }
}

TEST_F(CliTest, WeightsFileEvenWindowAlphaAndCompare) {
    const Image rgb = make_image(23, 17, 3);
    Image rgba{23, 17, 4, {}};
    for (size_t p = 0; p < rgb.data.size(); p += 3) {
        rgba.data.insert(rgba.data.end(), rgb.data.begin() + p, rgb.data.begin() + p + 3);
        rgba.data.push_back(uint8_t(p));
    }
    ASSERT_EQ(image_io::save(path("rgba.png"), rgba), "");

    // A 4 x 4 weights file: rows of the file are window rows.
    write_file("w.txt", "1 2 3 4\n0.5 1 1 0.5\n0 0 1 0\n2 2 2 2\n");
    Buffer<float> weights(4, 4);
    const float values[16] = {1, 2, 3, 4, 0.5f, 1, 1, 0.5f, 0, 0, 1, 0, 2, 2, 2, 2};
    weights.for_each_element([&](int i, int j) { weights(i, j) = values[j * 4 + i]; });
    ASSERT_EQ(run("--drop-alpha --weights w.txt --sigma-range 40 --compare cmp.png rgba.png out.png"), 0) << err_;
    EXPECT_NE(err_.find("even window (4)"), std::string::npos) << err_;
    const Image expected = library_result(rgb, weights, 40, 'r');
    EXPECT_EQ(load_ok(path("out.png")).data, expected.data);

    const Image cmp = load_ok(path("cmp.png"));
    ASSERT_EQ(cmp.width, 46);
    for (int y = 0; y < 17; ++y) {
        const auto row = cmp.data.begin() + y * 46 * 3;
        EXPECT_TRUE(std::equal(row, row + 69, rgb.data.begin() + y * 69));
        EXPECT_TRUE(std::equal(row + 69, row + 138, expected.data.begin() + y * 69));
    }
}

TEST_F(CliTest, DemoAndSeveralInputs) {
    fs::create_directories(dir_ / "demo");
    ASSERT_EQ(run("-o demo"), 0) << err_;
    EXPECT_EQ(load_ok(path("demo/bilateral-demo-compare.png")).width, 1280);
    const Image demo_in = load_ok(path("demo/bilateral-demo-input.png"));
    EXPECT_EQ(load_ok(path("demo/bilateral-demo-output.png")).data,
              library_result(demo_in, gaussian(5, 1), 25.5, 'r').data);

    fs::copy_file(path("demo/bilateral-demo-input.png"), path("a.png"));
    ASSERT_EQ(image_io::save(path("b.jpg"), make_image(8, 8, 1)), "");
    fs::create_directories(dir_ / "batch");
    ASSERT_EQ(run("-q -o batch a.png b.jpg"), 0) << err_;
    EXPECT_EQ(load_ok(path("batch/a.png")).data, load_ok(path("demo/bilateral-demo-output.png")).data);
    EXPECT_EQ(load_ok(path("batch/b.jpg")).channels, 1);
}

TEST_F(CliTest, BadInputFailsWithoutTouchingTheOutput) {
    ASSERT_EQ(image_io::save(path("good.png"), make_image(20, 20, 3)), "");
    ASSERT_EQ(image_io::save(path("good.jpg"), make_image(200, 200, 3)), "");  // half of it ends in pixel data
    ASSERT_EQ(image_io::save(path("alpha.png"), make_image(20, 20, 4)), "");
    const std::string png = read_file("good.png"), jpg = read_file("good.jpg");
    write_file("half.png", png.substr(0, png.size() / 2));
    write_file("half.jpg", jpg.substr(0, jpg.size() / 2));
    write_file("text.png", "not an image\n");
    write_file("deep.png", png_header_only(20, 20, 16, 2));
    write_file("huge.png", png_header_only(100000, 100000, 8, 2));
    write_file("five.txt", "1 1 1 1 1");
    write_file("words.txt", "1 1 1 1 x 1 1 1 1");

    const struct {
        std::string args, message;
    } cases[] = {
        {"missing.png", "cannot open missing.png"},
        {"text.png", "not a PNG or JPEG"},
        {"half.png", "corrupt or truncated PNG"},
        {"half.jpg", "corrupt or truncated JPEG"},
        {"deep.png", "16-bit"},
        {"alpha.png", "--drop-alpha"},
        {"huge.png", "too large"},
        {"--window 0 good.png", "--window must be a positive integer"},
        {"--window -3 good.png", "--window must be a positive integer"},
        {"--sigma-spatial 0 good.png", "--sigma-spatial must be a positive number"},
        {"--sigma-spatial nan good.png", "--sigma-spatial must be a positive number"},
        {"--sigma-range -1 good.png", "--sigma-range must be a positive number"},
        {"--sigma-range nan good.png", "--sigma-range must be a positive number"},
        {"--weights five.txt good.png", "not a square count"},
        {"--weights words.txt good.png", "'x' is not a number"},
        {"--padding constant --pad-value 256 good.png", "within 0..255"},
    };
    for (const auto &c : cases) {
        for (const std::string target : {"out.png", "out.jpg"}) {
            SCOPED_TRACE(c.args + " -> " + target);
            for (bool existing : {false, true}) {
                if (existing) write_file(target, "previous contents");
                const auto before = std::distance(fs::directory_iterator(dir_), {});
                EXPECT_NE(run(c.args + " " + target), 0);
                EXPECT_NE(err_.find(c.message), std::string::npos) << err_;
                EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), before);  // no temporary left
                if (existing)
                    EXPECT_EQ(read_file(target), "previous contents");
                else
                    EXPECT_FALSE(fs::exists(path(target)));
                fs::remove(path(target));
            }
        }
    }
    // Output problems: a missing folder, a target that cannot be replaced, an unknown extension.
    fs::create_directories(dir_ / "taken.png");
    const auto before = std::distance(fs::directory_iterator(dir_), {});
    EXPECT_NE(run("good.png taken.png"), 0);
    EXPECT_NE(err_.find("cannot write"), std::string::npos) << err_;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), before);
    EXPECT_NE(run("good.png nowhere/out.png"), 0);
    EXPECT_NE(err_.find("No such file or directory"), std::string::npos) << err_;
    EXPECT_NE(run("good.png out.bmp"), 0);
    EXPECT_NE(err_.find("unknown output format"), std::string::npos) << err_;
    EXPECT_FALSE(fs::exists(path("out.bmp")));
}

}  // namespace
