// The image service: decodes BMP, JPEG, PNG, GIF and TIFF files (recognised by content,
// not by name) and stretches pictures with area averaging.
//
// A decoder is a RowSource: it hands out the picture one row at a time from the top, so
// that the pipeline holds only a few rows of it. AreaResampler reads a RowSource and hands
// out the stretched rows, again one at a time.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace qpimg {

// Largest picture any decoder accepts: sides up to 65,535 and at most 2^27 pixels
// (134 million, e.g. 16,384 x 8,192). Files declaring more are refused before anything is
// allocated for them.
constexpr uint32_t kMaxSide = 65535;
constexpr uint64_t kMaxPixels = uint64_t{1} << 27;

inline bool SizeAcceptable(uint64_t w, uint64_t h) {
    return w >= 1 && h >= 1 && w <= kMaxSide && h <= kMaxSide && w * h <= kMaxPixels;
}

// Memory a decoder may hold for one picture beyond its few rows (whole-picture buffers of
// multi-scan JPEGs and interlaced PNGs): 1 KiB for each byte of the file, at least 64 MiB
// and never more than 256 MiB. A small file cannot make the tool take much memory, and no
// file can make it take more than the ceiling.
constexpr uint64_t kMemoryFloor = uint64_t{64} << 20;
constexpr uint64_t kMemoryCeiling = uint64_t{256} << 20;
constexpr uint64_t kMemoryPerFileByte = 1024;
inline uint64_t MemoryAllowed(uint64_t fileBytes) {
    const uint64_t proportional = fileBytes > kMemoryCeiling / kMemoryPerFileByte ? kMemoryCeiling
                                                                                  : fileBytes * kMemoryPerFileByte;
    return std::clamp(proportional, kMemoryFloor, kMemoryCeiling);
}

// Layout of decoded rows, the device-independent bitmap layouts:
//  depth 1, 2, 4, 8: palette indices packed most significant bits first;
//  depth 24: blue, green, red; depth 32: blue, green, red and an unused byte.
// Rows hold no padding here: a row is RowBytes(width, depth) bytes.
struct PixelFormat {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t depth = 0;
    uint32_t paletteSize = 0;      // entries in use (indices at or past it are black)
    uint8_t palette[256][4] = {};  // blue, green, red, 0
    bool IsIndexed() const { return depth <= 8; }
    // True when every palette entry is a grey (blue = green = red).
    bool GreyPalette() const;
    // An 8-bit format whose index i is the grey i.
    static PixelFormat Grey8(uint32_t width, uint32_t height);
};

inline size_t RowBytes(uint32_t width, uint32_t depth) { return (size_t{width} * depth + 7) / 8; }

// One decoded picture, handed out row by row from the top.
class RowSource {
public:
    virtual ~RowSource() = default;
    const PixelFormat& Format() const { return format_; }
    // Size of the picture in the file; Format() may be smaller when the decoder reduced
    // it on the way (JPEG DCT scaling).
    uint32_t FileWidth() const { return fileWidth_; }
    uint32_t FileHeight() const { return fileHeight_; }
    // The reduction, as the fraction ScaleNum / ScaleDenom of the file's size: a delivered
    // pixel covers ScaleDenom / ScaleNum file pixels along each axis, except the last one
    // of a row or column, which covers only what is left of the picture (the file's size
    // need not be a multiple of a delivered pixel).
    uint32_t ScaleNum() const { return scaleNum_; }
    uint32_t ScaleDenom() const { return scaleDenom_; }
    // Writes the next row (RowBytes(width, depth) bytes) to `row`. False when the file
    // turns out to be undecodable part way; the picture is then not usable, and Failure()
    // says why.
    virtual bool ReadRow(uint8_t* row) = 0;
    // The next row, like ReadRow, but a decoder that holds the row already may hand out
    // its own copy instead of filling `scratch`; valid until the next call. Null on
    // failure.
    virtual const uint8_t* NextRowAddress(uint8_t* scratch) { return ReadRow(scratch) ? scratch : nullptr; }
    // Why the last ReadRow failed (empty before a failure).
    virtual std::string Failure() const { return failure_; }
    // How the stored rows are to be turned to show the picture upright: the EXIF
    // orientation, 1 (as stored) to 8. 1 unless the picture was opened with
    // PictureHints::orientation and says otherwise.
    uint32_t Orientation() const { return orientation_; }

protected:
    PixelFormat format_;
    uint32_t orientation_ = 1;
    uint32_t fileWidth_ = 0;
    uint32_t fileHeight_ = 0;
    uint32_t scaleNum_ = 1, scaleDenom_ = 1;
    std::string failure_;
};

// Where a picture's bytes are: an open file, which the decoder takes over (and closes),
// or bytes in memory, which it reads in place (they must stay there while it is used).
// The same bounds on memory and work hold for both; they count the bytes' length.
struct PictureBytes {
    int fd = -1;
    const uint8_t* data = nullptr;
    size_t size = 0;
    static PictureBytes File(int fd) { return {fd, nullptr, 0}; }
    static PictureBytes Memory(const uint8_t* data, size_t size) { return {-1, data, size}; }
    bool InMemory() const { return fd < 0; }
    // For the decoders that read a file through stdio: `file` receives a stream over the
    // file, or null for bytes in memory. False, with `why` said and the file closed, when
    // no stream can be made.
    bool Stream(FILE*& file, std::string& why) const;
};

// What the caller will do with the picture, so that the decoder can prepare for it.
struct PictureHints {
    // When not zero, the size the caller will reduce the picture to: a JPEG at least
    // twice as large in both directions is then decoded at a reduced DCT scale that
    // still gives at least that size.
    uint32_t fitWidth = 0, fitHeight = 0;
    // Read the EXIF orientation (JPEG APP1, PNG eXIf; TIFF's Orientation tag) into
    // RowSource::Orientation.
    bool orientation = false;
};

// Opens the picture in `path`, recognising BMP, JPEG, PNG, GIF and TIFF by their first
// bytes.
// (fitWidth, fitHeight) as in PictureHints. Null when the file is missing, is none of
// these formats or cannot be decoded; `why` then says which (for the user).
std::unique_ptr<RowSource> OpenImage(const char* path, uint32_t fitWidth, uint32_t fitHeight, std::string& why);
std::unique_ptr<RowSource> OpenImage(const char* path, const PictureHints& hints, std::string& why);
// The same for a picture's bytes in memory (a file's whole content).
std::unique_ptr<RowSource> OpenImageBytes(const uint8_t* data, size_t size, const PictureHints& hints,
                                          std::string& why);

// The same rows, decoded ahead on a second thread while the caller works on the earlier
// ones (when the machine has a second core). Worth it only for large pictures.
std::unique_ptr<RowSource> Prefetched(std::unique_ptr<RowSource> source);

// The decoders behind OpenImage. Each takes over an open file (and closes it), and
// returns null, with the reason in `why`, when the content is not its format or cannot
// be decoded.
std::unique_ptr<RowSource> OpenBmp(PictureBytes bytes, std::string& why);
std::unique_ptr<RowSource> OpenJpeg(PictureBytes bytes, const PictureHints& hints, std::string& why);
std::unique_ptr<RowSource> OpenPng(PictureBytes bytes, const PictureHints& hints, std::string& why);
std::unique_ptr<RowSource> OpenGif(PictureBytes bytes, std::string& why);
std::unique_ptr<RowSource> OpenTiff(PictureBytes bytes, const PictureHints& hints, std::string& why);
inline std::unique_ptr<RowSource> OpenBmp(int fd, std::string& why) { return OpenBmp(PictureBytes::File(fd), why); }
inline std::unique_ptr<RowSource> OpenJpeg(int fd, uint32_t fitWidth, uint32_t fitHeight, std::string& why) {
    return OpenJpeg(PictureBytes::File(fd), PictureHints{fitWidth, fitHeight, false}, why);
}
inline std::unique_ptr<RowSource> OpenPng(int fd, std::string& why) {
    return OpenPng(PictureBytes::File(fd), PictureHints{}, why);
}

// The orientation an EXIF block gives (a TIFF header and its first directory, without
// JPEG's "Exif\0\0" in front), 1 to 8; 1 when it gives none or cannot be read.
uint32_t ExifOrientation(const uint8_t* tiff, size_t size);

// Text for a declared size that SizeAcceptable refuses.
std::string SizeRefusal(uint64_t w, uint64_t h);
// Text for a decoder that would need `bytes` of memory where `allowed` is the limit.
std::string MemoryRefusal(uint64_t bytes, uint64_t allowed, uint64_t fileBytes);

// Area-averaging ("halftone") stretch of a RowSource to dstWidth x dstHeight, up or down
// in each direction independently.
//
// Along each axis the picture spans [0, S) in file pixels (S its size in the file);
// delivered pixel i covers [i c, (i + 1) c) of it, cut at S (c = ScaleDenom / ScaleNum,
// 1 unless the decoder reduced the picture), and destination pixel j covers
// [j S / d, (j + 1) S / d) (d the destination size). A destination pixel is the average
// of the delivered colours weighted by the area each delivered pixel shares with it,
// exactly, per channel, rounded to nearest with halves rounded up. The weights are
// integers and the weighted sums are exact integers held in doubles (every integer below
// 2^53 is exact there; the sums stay below 2^47); only the final division is done in
// floating point, and resample.cpp shows why it always gives the exactly rounded result. Palette pictures are averaged in their palette colours; pictures
// whose palette is all grey, and grey pictures, are averaged in one channel.
class AreaResampler {
public:
    AreaResampler(RowSource& source, uint32_t dstWidth, uint32_t dstHeight);
    ~AreaResampler();
    // 1 (grey: one byte a pixel) or 3 (blue, green, red).
    int Channels() const { return channels_; }
    // Writes the next destination row (Channels() x dstWidth bytes). False when the
    // source failed.
    bool NextRow(uint8_t* out);

private:
    struct Axis;
    bool FetchSourceRow();
    RowSource& source_;
    int channels_;
    uint32_t dstWidth_, dstHeight_;
    std::unique_ptr<Axis> xAxis_, yAxis_;
    double inverse_ = 0, total_ = 0, bias_ = 0;  // final division, see resample.cpp
    std::vector<uint8_t> raw_;        // one source row as decoded
    std::vector<uint8_t> colours_;    // the same row as 1 or 3 channels
    std::vector<double> hRow_;        // the last source row, stretched horizontally
    std::vector<double> acc_;         // destination row being summed (exact integers)
    uint32_t nextSourceRow_ = 0;      // rows read from the source so far
    uint32_t nextDestRow_ = 0;
};

// Converts a decoded row to 1 channel (grey pictures) or 3 (blue, green, red).
void RowToColours(const PixelFormat& format, int channels, const uint8_t* row, uint8_t* out);
// Unpacks palette indices packed at `depth` bits into one byte each.
void UnpackIndices(const uint8_t* row, uint32_t depth, uint32_t width, uint8_t* out);

}  // namespace qpimg
