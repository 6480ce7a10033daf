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
    if (source) {
        const qpimg::PixelFormat& f = source->Format();
        std::vector<uint8_t> row(qpimg::RowBytes(f.width, f.depth));
        // The first 4 million pixels' rows: a few bytes of fax or LZW data can declare a
        // picture up to the decoders' limit (2^27 pixels), which under the sanitizers
        // takes longer than the fuzzer's time limit, and later rows run the same code.
        const uint64_t rows = std::min<uint64_t>(f.height, std::max<uint64_t>(1, (uint64_t{1} << 22) / f.width));
        for (uint64_t y = 0; y < rows && source->ReadRow(row.data()); ++y) {
        }
    }
    return 0;
}
