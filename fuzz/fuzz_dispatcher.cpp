// The whole tool on an arbitrary argument vector (NUL-separated in the input), from
// discovery to the end of the action, against the in-process emulated controller. The
// working directory is a scratch directory holding a small picture and a firmware file,
// so that file arguments can name something that exists.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/dispatcher.h"
#include "fuzz/fuzz_support.h"

namespace {

// A 2 x 2 24-bit BMP.
const uint8_t kPicture[] = {
    'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0,
    0,   0,   16, 0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 255,
    255, 0,   0,  0, 128, 128, 128, 0, 0, 255, 0, 0};
const char kFirmwareHeader[] = "QPXEPD7730_A0100";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietProcess();
    fuzz::WriteInput(kPicture, sizeof kPicture, "a.bmp");
    fuzz::WriteInput(reinterpret_cast<const uint8_t*>(kFirmwareHeader), 16, "f.bin");
    fuzz::WriteInput(reinterpret_cast<const uint8_t*>(kFirmwareHeader), 16, "w.wbf");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 512) return 0;
    std::vector<std::string> words{"qp7730"};
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    if (!word.empty()) words.push_back(word);
    if (words.size() > 12) return 0;
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    fuzz::UseInProcessEmulator();
    RunMain(static_cast<int>(words.size()), argv.data());
    return 0;
}
