// "-load FILE": decode a picture to 8-bit grey in HostImageBuffer, fitted to the panel,
// and send it to the controller's image buffer at (0, 0).
//
// The picture is streamed: rows come from the decoder one at a time, are stretched on
// the way when the picture is larger than the panel, and are converted to grey straight
// into HostImageBuffer. Decoders hold a few rows, except where a format needs the whole
// picture before its first row (multi-scan JPEGs, interlaced PNGs), and then only within
// the memory the file's size allows (qpimg::MemoryAllowed). Large pictures are decoded
// on a second thread while this one stretches and converts the rows before.
//
// When a file yields no picture, the reason (the file is missing, is no picture, declares
// a size or asks for memory or work that is refused, is corrupt at some row) goes to
// standard error; standard output carries only the usual lines.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "image/grey.h"
#include "image/image.h"
#include "image/image_service.h"
#include "image/pixel_source.h"
#include "link/device_state.h"
#include "link/report.h"
#include "platform/platform.h"

namespace {

bool SupportedFileType(const char* path) {
    const char* dot = strrchr(path, '.');
    return dot && (strcmp(dot, ".rip") == 0 || strcmp(dot, ".bmp") == 0 || strcmp(dot, ".jpg") == 0);
}

// Converts one decoded row at its own size to grey.
//  - 4 bits: each packed value v becomes v x 16, high nibble first; the palette is not
//    consulted.
//  - 1, 2 and 8 bits: each index goes through its palette colour and the grey rule
//    (`indexGrey` holds the result for each index).
//  - 24 and 32 bits: the grey rule on blue, green, red.
void RowToGrey(const qpimg::PixelFormat& f, const uint8_t* row, const uint8_t* indexGrey,
               std::vector<uint8_t>& scratch, uint8_t* dst) {
    const uint32_t w = f.width;
    switch (f.depth) {
    case 4:
        for (uint32_t k = 0; k < w / 2; ++k) {
            dst[2 * k] = row[k] & 0xF0;
            dst[2 * k + 1] = static_cast<uint8_t>(row[k] << 4);
        }
        if (w & 1) dst[w - 1] = row[w / 2] & 0xF0;
        break;
    case 1:
    case 2:
    case 8:
        qpimg::UnpackIndices(row, f.depth, w, scratch.data());
        for (uint32_t x = 0; x < w; ++x) dst[x] = indexGrey[scratch[x]];
        break;
    case 24:
        qpimg::GreyRow(row, 3, dst, w);
        break;
    default:
        qpimg::GreyRow(row, 4, dst, w);
        break;
    }
}

// Pictures to be fitted of at least this many decoded pixels are decoded on a second
// thread while this one stretches the rows before.
constexpr uint64_t kPrefetchPixels = 256 * 1024;

// A rectangle of another source's delivered pixels, as 8-bit grey (grey pictures) or blue,
// green, red rows, taken as a picture of its own (the cover fit's cut).
class CutSource final : public qpimg::RowSource {
public:
    CutSource(qpimg::RowSource& inner, uint32_t x, uint32_t y, uint32_t w, uint32_t h)
        : inner_(inner), x_(x), y_(y) {
        const qpimg::PixelFormat& f = inner.Format();
        channels_ = f.IsIndexed() && f.GreyPalette() ? 1 : 3;
        if (channels_ == 1) {
            format_ = qpimg::PixelFormat::Grey8(w, h);
        } else {
            format_.width = w, format_.height = h, format_.depth = 24;
        }
        fileWidth_ = w, fileHeight_ = h;
        raw_.resize(qpimg::RowBytes(f.width, f.depth));
        colours_.resize(size_t{f.width} * channels_);
    }
    bool ReadRow(uint8_t* row) override {
        for (; skipped_ < y_; ++skipped_)
            if (!inner_.NextRowAddress(raw_.data())) return false;
        const uint8_t* p = inner_.NextRowAddress(raw_.data());
        if (!p) return false;
        qpimg::RowToColours(inner_.Format(), channels_, p, colours_.data());
        std::memcpy(row, colours_.data() + size_t{x_} * channels_, size_t{format_.width} * channels_);
        return true;
    }
    std::string Failure() const override { return inner_.Failure(); }

private:
    qpimg::RowSource& inner_;
    uint32_t x_, y_, skipped_ = 0;
    int channels_ = 3;
    std::vector<uint8_t> raw_, colours_;
};

// a b / c rounded to nearest (c > 0), at least 1.
uint32_t Scaled(uint64_t a, uint64_t b, uint64_t c) { return static_cast<uint32_t>(std::max<uint64_t>((2 * a * b + c) / (2 * c), 1)); }

// What the fit does with a picture of W x H file pixels, delivered as dw x dh, for a box
// of bw x bh (all in the picture's stored orientation): the size it comes out at, and
// the rectangle of delivered pixels taken (the whole picture unless it is cut).
struct FitPlan {
    uint32_t width = 0, height = 0;
    bool resample = false;
    bool cut = false;
    uint32_t cutX = 0, cutY = 0, cutW = 0, cutH = 0;
};

FitPlan PlanFit(FitMode mode, uint32_t W, uint32_t H, uint32_t dw, uint32_t dh, uint32_t bw, uint32_t bh) {
    FitPlan plan;
    const bool wider = uint64_t{W} * bh >= uint64_t{H} * bw;  // than the box, in proportion
    switch (mode) {
    case FitMode::kStretch:
        plan.resample = W > bw || H > bh;
        plan.width = plan.resample ? bw : W;
        plan.height = plan.resample ? bh : H;
        return plan;
    case FitMode::kContain:
        plan.width = wider ? bw : std::min(Scaled(W, bh, H), bw);
        plan.height = wider ? std::min(Scaled(H, bw, W), bh) : bh;
        break;
    case FitMode::kCover: {
        plan.width = bw, plan.height = bh;
        // The part of the picture in the box's proportion, around the centre.
        const uint32_t keepW = wider ? std::min(Scaled(H, bw, bh), W) : W;
        const uint32_t keepH = wider ? H : std::min(Scaled(W, bh, bw), H);
        if (keepW != W || keepH != H) {
            plan.cut = true;
            plan.cutW = std::min(Scaled(keepW, dw, W), dw);
            plan.cutH = std::min(Scaled(keepH, dh, H), dh);
            plan.cutX = (dw - plan.cutW) / 2;
            plan.cutY = (dh - plan.cutH) / 2;
        }
        break;
    }
    }
    // A picture that comes out at its own size is taken as the tool takes it.
    plan.resample = plan.cut || plan.width != W || plan.height != H;
    return plan;
}

// Writes the w x h picture `stored` (pitch w) into `out` turned upright as EXIF
// orientation o says: 2 mirrored, 3 turned half round, 4 flipped, 5 transposed, 6 turned a
// quarter clockwise, 7 transversed, 8 a quarter anticlockwise. Orientations 5 to 8
// exchange width and height.
void Orient(const uint8_t* stored, uint32_t w, uint32_t h, uint32_t o, uint8_t* out) {
    const bool turned = o >= 5;
    const uint32_t ow = turned ? h : w, oh = turned ? w : h;
    // Where upright pixel (X, Y) is stored: each coordinate is X, Y or one of them counted
    // from the far side.
    const bool mirrorX = o == 2 || o == 3 || o == 7 || o == 8;  // stored x counts from the right
    const bool mirrorY = o == 3 || o == 4 || o == 6 || o == 7;  // stored y counts from the bottom
    for (uint32_t Y = 0; Y < oh; ++Y) {
        uint8_t* row = out + size_t{Y} * ow;
        for (uint32_t X = 0; X < ow; ++X) {
            const uint32_t along = turned ? Y : X, across = turned ? X : Y;
            const uint32_t sx = mirrorX ? w - 1 - along : along;
            const uint32_t sy = mirrorY ? h - 1 - across : across;
            row[X] = stored[static_cast<size_t>(sy) * w + sx];
        }
    }
}

// The orientation (as EXIF numbers it) that turns a picture as `first` does and then as
// `then` does. Worked out on a 3 x 2 picture of distinct values rather than from a table:
// it is the one orientation that gives the same result in one step.
uint32_t Composed(uint32_t first, uint32_t then) {
    const uint8_t stored[6] = {0, 1, 2, 3, 4, 5};
    uint8_t once[6], twice[6], direct[6];
    Orient(stored, 3, 2, first, once);
    const bool turned = first >= 5;
    Orient(once, turned ? 2 : 3, turned ? 3 : 2, then, twice);
    for (uint32_t o = 1; o <= 8; ++o) {
        Orient(stored, 3, 2, o, direct);
        if (memcmp(direct, twice, sizeof direct) == 0) return o;
    }
    return 1;  // not reached: the eight orientations are closed under composition
}

// The whole turn of a picture whose own orientation is `exif`: upright, then the fit's
// quarter turns clockwise (orientations 6, 3 and 8 turn by one, two and three), then its
// mirror (orientation 2).
uint32_t Turn(uint32_t exif, const FitOptions& fit) {
    static const uint32_t kQuarterTurns[4] = {1, 6, 3, 8};
    uint32_t o = Composed(exif, kQuarterTurns[fit.quarterTurns % 4]);
    return fit.mirror ? Composed(o, 2) : o;
}

// Decodes the picture that open(hints, why) gives into `out` (room for the panel),
// fitted as `fit` says; returns the size delivered, 0 x 0 when nothing was (`why` then
// says why).
template <typename Open>
void DecodeInto(Open open, uint8_t* out, uint32_t panelW, uint32_t panelH, const FitOptions& fit, uint32_t& w,
                uint32_t& h, std::string& why) {
    w = h = 0;
    if (panelW == 0 || panelH == 0) {
        why = "the panel size is " + std::to_string(panelW) + " x " + std::to_string(panelH);
        return;
    }
    const bool boxed = fit.mode != FitMode::kStretch;
    const uint32_t boxW = boxed && fit.boxWidth != 0 ? std::min(fit.boxWidth, panelW) : panelW;
    const uint32_t boxH = boxed && fit.boxHeight != 0 ? std::min(fit.boxHeight, panelH) : panelH;
    // Turned pictures exchange the sides: a reduced JPEG scale must do for either.
    const uint32_t hint = std::max(boxW, boxH);
    const bool mayTurn = fit.orient || fit.quarterTurns % 2 == 1;
    const qpimg::PictureHints hints{mayTurn ? hint : boxW, mayTurn ? hint : boxH, fit.orient};
    std::unique_ptr<qpimg::RowSource> source = open(hints, why);
    if (!source) return;
    const uint32_t o = Turn(fit.orient ? source->Orientation() : 1, fit);
    const bool turned = o >= 5;
    const qpimg::PixelFormat f = source->Format();
    const FitPlan plan = PlanFit(fit.mode, source->FileWidth(), source->FileHeight(), f.width, f.height,
                                 turned ? boxH : boxW, turned ? boxW : boxH);
    const uint32_t width = plan.width, height = plan.height;
    if (plan.resample && uint64_t{f.width} * f.height >= kPrefetchPixels) source = qpimg::Prefetched(std::move(source));

    // Orientations other than 1 are decoded as stored first, then turned into `out`.
    std::vector<uint8_t> stored;
    if (o != 1) stored.resize(size_t{width} * height);
    uint8_t* const target = o != 1 ? stored.data() : out;
    bool complete = false;
    if (plan.resample) {
        // Fit: the stretched colours go through the grey rule.
        std::unique_ptr<qpimg::RowSource> cut;
        if (plan.cut) cut = std::make_unique<CutSource>(*source, plan.cutX, plan.cutY, plan.cutW, plan.cutH);
        qpimg::AreaResampler resampler(cut ? *cut : *source, width, height);
        std::vector<uint8_t> line(size_t{width} * resampler.Channels());
        for (uint32_t r = 0; r < height; ++r) {
            uint8_t* dst = target + size_t{r} * width;
            if (resampler.Channels() == 1) {
                if (!resampler.NextRow(dst)) break;
            } else {
                if (!resampler.NextRow(line.data())) break;
                qpimg::GreyRow(line.data(), 3, dst, width);
            }
            if (r + 1 == height) complete = true;
        }
    } else {
        // At its own size (never enlarged), packed at pitch `width`.
        uint8_t indexGrey[256] = {};
        for (uint32_t i = 0; i < f.paletteSize; ++i)
            indexGrey[i] = qpimg::GreyOf(f.palette[i][0], f.palette[i][1], f.palette[i][2]);
        std::vector<uint8_t> row(qpimg::RowBytes(width, f.depth));
        std::vector<uint8_t> scratch(width);
        uint32_t r = 0;
        for (; r < height; ++r) {
            const uint8_t* p = source->NextRowAddress(row.data());
            if (!p) break;
            RowToGrey(f, p, indexGrey, scratch, target + size_t{r} * width);
        }
        complete = r == height;
    }
    if (!complete) {
        why = source->Failure().empty() ? "the decoder stopped early" : source->Failure();
        return;
    }
    if (o != 1) Orient(stored.data(), width, height, o, out);
    w = turned ? height : width;
    h = turned ? width : height;
}

// The decode step into HostImageBuffer and the loaded size; false, with the reason in
// `why`, when nothing came.
template <typename Open>
bool DecodeToHostBuffer(Open open, const FitOptions& fit, std::string& why) {
    if (!g_DeviceState.HostImageBuffer) {
        Say("Error: no image buffer to decode into (allocation failed at start-up)\n");
        Explain("no image buffer to decode into (its allocation failed when the controller was opened)");
        EndRun(-1, RunError::kNoMemory);
    }
    uint32_t w = 0, h = 0;
    DecodeInto(open, g_DeviceState.HostImageBuffer, g_DeviceState.PanelWidth, g_DeviceState.PanelHeight, fit, w, h,
               why);
    g_DeviceState.LoadedWidth = w;
    g_DeviceState.LoadedHeight = h;
    return w != 0 && h != 0;
}

// True when the path opens for reading, whatever it names.
bool Readable(const char* path) {
    bool notRegular = false;
    const int fd = OpenFileForReading(path, &notRegular);
    if (fd >= 0) CloseFile(fd);
    return fd >= 0 || notRegular;
}

}  // namespace

void DecodeImageToGrey(const char* path) { DecodeImageToGrey(path, FitOptions{}); }

void DecodeImageToGrey(const char* path, const FitOptions& fit) {
    std::string why;
    const auto openFile = [&](const qpimg::PictureHints& hints, std::string& reason) {
        return qpimg::OpenImage(path, hints, reason);
    };
    if (DecodeToHostBuffer(openFile, fit, why)) return;
    Warn("qp7730: %s: %s\n", path, why.c_str());
    Say("Error: wrong size of loaded file\n");
    Explain("%s: %s", path, why.c_str());
    EndRun(-1, Readable(path) ? RunError::kNoPicture : RunError::kFileUnreadable);
}

void DecodeBytesToGrey(const uint8_t* data, size_t size, const FitOptions& fit) {
    std::string why;
    const auto openBytes = [&](const qpimg::PictureHints& hints, std::string& reason) {
        return qpimg::OpenImageBytes(data, size, hints, reason);
    };
    if (DecodeToHostBuffer(openBytes, fit, why)) return;
    Warn("qp7730: the picture's bytes: %s\n", why.c_str());
    Explain("the picture's %s bytes: %s", std::to_string(size).c_str(), why.c_str());
    EndRun(-1, RunError::kNoPicture);
}

void DecodePixelsToGrey(const uint8_t* pixels, uint32_t width, uint32_t height, size_t stride, PixelLayout layout,
                        const FitOptions& fit) {
    std::string why;
    const auto openPixels = [&](const qpimg::PictureHints&, std::string& reason) {
        return qpimg::OpenPixels(pixels, width, height, stride, layout, reason);
    };
    if (DecodeToHostBuffer(openPixels, fit, why)) return;
    Warn("qp7730: the picture in memory: %s\n", why.c_str());
    Explain("the picture in memory: %s", why.c_str());
    EndRun(-1, RunError::kNoPicture);
}

void LoadImageFile(const char* path) {
    if (!SupportedFileType(path)) {
        Say("File type not supported! \r\n");
        return;
    }
    Say("Load image: %s\r\n", path);
    const uint32_t t0 = TickCountMs();
    Say("Decoding image file: %s ...\r\n", path);
    DecodeImageToGrey(path);
    Say("Decode image time = %d \r\n", static_cast<int>(TickCountMs() - t0));
    Say("Loaded file: W, H = %d, %d\n", static_cast<int>(g_DeviceState.LoadedWidth),
        static_cast<int>(g_DeviceState.LoadedHeight));
    const uint32_t t1 = TickCountMs();
    Say("Sending image file to device..\r\n");
    TransferImageArea(g_DeviceState.HostImageBuffer, ImageBufferAddress(), 0, 0, g_DeviceState.LoadedWidth,
                      g_DeviceState.LoadedHeight);
    Say("Send image time = %d \r\n", static_cast<int>(TickCountMs() - t1));
    g_DeviceState.LoadedWidth = 0;
    g_DeviceState.LoadedHeight = 0;
}
