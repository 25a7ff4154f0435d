// Writes Halide's standalone runtime as one object file for the given target.
// Usage: bf_runtime_generator OUTPUT.o TARGET   (e.g. x86-64-linux)
#include <Halide.h>

#include <cstdio>
#include <exception>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUTPUT.o TARGET\n", argv[0]);
        return 2;
    }
    try {
        Halide::compile_standalone_runtime(argv[1], Halide::Target(argv[2]));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    return 0;
}
