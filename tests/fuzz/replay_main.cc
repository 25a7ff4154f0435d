// Replays fuzz inputs through the fuzz target without libFuzzer, so that every build (any compiler)
// runs the committed corpus: the arguments are files or directories of files.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    namespace fs = std::filesystem;
    int runs = 0;
    for (int a = 1; a < argc; ++a) {
        std::vector<fs::path> files = {argv[a]};
        if (fs::is_directory(argv[a])) files.assign(fs::directory_iterator(argv[a]), fs::directory_iterator());
        for (const fs::path &file : files) {
            std::ifstream in(file, std::ios::binary);
            if (!in) return std::fprintf(stderr, "cannot read %s\n", file.c_str()), 1;
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            runs += LLVMFuzzerTestOneInput(bytes.data(), bytes.size()) == 0;
        }
    }
    std::printf("%d inputs replayed\n", runs);
    return runs > 0 ? 0 : 1;
}
