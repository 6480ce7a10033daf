// The BMP reader alone: header checks, palettes, bit fields, compressed rows, and every
// row read through the row source until it ends.
#include <fcntl.h>
#include <unistd.h>

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
    const std::string path = fuzz::WriteInput(data, size, "picture.bmp");
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    std::string why;
    std::unique_ptr<qpimg::RowSource> source = qpimg::OpenBmp(fd, why);
    if (source) {
        const qpimg::PixelFormat& f = source->Format();
        std::vector<uint8_t> row(qpimg::RowBytes(f.width, f.depth) + 16);
        for (uint32_t y = 0; y < f.height && source->ReadRow(row.data()); ++y) {
        }
    }
    return 0;
}
