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
    int runs = 0;
    for (int a = 1; a < argc; ++a) {
        std::vector<std::filesystem::path> files = {argv[a]};
        if (std::filesystem::is_directory(argv[a])) files.assign(std::filesystem::directory_iterator(argv[a]), {});
        for (const auto &file : files) {
            std::ifstream in(file, std::ios::binary);
            if (!in) return std::fprintf(stderr, "cannot read %s\n", file.c_str()), 1;
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            runs += LLVMFuzzerTestOneInput(bytes.data(), bytes.size()) == 0;
        }
    }
    std::printf("%d inputs replayed\n", runs);
    return runs > 0 ? 0 : 1;
}
