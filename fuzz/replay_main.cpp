// Runs a fuzz target over every file of the folders (or the files) named on the command
// line, so that past findings are replayed by the ordinary test suite.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

static int runFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 1;
}

int main(int argc, char** argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        fs::path p(argv[i]);
        std::error_code ec;
        if (fs::is_directory(p, ec)) {
            for (const auto& entry : fs::directory_iterator(p))
                if (entry.is_regular_file()) count += runFile(entry.path());
        } else if (fs::exists(p, ec)) {
            count += runFile(p);
        }
    }
    // Written after the target ran, which may have sent its own output elsewhere.
    fprintf(stderr, "replayed %d inputs\n", count);
    return 0;
}
