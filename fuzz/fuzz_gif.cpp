// The GIF decoder alone, from memory: screen and frame descriptors, extensions, colour
// maps, interlacing and the LZW data, every row read until the picture ends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "image/image_service.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string why;
    std::unique_ptr<qpimg::RowSource> source = qpimg::OpenGif(qpimg::PictureBytes::Memory(data, size), why);
    if (source) fuzz::ReadFirstRows(*source);
    return 0;
}
