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
    if (source) fuzz::ReadFirstRows(*source);
    return 0;
}
