// TIFF through libtiff: the first page (directory) of the file, in strips or tiles,
// samples interleaved or in planes, compressed in any way libtiff decodes.
//
// Grey (either polarity), RGB, palette and CMYK pictures of 1 to 16 bits a sample are
// unpacked here from the decoded strips and tiles, so that every depth follows one rule:
//  - an n-bit sample v is v x 255 / (2^n - 1) in 8 bits, rounded (16-bit samples as in
//    the PNG decoder); min-is-white grey is turned over (255 - it);
//  - palette entries, 16 bits each, are taken by their upper byte; a colour map none of
//    whose entries reaches 256 is read as 8-bit values, as libtiff reads it;
//  - CMYK ink amounts (0 none) give red = (255 - c)(255 - k) / 255, green and blue from
//    m and y likewise, rounded: the JPEG decoder's rule;
//  - the first extra sample, when it is alpha, lays the colour over white (paper):
//    unassociated c a / 255 + 255 (255 - a) / 255 rounded, associated (premultiplied)
//    c + 255 - a; other extra samples are not looked at.
// Other photometric kinds that libtiff can turn into colour (YCbCr outside JPEG, CIE L*a*b*,
// LogLuv) go through libtiff's RGBA interface, which carries no alpha for them. Signed and
// floating-point samples are refused, with the reason.
//
// Rows are stored as the file has them, top row first; the Orientation tag is reported as
// the EXIF orientation is for JPEG and PNG (PictureHints::orientation), not applied.
//
// Bounds: the decoded strips or the row of tiles that cover one row of the picture are
// held at a time, and together they must fit in MemoryAllowed(file size), checked before
// anything is decoded; libtiff itself may allocate no more than that at once. Every strip
// and tile is decoded once. libtiff's messages go to this picture's reason, never to
// standard error.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "image/file_reader.h"
#include "image/image_service.h"

namespace qpimg {
namespace {

// The bytes libtiff reads: a file through a reader, or memory, which libtiff maps.
struct Input {
    FileReader* reader;
    const uint8_t* memory = nullptr;
    uint64_t at = 0;
};

tmsize_t ReadInput(thandle_t handle, void* out, tmsize_t n) {
    auto* in = static_cast<Input*>(handle);
    if (n <= 0) return 0;
    const uint64_t size = in->reader->Size(), left = size - std::min(in->at, size);
    // Past the end (libtiff seeks there for strips a file only claims) nothing is read;
    // a failed read is a short one too. libtiff takes a count below zero as bytes read
    // and clears memory before its buffer with it.
    const size_t take = static_cast<size_t>(std::min<uint64_t>(left, static_cast<uint64_t>(n)));
    if (take == 0 || !in->reader->ReadAt(in->at, out, take)) return 0;
    in->at += take;
    return static_cast<tmsize_t>(take);
}
tmsize_t RefuseWrite(thandle_t, void*, tmsize_t) { return -1; }
toff_t SeekInput(thandle_t handle, toff_t offset, int whence) {
    auto* in = static_cast<Input*>(handle);
    const uint64_t base = whence == SEEK_CUR ? in->at : whence == SEEK_END ? in->reader->Size() : 0;
    in->at = base + offset;
    return in->at;
}
int CloseInput(thandle_t) { return 0; }
toff_t InputSize(thandle_t handle) { return static_cast<Input*>(handle)->reader->Size(); }
int MapInput(thandle_t handle, void** base, toff_t* size) {
    auto* in = static_cast<Input*>(handle);
    if (in->memory == nullptr) return 0;
    *base = const_cast<uint8_t*>(in->memory);
    *size = in->reader->Size();
    return 1;
}
void UnmapInput(thandle_t, void*, toff_t) {}

// libtiff's first error message of this picture (the cause; later ones follow from it).
int OnError(TIFF*, void* user, const char* module, const char* format, va_list args) {
    auto* text = static_cast<std::string*>(user);
    if (text->empty()) {
        char message[400];
        vsnprintf(message, sizeof message, format, args);
        *text = module ? std::string(module) + ": " + message : message;
    }
    return 1;  // handled: nothing is printed
}
int OnWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

uint8_t OverWhite(unsigned c, unsigned a) { return static_cast<uint8_t>((c * a + 255 * (255 - a) + 127) / 255); }
uint8_t PremultipliedOverWhite(unsigned c, unsigned a) { return static_cast<uint8_t>(std::min(255u, c + 255 - a)); }
uint8_t Ink(unsigned ink, unsigned k) { return static_cast<uint8_t>(((255 - ink) * (255 - k) + 127) / 255); }

// Reads the n-bit sample at bit `bit` of a row (most significant bits first); 16-bit
// samples are in the machine's order once libtiff has decoded them.
inline uint32_t SampleAt(const uint8_t* row, uint64_t bit, uint32_t n) {
    if (n == 8) return row[bit >> 3];
    if (n == 16) {
        uint16_t v;
        std::memcpy(&v, row + (bit >> 3), 2);
        return v;
    }
    uint32_t v = 0;
    for (uint32_t i = 0; i < n; ++i, ++bit) v = v << 1 | ((row[bit >> 3] >> (7 - (bit & 7))) & 1);
    return v;
}

class TiffSource final : public RowSource {
public:
    explicit TiffSource(const PictureBytes& bytes)
        : reader_(bytes.InMemory() ? FileReader(bytes.data, bytes.size) : FileReader(bytes.fd)) {
        input_.reader = &reader_;
        input_.memory = bytes.InMemory() ? bytes.data : nullptr;
    }
    ~TiffSource() override {
        if (rgbaStarted_) TIFFRGBAImageEnd(&rgba_);
        if (tif_) TIFFClose(tif_);
    }

    bool Open(const PictureHints& hints, std::string& why) {
        const uint64_t fileBytes = reader_.Size();
        allowed_ = MemoryAllowed(fileBytes);
        TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
        if (options == nullptr) {
            why = "out of memory";
            return false;
        }
        TIFFOpenOptionsSetErrorHandlerExtR(options, OnError, &error_);
        TIFFOpenOptionsSetWarningHandlerExtR(options, OnWarning, nullptr);
        TIFFOpenOptionsSetMaxSingleMemAlloc(options, static_cast<tmsize_t>(allowed_));
        tif_ = TIFFClientOpenExt("TIFF", "r", &input_, ReadInput, RefuseWrite, SeekInput, CloseInput, InputSize,
                                 MapInput, UnmapInput, options);
        TIFFOpenOptionsFree(options);
        if (!tif_) return Refuse(why, "not a readable TIFF");

        uint32_t w = 0, h = 0;
        TIFFGetField(tif_, TIFFTAG_IMAGEWIDTH, &w);
        TIFFGetField(tif_, TIFFTAG_IMAGELENGTH, &h);
        if (!SizeAcceptable(w, h)) {
            why = SizeRefusal(w, h);
            return false;
        }
        uint16_t orientation = ORIENTATION_TOPLEFT;
        TIFFGetFieldDefaulted(tif_, TIFFTAG_ORIENTATION, &orientation);
        if (hints.orientation && orientation >= 1 && orientation <= 8) orientation_ = orientation;
        fileWidth_ = w, fileHeight_ = h;
        format_.width = w, format_.height = h;
        if (!Describe(why)) return false;
        return own_ ? StartOwn(why) : StartRgba(why);
    }

    bool ReadRow(uint8_t* row) override {
        if (!failure_.empty() || next_ >= format_.height) return false;
        const bool ok = own_ ? OwnRow(row) : RgbaRow(row);
        if (!ok) return false;
        ++next_;
        return true;
    }

private:
    bool Refuse(std::string& why, const std::string& what) {
        why = error_.empty() ? what : what + ": " + error_;
        return false;
    }

    // The layout, and whether this file's rows are unpacked here.
    bool Describe(std::string& why) {
        TIFFGetFieldDefaulted(tif_, TIFFTAG_BITSPERSAMPLE, &bits_);
        TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLESPERPIXEL, &spp_);
        TIFFGetFieldDefaulted(tif_, TIFFTAG_PLANARCONFIG, &planar_);
        uint16_t sampleFormat = SAMPLEFORMAT_UINT, compression = COMPRESSION_NONE;
        TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
        TIFFGetFieldDefaulted(tif_, TIFFTAG_COMPRESSION, &compression);
        uint16_t extraCount = 0;
        uint16_t* extraKinds = nullptr;
        TIFFGetFieldDefaulted(tif_, TIFFTAG_EXTRASAMPLES, &extraCount, &extraKinds);
        if (sampleFormat == SAMPLEFORMAT_IEEEFP || sampleFormat == SAMPLEFORMAT_COMPLEXIEEEFP) {
            why = "floating-point samples are not read";
            return false;
        }
        if (sampleFormat == SAMPLEFORMAT_INT || sampleFormat == SAMPLEFORMAT_COMPLEXINT) {
            why = "signed samples are not read";
            return false;
        }
        if (bits_ < 1 || bits_ > 16) {
            why = std::to_string(bits_) + "-bit samples are not read (1 to 16 bits are)";
            return false;
        }
        if (spp_ < 1 || extraCount >= spp_) {
            why = "not a readable TIFF: " + std::to_string(spp_) + " samples a pixel with " +
                  std::to_string(extraCount) + " extra";
            return false;
        }
        colours_ = spp_ - extraCount;
        if (!TIFFGetField(tif_, TIFFTAG_PHOTOMETRIC, &photometric_)) {
            photometric_ = colours_ >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
        }
        // JPEG-compressed YCbCr comes out of libtiff's JPEG codec as RGB when asked.
        if (photometric_ == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG && planar_ == PLANARCONFIG_CONTIG) {
            TIFFSetField(tif_, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
            photometric_ = PHOTOMETRIC_RGB;
        }
        uint16_t inkset = INKSET_CMYK;
        TIFFGetFieldDefaulted(tif_, TIFFTAG_INKSET, &inkset);
        switch (photometric_) {
        case PHOTOMETRIC_MINISWHITE:
        case PHOTOMETRIC_MINISBLACK:
        case PHOTOMETRIC_PALETTE: own_ = true, used_ = 1; break;
        case PHOTOMETRIC_RGB: own_ = colours_ >= 3, used_ = 3; break;
        case PHOTOMETRIC_SEPARATED: own_ = inkset == INKSET_CMYK && colours_ == 4, used_ = 4; break;
        default: own_ = false; break;
        }
        if (!own_) return true;
        // The samples looked at: the colours, then the first extra sample when it is alpha.
        for (uint32_t s = 0; s < used_; ++s) sampleIndex_.push_back(static_cast<uint16_t>(s));
        if (extraCount > 0 && extraKinds && (extraKinds[0] == EXTRASAMPLE_ASSOCALPHA || extraKinds[0] == EXTRASAMPLE_UNASSALPHA)) {
            alpha_ = static_cast<int>(used_);
            associated_ = extraKinds[0] == EXTRASAMPLE_ASSOCALPHA;
            sampleIndex_.push_back(static_cast<uint16_t>(colours_));
            ++used_;
        }
        if (photometric_ == PHOTOMETRIC_PALETTE && !ReadColourMap(why)) return false;
        return true;
    }

    bool ReadColourMap(std::string& why) {
        uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
        if (!TIFFGetField(tif_, TIFFTAG_COLORMAP, &red, &green, &blue) || !red || !green || !blue) {
            why = "not a readable TIFF: a palette picture without a colour map";
            return false;
        }
        const size_t n = size_t{1} << bits_;
        bool eightBit = true;
        for (size_t i = 0; i < n && eightBit; ++i) eightBit = red[i] < 256 && green[i] < 256 && blue[i] < 256;
        const int shift = eightBit ? 0 : 8;
        map_.resize(3 * n);
        for (size_t i = 0; i < n; ++i) {
            map_[3 * i] = static_cast<uint8_t>(blue[i] >> shift);
            map_[3 * i + 1] = static_cast<uint8_t>(green[i] >> shift);
            map_[3 * i + 2] = static_cast<uint8_t>(red[i] >> shift);
        }
        return true;
    }

    bool TooMuch(uint64_t need, std::string& why) {
        if (need <= allowed_) return false;
        why = MemoryRefusal(need, allowed_, reader_.Size());
        return true;
    }

    // Strips or tiles decoded here, one band of them at a time: the strip, or the tiles
    // across, of each plane in use.
    bool StartOwn(std::string& why) {
        const uint32_t w = format_.width, h = format_.height;
        const bool grey = photometric_ == PHOTOMETRIC_MINISBLACK || photometric_ == PHOTOMETRIC_MINISWHITE;
        if (grey) {
            format_ = PixelFormat::Grey8(w, h);
        } else {
            format_.depth = 24;
        }
        separate_ = planar_ == PLANARCONFIG_SEPARATE;
        planes_ = separate_ ? used_ : 1;
        tiled_ = TIFFIsTiled(tif_) != 0;
        uint64_t segmentBytes = 0;
        if (tiled_) {
            TIFFGetField(tif_, TIFFTAG_TILEWIDTH, &segW_);
            TIFFGetField(tif_, TIFFTAG_TILELENGTH, &segH_);
            segmentBytes = TIFFTileSize64(tif_);
            segRowBytes_ = TIFFTileRowSize64(tif_);
        } else {
            uint32_t rows = h;
            TIFFGetFieldDefaulted(tif_, TIFFTAG_ROWSPERSTRIP, &rows);
            segW_ = w;
            segH_ = std::clamp<uint32_t>(rows, 1, h);
            segmentBytes = TIFFStripSize64(tif_);
            segRowBytes_ = TIFFScanlineSize64(tif_);
        }
        if (segW_ == 0 || segH_ == 0 || segmentBytes == 0 || segRowBytes_ == 0) return Refuse(why, "not a readable TIFF");
        across_ = tiled_ ? (w + segW_ - 1) / segW_ : 1;
        // Samples a pixel within one segment row, and that row's length in bits, checked
        // against what libtiff says a row holds.
        perPixel_ = separate_ ? 1 : spp_;
        if (uint64_t{segW_} * perPixel_ * bits_ > segRowBytes_ * 8 || segRowBytes_ * segH_ > segmentBytes)
            return Refuse(why, "not a readable TIFF: unexpected row layout");
        segBytes_ = segmentBytes;
        const uint64_t band = segmentBytes * across_ * planes_;
        const uint64_t tables = (photometric_ == PHOTOMETRIC_PALETTE ? 3 : 1) << bits_;
        if (TooMuch(band + uint64_t{w} * used_ * 2 + tables, why)) return false;
        band_.resize(band);
        samples_.resize(size_t{w} * used_);
        // Every n-bit value in 8 bits.
        const uint32_t max = (1u << bits_) - 1;
        scale_.resize(size_t{max} + 1);
        for (uint32_t v = 0; v <= max; ++v) scale_[v] = static_cast<uint8_t>((v * 255ull + max / 2) / max);
        return true;
    }

    bool LoadBand(uint32_t band) {
        const uint32_t y0 = band * segH_;
        for (uint32_t p = 0; p < planes_; ++p) {
            const uint16_t plane = separate_ ? sampleIndex_[p] : 0;
            for (uint32_t t = 0; t < across_; ++t) {
                uint8_t* at = band_.data() + (size_t{p} * across_ + t) * segBytes_;
                const tmsize_t got =
                    tiled_ ? TIFFReadEncodedTile(tif_, TIFFComputeTile(tif_, t * segW_, y0, 0, plane), at,
                                                 static_cast<tmsize_t>(segBytes_))
                           : TIFFReadEncodedStrip(tif_, TIFFComputeStrip(tif_, y0, plane), at,
                                                  static_cast<tmsize_t>(segBytes_));
                if (got < 0) {
                    failure_ = "corrupt TIFF data at row " + std::to_string(y0) +
                               (error_.empty() ? std::string() : ": " + error_);
                    return false;
                }
                // A strip or tile that ends early leaves the rest as zero, never as the
                // previous band's.
                if (static_cast<uint64_t>(got) < segBytes_) std::memset(at + got, 0, segBytes_ - got);
            }
        }
        loadedBand_ = band;
        return true;
    }

    bool OwnRow(uint8_t* row) {
        const uint32_t r = next_, band = r / segH_;
        if (band != loadedBand_ && !LoadBand(band)) return false;
        const uint32_t w = format_.width, within = r - band * segH_;
        // The samples in use, side by side: samples_[x * used_ + s].
        for (uint32_t p = 0; p < planes_; ++p) {
            for (uint32_t t = 0; t < across_; ++t) {
                const uint8_t* src = band_.data() + (size_t{p} * across_ + t) * segBytes_ + size_t{within} * segRowBytes_;
                const uint32_t x0 = t * segW_, n = std::min(segW_, w - x0);
                for (uint32_t i = 0; i < n; ++i) {
                    const size_t at = (size_t{x0} + i) * used_;
                    const uint64_t first = static_cast<uint64_t>(i) * perPixel_ * bits_;
                    if (separate_) {
                        samples_[at + p] = static_cast<uint16_t>(SampleAt(src, first, bits_));
                        continue;
                    }
                    for (uint32_t s = 0; s < used_; ++s) {
                        const uint64_t bit = first + static_cast<uint64_t>(sampleIndex_[s]) * bits_;
                        samples_[at + s] = static_cast<uint16_t>(SampleAt(src, bit, bits_));
                    }
                }
            }
        }
        Convert(row);
        return true;
    }

    // samples_ to the delivered row: grey, or blue, green, red.
    void Convert(uint8_t* row) const {
        const uint32_t w = format_.width;
        for (uint32_t x = 0; x < w; ++x) {
            const uint16_t* s = samples_.data() + size_t{x} * used_;
            uint8_t c[3];
            switch (photometric_) {
            case PHOTOMETRIC_MINISBLACK: c[0] = scale_[s[0]]; break;
            case PHOTOMETRIC_MINISWHITE: c[0] = static_cast<uint8_t>(255 - scale_[s[0]]); break;
            case PHOTOMETRIC_PALETTE: std::memcpy(c, &map_[3 * size_t{s[0]}], 3); break;
            case PHOTOMETRIC_SEPARATED: {
                const unsigned k = scale_[s[3]];
                c[0] = Ink(scale_[s[2]], k), c[1] = Ink(scale_[s[1]], k), c[2] = Ink(scale_[s[0]], k);
                break;
            }
            default: c[0] = scale_[s[2]], c[1] = scale_[s[1]], c[2] = scale_[s[0]]; break;
            }
            const int n = format_.depth == 8 ? 1 : 3;
            if (alpha_ >= 0) {
                const unsigned a = scale_[s[alpha_]];
                for (int i = 0; i < n; ++i) c[i] = associated_ ? PremultipliedOverWhite(c[i], a) : OverWhite(c[i], a);
            }
            std::memcpy(row + size_t{x} * n, c, n);
        }
    }

    // Through libtiff's RGBA interface, a strip's or a tile row's worth of rows at a time.
    bool StartRgba(std::string& why) {
        char message[1024] = {};
        if (!TIFFRGBAImageOK(tif_, message) || !TIFFRGBAImageBegin(&rgba_, tif_, 1, message)) {
            why = message[0] ? message : "not a readable TIFF";
            return false;
        }
        rgbaStarted_ = true;
        // Rows as stored, top first: no flips.
        rgba_.req_orientation = ORIENTATION_TOPLEFT;
        rgba_.orientation = ORIENTATION_TOPLEFT;
        format_.depth = 24;
        uint64_t decoded = 0;
        if (TIFFIsTiled(tif_)) {
            TIFFGetField(tif_, TIFFTAG_TILELENGTH, &segH_);
            decoded = TIFFTileSize64(tif_);
        } else {
            uint32_t rows = format_.height;
            TIFFGetFieldDefaulted(tif_, TIFFTAG_ROWSPERSTRIP, &rows);
            segH_ = rows;
            decoded = TIFFStripSize64(tif_);
        }
        segH_ = std::clamp<uint32_t>(segH_, 1, format_.height);
        if (planar_ == PLANARCONFIG_SEPARATE) decoded *= spp_;
        if (TooMuch(decoded + uint64_t{format_.width} * segH_ * 4, why)) return false;
        raster_.resize(size_t{format_.width} * segH_);
        return true;
    }

    bool RgbaRow(uint8_t* row) {
        const uint32_t r = next_, band = r / segH_;
        if (band != loadedBand_) {
            const uint32_t y0 = band * segH_, rows = std::min(segH_, format_.height - y0);
            rgba_.row_offset = static_cast<int>(y0);
            rgba_.col_offset = 0;
            if (!TIFFRGBAImageGet(&rgba_, raster_.data(), format_.width, rows)) {
                failure_ = "corrupt TIFF data at row " + std::to_string(y0) +
                           (error_.empty() ? std::string() : ": " + error_);
                return false;
            }
            loadedBand_ = band;
        }
        const uint32_t* p = raster_.data() + size_t{r - band * segH_} * format_.width;
        for (uint32_t x = 0; x < format_.width; ++x) {
            row[3 * x] = static_cast<uint8_t>(TIFFGetB(p[x]));
            row[3 * x + 1] = static_cast<uint8_t>(TIFFGetG(p[x]));
            row[3 * x + 2] = static_cast<uint8_t>(TIFFGetR(p[x]));
        }
        return true;
    }

    FileReader reader_;
    Input input_{nullptr};
    TIFF* tif_ = nullptr;
    std::string error_;
    uint64_t allowed_ = 0;
    uint16_t bits_ = 1, spp_ = 1, planar_ = PLANARCONFIG_CONTIG, photometric_ = PHOTOMETRIC_MINISBLACK;
    uint32_t colours_ = 1;
    bool own_ = false;
    uint32_t used_ = 1;      // samples a pixel that are looked at: the colours, then alpha
    std::vector<uint16_t> sampleIndex_;  // the pixel's sample number of each of them
    int alpha_ = -1;         // where alpha is among them, or -1
    bool associated_ = false;
    std::vector<uint8_t> map_;    // palette: blue, green, red for each index
    std::vector<uint8_t> scale_;  // every sample value in 8 bits
    bool tiled_ = false, separate_ = false;
    uint32_t planes_ = 1;
    uint32_t segW_ = 0, segH_ = 0, across_ = 1, perPixel_ = 1;
    uint64_t segBytes_ = 0, segRowBytes_ = 0;
    std::vector<uint8_t> band_;
    std::vector<uint16_t> samples_;
    uint32_t loadedBand_ = UINT32_MAX;
    TIFFRGBAImage rgba_{};
    bool rgbaStarted_ = false;
    std::vector<uint32_t> raster_;
    uint32_t next_ = 0;
};

}  // namespace

std::unique_ptr<RowSource> OpenTiff(PictureBytes bytes, const PictureHints& hints, std::string& why) {
    auto source = std::make_unique<TiffSource>(bytes);
    if (!source->Open(hints, why)) return nullptr;
    return source;
}

}  // namespace qpimg
