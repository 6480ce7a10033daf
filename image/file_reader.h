// A picture's bytes read at explicit offsets, every read checked against their real
// length: an open file, or bytes held in memory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace qpimg {

class FileReader {
public:
    // Takes over a file opened by OpenFileForReading.
    explicit FileReader(int fd) : fd_(fd) {
        if (fd_ >= 0 && !FileLength(fd_, &size_)) size_ = 0;
    }
    // Reads `size` bytes at `data`, which must stay in place while the reader is used.
    FileReader(const uint8_t* data, size_t size) : fd_(-1), data_(data), size_(data ? size : 0) {}
    ~FileReader() {
        if (fd_ >= 0) CloseFile(fd_);
    }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    uint64_t Size() const { return size_; }
    // True when [offset, offset + n) lies inside the file.
    bool Holds(uint64_t offset, uint64_t n) const { return offset <= size_ && n <= size_ - offset; }
    // Reads exactly n bytes at offset; false when they are not all in the file.
    bool ReadAt(uint64_t offset, void* buffer, size_t n) const {
        if (!Holds(offset, n)) return false;
        if (fd_ < 0) {
            if (n > 0) std::memcpy(buffer, data_ + offset, n);
            return true;
        }
        auto* p = static_cast<uint8_t*>(buffer);
        while (n > 0) {
            const int64_t got = ReadFileAt(fd_, p, n, offset);
            if (got <= 0) return false;
            p += got;
            n -= static_cast<size_t>(got);
            offset += static_cast<uint64_t>(got);
        }
        return true;
    }

private:
    int fd_;
    const uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
};

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace qpimg
