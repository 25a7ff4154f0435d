// Times the tool's image I/O alone: load IN, save OUT (default options; JPEG chroma subsampling
// SUBSAMPLING if given), in seconds, one line.
// bench/end_to_end.py compiles it against tools/image_io.cc.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "image_io.h"

int main(int argc, char **argv) {
    if (argc != 3 && argc != 4) return 2;
    image_io::SaveOptions options;
    if (argc == 4) options.jpeg_subsampling = std::atoi(argv[3]);
    using Clock = std::chrono::steady_clock;
    image_io::Image image;
    const auto t0 = Clock::now();
    std::string error = image_io::load(argv[1], image);
    const auto t1 = Clock::now();
    if (error.empty()) error = image_io::save(argv[2], image, options);
    const auto t2 = Clock::now();
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("%.4f %.4f\n", std::chrono::duration<double>(t1 - t0).count(),
                std::chrono::duration<double>(t2 - t1).count());
}
