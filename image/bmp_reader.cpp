// BMP reader: core (12-byte) and OS/2 2.x headers, the 40-byte header and its later
// versions (52, 56, 108, 124 bytes); 1, 2, 4, 8, 16, 24 and 32 bits per pixel; RLE4 and
// RLE8; bit fields; bottom-up and top-down rows.
//
// Nothing is trusted: the declared size must pass SizeAcceptable, every byte read is
// checked against the file's real length, and uncompressed pixel data must lie wholly
// inside the file. Rows are read or decoded one at a time, so memory stays a few rows and
// a window of the file whatever the file declares.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "image/file_reader.h"
#include "image/image_service.h"

namespace qpimg {
namespace {

constexpr uint32_t kBiRgb = 0, kBiRle8 = 1, kBiRle4 = 2, kBiBitfields = 3, kBiAlphaBitfields = 6;
constexpr size_t kFileHeaderSize = 14;
constexpr size_t kBlockBytes = 256 * 1024;  // uncompressed rows are read in blocks of about this

// One colour channel described by a bit mask, widened to 8 bits by bit replication
// (5 bits v give (v << 3) | (v >> 2), 6 bits give (v << 2) | (v >> 4)).
struct Channel {
    uint32_t shift = 0;
    uint32_t bits = 0;  // span of the mask from its lowest to its highest set bit
    uint32_t mask = 0;
    uint8_t table[256] = {};  // widened value, when bits <= 8

    explicit Channel(uint32_t m = 0) : mask(m) {
        if (m == 0) return;
        shift = static_cast<uint32_t>(std::countr_zero(m));
        bits = static_cast<uint32_t>(std::bit_width(m >> shift));
        if (bits <= 8) {
            for (uint32_t v = 0; v < (1u << bits); ++v) table[v] = Widen(v, bits);
        }
    }
    static uint8_t Widen(uint32_t v, uint32_t bits) {
        uint32_t out = 0, have = 0;
        while (have < 8) {
            out = (out << bits) | v;
            have += bits;
        }
        return static_cast<uint8_t>(out >> (have - 8));
    }
    uint8_t Get(uint32_t pixel) const {
        if (bits == 0) return 0;
        uint32_t v = (pixel & mask) >> shift;
        return bits <= 8 ? table[v] : static_cast<uint8_t>(v >> (bits - 8));
    }
};

struct BmpInfo {
    uint32_t width = 0, height = 0;
    bool topDown = false;
    uint32_t bpp = 0;
    uint32_t compression = kBiRgb;
    uint64_t pixelOffset = 0;
    uint64_t stride = 0;
    uint32_t masks[3] = {};  // red, green, blue
    PixelFormat format;      // what the rows are delivered as
};

// Reads the headers and the palette; false when the file is no BMP this reader takes.
bool ReadHeaders(const FileReader& file, BmpInfo& info, std::string& why) {
    why = "BMP headers cut short";
    uint8_t h[kFileHeaderSize + 124] = {};
    if (!file.ReadAt(0, h, kFileHeaderSize + 4)) return false;
    if (h[0] != 'B' || h[1] != 'M') return false;
    info.pixelOffset = Le32(h + 10);
    const uint32_t headerSize = Le32(h + 14);
    const bool core = headerSize == 12;
    const bool os2 = headerSize == 16 || headerSize == 64;
    if (!core && !os2 && headerSize != 40 && headerSize != 52 && headerSize != 56 && headerSize != 108 &&
        headerSize != 124) {
        why = "BMP with an unknown header size of " + std::to_string(headerSize) + " bytes";
        return false;
    }
    if (!file.ReadAt(kFileHeaderSize, h + kFileHeaderSize, headerSize)) return false;
    const uint8_t* b = h + kFileHeaderSize;

    int64_t w, hgt;
    uint32_t clrUsed = 0;
    if (core) {
        w = Le16(b + 4);
        hgt = Le16(b + 6);
        info.bpp = Le16(b + 10);
    } else {
        w = static_cast<int32_t>(Le32(b + 4));
        hgt = static_cast<int32_t>(Le32(b + 8));
        info.bpp = Le16(b + 14);
        if (headerSize >= 20) info.compression = Le32(b + 16);
        if (headerSize >= 36) clrUsed = Le32(b + 32);
    }
    if (hgt < 0) {
        info.topDown = true;
        hgt = -hgt;
    }
    if (w <= 0) {
        why = "declares a width of " + std::to_string(w);
        return false;
    }
    if (!SizeAcceptable(static_cast<uint64_t>(w), static_cast<uint64_t>(hgt))) {
        why = SizeRefusal(static_cast<uint64_t>(w), static_cast<uint64_t>(hgt));
        return false;
    }
    info.width = static_cast<uint32_t>(w);
    info.height = static_cast<uint32_t>(hgt);

    // Which combinations of depth and compression are pictures.
    const uint32_t bpp = info.bpp;
    why = "BMP of " + std::to_string(bpp) + " bits per pixel with compression " + std::to_string(info.compression) +
          (info.topDown ? ", top-down," : "") + " is no picture format this reader takes";
    switch (info.compression) {
    case kBiRgb:
        if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return false;
        break;
    case kBiRle8:
        if (bpp != 8 || info.topDown) return false;
        break;
    case kBiRle4:
        if (bpp != 4 || info.topDown) return false;
        break;
    case kBiBitfields:
    case kBiAlphaBitfields:
        if (os2 || (bpp != 16 && bpp != 32)) return false;  // OS/2 uses 3 for Huffman coding
        break;
    default:
        return false;
    }
    info.stride = (uint64_t{info.width} * bpp + 31) / 32 * 4;
    why = "BMP headers cut short";

    uint64_t afterHeader = kFileHeaderSize + headerSize;
    if (info.compression == kBiBitfields || info.compression == kBiAlphaBitfields) {
        uint8_t m[12];
        if (headerSize >= 52) {
            memcpy(m, b + 40, 12);
        } else {
            if (!file.ReadAt(afterHeader, m, 12)) return false;
            afterHeader += info.compression == kBiAlphaBitfields ? 16 : 12;
        }
        for (int i = 0; i < 3; ++i) info.masks[i] = Le32(m + 4 * i);
    } else if (bpp == 16) {
        info.masks[0] = 0x7C00, info.masks[1] = 0x03E0, info.masks[2] = 0x001F;
    } else if (bpp == 32) {
        info.masks[0] = 0xFF0000, info.masks[1] = 0xFF00, info.masks[2] = 0xFF;
    }

    PixelFormat& f = info.format;
    f.width = info.width;
    f.height = info.height;
    if (bpp <= 8) {
        f.depth = bpp;
        const uint32_t entrySize = core ? 3 : 4;
        uint64_t count = clrUsed != 0 && clrUsed < (1u << bpp) ? clrUsed : (1u << bpp);
        // The palette ends where the pixels start (when they follow it) and in any case
        // at the end of the file.
        uint64_t end = info.pixelOffset > afterHeader ? std::min(info.pixelOffset, file.Size()) : file.Size();
        if (end < afterHeader) end = afterHeader;
        count = std::min<uint64_t>(count, (end - afterHeader) / entrySize);
        uint8_t pal[256 * 4];
        if (count > 0 && !file.ReadAt(afterHeader, pal, count * entrySize)) return false;
        f.paletteSize = static_cast<uint32_t>(count);
        for (uint32_t i = 0; i < count; ++i) {
            for (int c = 0; c < 3; ++c) f.palette[i][c] = pal[i * entrySize + c];
        }
    } else if (bpp == 24 || (bpp == 32 && info.masks[0] == 0xFF0000 && info.masks[1] == 0xFF00 &&
                             info.masks[2] == 0xFF)) {
        f.depth = bpp;  // the file's own layout
    } else {
        f.depth = 24;  // 16 bits and other bit fields: widened to blue, green, red
    }
    return true;
}

// Uncompressed rows, read from the file in blocks of rows in the file's own order.
class BmpSource final : public RowSource {
public:
    BmpSource(std::unique_ptr<FileReader> file, const BmpInfo& info)
        : file_(std::move(file)), info_(info), red_(info.masks[0]), green_(info.masks[1]), blue_(info.masks[2]) {
        format_ = info.format;
        fileWidth_ = info.width;
        fileHeight_ = info.height;
        blockRows_ = static_cast<uint32_t>(std::clamp<uint64_t>(kBlockBytes / info.stride, 1, info.height));
        block_.resize(blockRows_ * info.stride);
    }

    const uint8_t* NextRowAddress(uint8_t* scratch) override {
        if (next_ >= info_.height) return nullptr;
        const uint32_t fileRow = info_.topDown ? next_ : info_.height - 1 - next_;
        ++next_;
        if (fileRow < blockFirst_ || fileRow >= blockFirst_ + blockCount_) {
            if (!LoadBlock(fileRow)) {
                failure_ = "cannot read the file at row " + std::to_string(next_ - 1);
                return nullptr;
            }
        }
        const uint8_t* p = block_.data() + (fileRow - blockFirst_) * info_.stride;
        if (info_.bpp == format_.depth) return p;  // stored as delivered
        Convert(p, scratch);
        return scratch;
    }

    bool ReadRow(uint8_t* row) override {
        const uint8_t* p = NextRowAddress(row);
        if (p && p != row) memcpy(row, p, RowBytes(info_.width, format_.depth));
        return p != nullptr;
    }

    // Checks that every row's pixels lie inside the file (the last row may lack its padding).
    bool DataInFile() const {
        const uint64_t need = info_.stride * (info_.height - 1) + RowBytes(info_.width, info_.bpp);
        return file_->Holds(info_.pixelOffset, need);
    }

private:
    // 16 bits and bit fields to blue, green, red.
    void Convert(const uint8_t* p, uint8_t* row) const {
        const uint32_t w = info_.width;
        if (info_.bpp == 16) {
            for (uint32_t x = 0; x < w; ++x) Put(row + 3 * x, Le16(p + 2 * x));
        } else {
            for (uint32_t x = 0; x < w; ++x) Put(row + 3 * x, Le32(p + 4 * x));
        }
    }
    void Put(uint8_t* out, uint32_t pixel) const {
        out[0] = blue_.Get(pixel);
        out[1] = green_.Get(pixel);
        out[2] = red_.Get(pixel);
    }
    // Loads the block of rows that holds fileRow, extending in the direction rows are
    // asked for (towards row 0 for bottom-up files).
    bool LoadBlock(uint32_t fileRow) {
        uint32_t first = fileRow;
        if (!info_.topDown) first = fileRow + 1 >= blockRows_ ? fileRow + 1 - blockRows_ : 0;
        const uint32_t count = std::min(blockRows_, info_.height - first);
        const uint64_t offset = info_.pixelOffset + first * info_.stride;
        const uint64_t bytes = std::min<uint64_t>(count * info_.stride, file_->Size() - offset);
        if (!file_->ReadAt(offset, block_.data(), bytes)) return false;
        blockFirst_ = first;
        blockCount_ = count;
        return true;
    }

    std::unique_ptr<FileReader> file_;
    BmpInfo info_;
    Channel red_, green_, blue_;
    std::vector<uint8_t> block_;
    uint32_t blockRows_ = 1;
    uint32_t blockFirst_ = 0, blockCount_ = 0;
    uint32_t next_ = 0;
};

// RLE4 and RLE8, streamed: the compressed data describes the rows from the bottom up,
// while they are handed out from the top. A first pass over the data (a few operations
// per pair of bytes, no pixels written) notes where each row's data begins and at which
// column; each row is then decoded from there on its own when it is asked for. Pixels
// the data never reaches keep index 0. Memory: a window of the file and 16 bytes a row.
class BmpRleSource final : public RowSource {
public:
    BmpRleSource(std::unique_ptr<FileReader> file, const BmpInfo& info) : file_(std::move(file)), info_(info) {
        format_ = info.format;
        fileWidth_ = info.width;
        fileHeight_ = info.height;
        end_ = file_->Size() > info.pixelOffset ? file_->Size() - info.pixelOffset : 0;
        indices_.resize(info.width);
    }

    // The first pass; false when there is no pixel data at all.
    bool Index() {
        if (end_ == 0) return false;
        rowPos_.assign(info_.height, kNotEntered);
        rowX_.assign(info_.height, 0);
        uint64_t pos = 0, x = 0, y = 0;
        rowPos_[0] = 0;
        for (;;) {
            const Step s = Walk(pos, x, y, nullptr);
            if (s == kEndOfData) break;
            if (y >= info_.height) break;
            rowPos_[y] = pos;
            rowX_[y] = x;
        }
        return true;
    }

    bool ReadRow(uint8_t* row) override {
        if (!failure_.empty() || next_ >= info_.height) return false;
        const uint64_t y = info_.height - 1 - next_;  // y counts from the bottom
        ++next_;
        std::fill(indices_.begin(), indices_.end(), 0);
        if (rowPos_[y] != kNotEntered) {
            uint64_t pos = rowPos_[y], x = rowX_[y], at = y;
            Walk(pos, x, at, indices_.data());
            if (readFailed_) {
                failure_ = "cannot read the file";
                return false;
            }
        }
        if (format_.depth == 8) {
            memcpy(row, indices_.data(), info_.width);
        } else {
            memset(row, 0, RowBytes(info_.width, 4));
            for (uint32_t x = 0; x < info_.width; ++x)
                row[x / 2] |= static_cast<uint8_t>(x & 1 ? indices_[x] : indices_[x] << 4);
        }
        return true;
    }

private:
    static constexpr uint64_t kNotEntered = ~uint64_t{0};
    static constexpr size_t kWindow = 64 * 1024;
    enum Step { kNextRow, kEndOfData };

    // Runs the operations of row y from (pos, x), writing its pixels to `out` when given,
    // until the data leaves the row: then (pos, x, y) is where the next row it enters
    // begins (kNextRow), or the data has ended (kEndOfData).
    Step Walk(uint64_t& pos, uint64_t& x, uint64_t& y, uint8_t* out) {
        const bool rle8 = info_.compression == kBiRle8;
        const uint64_t w = info_.width;
        auto put = [&](uint64_t at, uint8_t v) {
            if (out && at < w) out[at] = v;
        };
        while (pos + 2 <= end_) {
            const uint8_t n = Byte(pos), c = Byte(pos + 1);
            pos += 2;
            if (n > 0) {
                if (out && x < w) {
                    for (uint32_t k = 0; k < n; ++k) put(x + k, rle8 ? c : static_cast<uint8_t>(k & 1 ? c & 0x0F : c >> 4));
                }
                x += n;
            } else if (c == 0) {
                x = 0, ++y;
                return kNextRow;
            } else if (c == 1) {
                return kEndOfData;
            } else if (c == 2) {
                if (pos + 2 > end_) return kEndOfData;
                const uint8_t dx = Byte(pos), dy = Byte(pos + 1);
                pos += 2;
                x += dx;
                if (dy > 0) {
                    y += dy;
                    return kNextRow;
                }
            } else {
                const uint64_t bytes = rle8 ? c : (c + 1u) / 2;
                if (out && x < w) {
                    for (uint32_t k = 0; k < c; ++k) {
                        const uint64_t at = pos + (rle8 ? k : k / 2);
                        if (at >= end_) break;
                        const uint8_t b = Byte(at);
                        put(x + k, rle8 ? b : static_cast<uint8_t>(k & 1 ? b & 0x0F : b >> 4));
                    }
                }
                x += c;
                pos += bytes + (bytes & 1);  // absolute runs are padded to 16 bits
            }
        }
        return kEndOfData;
    }

    // Byte `at` of the pixel data (at < end_), through a window of the file. Rows are
    // asked for from the end of the data towards its start, so a window is loaded to end
    // a little after the byte asked for.
    uint8_t Byte(uint64_t at) {
        if (at < windowStart_ || at >= windowStart_ + window_.size()) {
            const uint64_t start = at > kWindow - 4096 ? at - (kWindow - 4096) : 0;
            const uint64_t first = at < windowStart_ || window_.empty() ? start : at;
            const size_t n = static_cast<size_t>(std::min<uint64_t>(kWindow, end_ - first));
            window_.resize(n);
            windowStart_ = first;
            if (!file_->ReadAt(info_.pixelOffset + first, window_.data(), n)) {
                readFailed_ = true;
                std::fill(window_.begin(), window_.end(), 0);
            }
        }
        return window_[at - windowStart_];
    }

    std::unique_ptr<FileReader> file_;
    BmpInfo info_;
    uint64_t end_ = 0;                 // bytes of pixel data
    std::vector<uint64_t> rowPos_;     // where each row's data begins (y from the bottom)
    std::vector<uint64_t> rowX_;       // and at which column
    std::vector<uint8_t> indices_;     // the row being decoded, one index a pixel
    std::vector<uint8_t> window_;
    uint64_t windowStart_ = 0;
    bool readFailed_ = false;
    uint32_t next_ = 0;
};

}  // namespace

std::unique_ptr<RowSource> OpenBmp(PictureBytes bytes, std::string& why) {
    auto file = bytes.InMemory() ? std::make_unique<FileReader>(bytes.data, bytes.size)
                                 : std::make_unique<FileReader>(bytes.fd);
    BmpInfo info;
    if (!ReadHeaders(*file, info, why)) return nullptr;
    if (info.compression == kBiRle4 || info.compression == kBiRle8) {
        auto source = std::make_unique<BmpRleSource>(std::move(file), info);
        if (!source->Index()) {
            why = "no pixel data: the file ends before the offset its header gives";
            return nullptr;
        }
        return source;
    }
    auto source = std::make_unique<BmpSource>(std::move(file), info);
    if (!source->DataInFile()) {
        why = "the pixel data runs past the end of the file";
        return nullptr;
    }
    return source;
}

}  // namespace qpimg
