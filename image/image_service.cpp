// Format recognition, row conversion and the texts of refusals.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "image/image_service.h"

namespace qpimg {

bool PixelFormat::GreyPalette() const {
    for (uint32_t i = 0; i < paletteSize; ++i) {
        if (palette[i][0] != palette[i][1] || palette[i][1] != palette[i][2]) return false;
    }
    return true;  // indices past the palette are black, a grey too
}

PixelFormat PixelFormat::Grey8(uint32_t width, uint32_t height) {
    PixelFormat f;
    f.width = width;
    f.height = height;
    f.depth = 8;
    f.paletteSize = 256;
    for (int i = 0; i < 256; ++i) memset(f.palette[i], i, 3);
    return f;
}

std::string SizeRefusal(uint64_t w, uint64_t h) {
    return "declares " + std::to_string(w) + " x " + std::to_string(h) + " pixels; pictures of 1 to " +
           std::to_string(kMaxSide) + " pixels a side and at most " + std::to_string(kMaxPixels) +
           " pixels are read";
}

std::string MemoryRefusal(uint64_t bytes, uint64_t allowed, uint64_t fileBytes) {
    return "decoding it would take " + std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB of memory, more than the " +
           std::to_string(allowed >> 20) + " MiB allowed for a file of " + std::to_string(fileBytes) + " bytes";
}

std::unique_ptr<RowSource> OpenImage(const char* path, uint32_t fitWidth, uint32_t fitHeight, std::string& why) {
    // Non-blocking, so that a FIFO or device given as a picture cannot hang the open.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        why = std::string("cannot open the file: ") + strerror(errno);
        return nullptr;
    }
    struct stat st {};
    uint8_t magic[8] = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        close(fd);
        return nullptr;
    }
    const ssize_t got = pread(fd, magic, sizeof magic, 0);
    if (got < 0) {
        why = std::string("cannot read the file: ") + strerror(errno);
        close(fd);
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (got >= 2 && magic[0] == 'B' && magic[1] == 'M') return OpenBmp(fd, why);
    if (got >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF)
        return OpenJpeg(fd, fitWidth, fitHeight, why);
    static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (got == 8 && memcmp(magic, kPng, 8) == 0) return OpenPng(fd, why);
    close(fd);
    why = got == 0 ? "the file is empty" : "not a BMP, JPEG or PNG picture";
    return nullptr;
}

void UnpackIndices(const uint8_t* row, uint32_t depth, uint32_t width, uint8_t* out) {
    switch (depth) {
    case 8:
        memcpy(out, row, width);
        break;
    case 4:
        for (uint32_t x = 0; x < width; ++x) out[x] = x & 1 ? row[x / 2] & 0x0F : row[x / 2] >> 4;
        break;
    case 2:
        for (uint32_t x = 0; x < width; ++x) out[x] = (row[x / 4] >> (6 - 2 * (x & 3))) & 3;
        break;
    case 1:
        for (uint32_t x = 0; x < width; ++x) out[x] = (row[x / 8] >> (7 - (x & 7))) & 1;
        break;
    default:
        memset(out, 0, width);
    }
}

void RowToColours(const PixelFormat& f, int channels, const uint8_t* row, uint8_t* out) {
    const uint32_t w = f.width;
    if (f.IsIndexed()) {
        // Unpack in place at the end of `out` (channels x w bytes), then look up.
        uint8_t* idx = out + size_t{w} * (channels - 1);
        UnpackIndices(row, f.depth, w, idx);
        static const uint8_t kBlack[4] = {};
        if (channels == 1) {
            for (uint32_t x = 0; x < w; ++x) out[x] = idx[x] < f.paletteSize ? f.palette[idx[x]][0] : 0;
        } else {
            for (uint32_t x = 0; x < w; ++x) {
                const uint8_t i = idx[x];  // read before the write below may overwrite it
                const uint8_t* c = i < f.paletteSize ? f.palette[i] : kBlack;
                out[3 * x] = c[0], out[3 * x + 1] = c[1], out[3 * x + 2] = c[2];
            }
        }
    } else if (f.depth == 24) {
        memcpy(out, row, size_t{w} * 3);
    } else {
        for (uint32_t x = 0; x < w; ++x) memcpy(out + 3 * x, row + 4 * x, 3);
    }
}

}  // namespace qpimg
