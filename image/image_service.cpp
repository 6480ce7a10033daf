// Format recognition, row conversion and the texts of refusals.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "image/image_service.h"
#include "platform/platform.h"

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

bool PictureBytes::Stream(FILE*& file, std::string& why) const {
    file = nullptr;
    if (InMemory()) return true;
    file = FileStream(fd);
    if (file != nullptr) return true;
    CloseFile(fd);
    why = "out of memory";
    return false;
}

namespace {

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Chooses the decoder by the first bytes (`got` of them in `magic`).
std::unique_ptr<RowSource> OpenByContent(PictureBytes bytes, const uint8_t* magic, size_t got,
                                         const PictureHints& hints, std::string& why) {
    if (got >= 2 && magic[0] == 'B' && magic[1] == 'M') return OpenBmp(bytes, why);
    if (got >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF) return OpenJpeg(bytes, hints, why);
    if (got >= 8 && memcmp(magic, kPngSignature, 8) == 0) return OpenPng(bytes, hints, why);
    if (got >= 6 && (memcmp(magic, "GIF87a", 6) == 0 || memcmp(magic, "GIF89a", 6) == 0)) return OpenGif(bytes, why);
    // TIFF and BigTIFF, in either byte order: "II" then 42 or 43 little-endian, "MM" then
    // big-endian.
    if (got >= 4 && ((magic[0] == 'I' && magic[1] == 'I' && (magic[2] == 42 || magic[2] == 43) && magic[3] == 0) ||
                     (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && (magic[3] == 42 || magic[3] == 43))))
        return OpenTiff(bytes, hints, why);
    if (!bytes.InMemory()) CloseFile(bytes.fd);
    why = got == 0 ? "the file is empty" : "not a BMP, JPEG, PNG, GIF or TIFF picture";
    return nullptr;
}

uint32_t Get16(const uint8_t* p, bool big) { return big ? uint32_t{p[0]} << 8 | p[1] : uint32_t{p[1]} << 8 | p[0]; }
uint32_t Get32(const uint8_t* p, bool big) {
    return big ? Get16(p, true) << 16 | Get16(p + 2, true) : Get16(p + 2, false) << 16 | Get16(p, false);
}

}  // namespace

std::unique_ptr<RowSource> OpenImage(const char* path, uint32_t fitWidth, uint32_t fitHeight, std::string& why) {
    return OpenImage(path, PictureHints{fitWidth, fitHeight, false}, why);
}

std::unique_ptr<RowSource> OpenImage(const char* path, const PictureHints& hints, std::string& why) {
    bool notRegular = false;
    const int fd = OpenFileForReading(path, &notRegular);
    if (fd < 0) {
        why = notRegular ? "not a regular file" : "cannot open the file: " + OsErrorText(errno);
        return nullptr;
    }
    uint8_t magic[8] = {};
    const int64_t got = ReadFileAt(fd, magic, sizeof magic, 0);
    if (got < 0) {
        why = "cannot read the file: " + OsErrorText(errno);
        CloseFile(fd);
        return nullptr;
    }
    return OpenByContent(PictureBytes::File(fd), magic, static_cast<size_t>(got), hints, why);
}

std::unique_ptr<RowSource> OpenImageBytes(const uint8_t* data, size_t size, const PictureHints& hints,
                                          std::string& why) {
    if (data == nullptr) size = 0;
    return OpenByContent(PictureBytes::Memory(data, size), data, std::min<size_t>(size, 8), hints, why);
}

uint32_t ExifOrientation(const uint8_t* tiff, size_t size) {
    // Byte order, 42, the offset of the first directory; then its entries of 12 bytes:
    // tag, type, count, value. Orientation is tag 0x0112, one SHORT.
    if (tiff == nullptr || size < 8) return 1;
    const bool big = tiff[0] == 'M' && tiff[1] == 'M';
    if (!big && !(tiff[0] == 'I' && tiff[1] == 'I')) return 1;
    if (Get16(tiff + 2, big) != 42) return 1;
    const uint64_t directory = Get32(tiff + 4, big);
    if (directory + 2 > size) return 1;
    const uint32_t entries = Get16(tiff + directory, big);
    for (uint64_t i = 0, at = directory + 2; i < entries && at + 12 <= size; ++i, at += 12) {
        const uint8_t* e = tiff + at;
        if (Get16(e, big) != 0x0112) continue;
        if (Get16(e + 2, big) != 3 || Get32(e + 4, big) != 1) return 1;
        const uint32_t value = Get16(e + 8, big);
        return value >= 1 && value <= 8 ? value : 1;
    }
    return 1;
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
