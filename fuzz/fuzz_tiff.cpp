// The TIFF decoder alone: directories, every layout and codec libtiff reads, the
// unpacking of strips and tiles and the RGBA route, every row read until the picture
// ends. Odd-length inputs are read from a file (libtiff reads), even-length ones from
// memory (libtiff maps them).
#include <fcntl.h>

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
    qpimg::PictureBytes bytes = qpimg::PictureBytes::Memory(data, size);
    if (size % 2 == 1) {
        const int fd = open(fuzz::WriteInput(data, size, "picture.tif").c_str(), O_RDONLY);
        if (fd < 0) return 0;
        bytes = qpimg::PictureBytes::File(fd);
    }
    std::string why;
    std::unique_ptr<qpimg::RowSource> source = qpimg::OpenTiff(bytes, qpimg::PictureHints{0, 0, true}, why);
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
