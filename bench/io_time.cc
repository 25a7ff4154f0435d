// Times the tool's image I/O alone: load IN, save OUT (default options), in seconds, one line.
// bench/end_to_end.py compiles it against tools/image_io.cc.
#include <chrono>
#include <cstdio>

#include "image_io.h"

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    using Clock = std::chrono::steady_clock;
    image_io::Image image;
    const auto t0 = Clock::now();
    std::string error = image_io::load(argv[1], image);
    const auto t1 = Clock::now();
    if (error.empty()) error = image_io::save(argv[2], image);
    const auto t2 = Clock::now();
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("%.4f %.4f\n", std::chrono::duration<double>(t1 - t0).count(),
                std::chrono::duration<double>(t2 - t1).count());
}
