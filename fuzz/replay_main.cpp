// Replays saved inputs through a fuzz target without libFuzzer: the regression tests
// build each target with this main and run it on tests/fuzz_inputs/<target>/.
// Usage: replay_TARGET FILE_OR_DIRECTORY...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path p = std::filesystem::absolute(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto& e : std::filesystem::directory_iterator(p)) files.push_back(e.path());
        } else {
            files.push_back(p);
        }
    }
    LLVMFuzzerInitialize(&argc, &argv);
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        const std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        fprintf(stderr, "replay: %s (%zu bytes)\n", f.c_str(), data.size());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    fprintf(stderr, "replay: %zu inputs, no failure\n", files.size());
    return 0;
}
