// Runs a fuzz target over saved inputs without libFuzzer, so that any compiler can
// replay the seed corpora and the crash inputs kept beside them.
// Usage: replay_<target> FILE_OR_DIRECTORY...
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path given = argv[i];
        std::error_code ec;
        if (fs::is_directory(given, ec)) {
            for (const auto& entry : fs::recursive_directory_iterator(given))
                if (entry.is_regular_file())
                    inputs.push_back(entry.path());
        } else if (fs::is_regular_file(given, ec)) {
            inputs.push_back(given);
        } else {
            std::fprintf(stderr, "%s: no such file or directory\n", argv[i]);
            return 2;
        }
    }
    // A corpus that went missing must not pass as a corpus without findings.
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs found\n");
        return 2;
    }
    std::sort(inputs.begin(), inputs.end());

    LLVMFuzzerInitialize(&argc, &argv);
    for (const auto& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "%s: cannot be read\n", path.c_str());
            return 2;
        }
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // Named before it runs, so that a crash points at its input.
        std::fprintf(stderr, "replay %s (%zu bytes)\n", path.c_str(), bytes.size());
        // Like libFuzzer, never hand over a null pointer, not even for an empty input.
        static const std::uint8_t empty = 0;
        const std::uint8_t* data = bytes.empty() ? &empty : reinterpret_cast<const std::uint8_t*>(bytes.data());
        LLVMFuzzerTestOneInput(data, bytes.size());
    }
    std::fprintf(stderr, "replayed %zu inputs\n", inputs.size());
    return 0;
}
