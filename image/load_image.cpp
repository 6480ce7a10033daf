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
#include <cstdio>
#include <cstring>
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

// Decodes the picture that open(panelW, panelH, why) gives into `out`; returns the size
// delivered, 0 x 0 when nothing was (`why` then says why).
template <typename Open>
void DecodeInto(Open open, uint8_t* out, uint32_t panelW, uint32_t panelH, uint32_t& w, uint32_t& h,
                std::string& why) {
    w = h = 0;
    if (panelW == 0 || panelH == 0) {
        why = "the panel size is " + std::to_string(panelW) + " x " + std::to_string(panelH);
        return;
    }
    std::unique_ptr<qpimg::RowSource> source = open(panelW, panelH, why);
    if (!source) return;
    const qpimg::PixelFormat f = source->Format();
    uint32_t width = source->FileWidth(), height = source->FileHeight();
    const bool fit = width > panelW || height > panelH;
    if (fit && uint64_t{f.width} * f.height >= kPrefetchPixels) source = qpimg::Prefetched(std::move(source));

    if (fit) {
        // Fit: both sides become the panel's, whichever was exceeded; the aspect ratio
        // is not kept. The stretched colours then go through the grey rule.
        width = panelW, height = panelH;
        qpimg::AreaResampler resampler(*source, width, height);
        std::vector<uint8_t> line(size_t{width} * resampler.Channels());
        for (uint32_t r = 0; r < height; ++r) {
            uint8_t* dst = out + size_t{r} * width;
            if (resampler.Channels() == 1) {
                if (!resampler.NextRow(dst)) break;
            } else {
                if (!resampler.NextRow(line.data())) break;
                qpimg::GreyRow(line.data(), 3, dst, width);
            }
            if (r + 1 == height) w = width, h = height;
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
            RowToGrey(f, p, indexGrey, scratch, out + size_t{r} * width);
        }
        if (r == height) w = width, h = height;
    }
    if (w == 0) why = source->Failure().empty() ? "the decoder stopped early" : source->Failure();
}

// The decode step into HostImageBuffer and the loaded size; false, with the reason in
// `why`, when nothing came.
template <typename Open>
bool DecodeToHostBuffer(Open open, std::string& why) {
    if (!g_DeviceState.HostImageBuffer) {
        Say("Error: no image buffer to decode into (allocation failed at start-up)\n");
        EndRun(-1, RunError::kNoMemory);
    }
    uint32_t w = 0, h = 0;
    DecodeInto(open, g_DeviceState.HostImageBuffer, g_DeviceState.PanelWidth, g_DeviceState.PanelHeight, w, h, why);
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

void DecodeImageToGrey(const char* path) {
    std::string why;
    const auto openFile = [&](uint32_t panelW, uint32_t panelH, std::string& reason) {
        return qpimg::OpenImage(path, panelW, panelH, reason);
    };
    if (DecodeToHostBuffer(openFile, why)) return;
    Warn("qp7730: %s: %s\n", path, why.c_str());
    Say("Error: wrong size of loaded file\n");
    EndRun(-1, Readable(path) ? RunError::kNoPicture : RunError::kFileUnreadable);
}

void DecodePixelsToGrey(const uint8_t* pixels, uint32_t width, uint32_t height, size_t stride, PixelLayout layout) {
    std::string why;
    const auto openPixels = [&](uint32_t, uint32_t, std::string& reason) {
        return qpimg::OpenPixels(pixels, width, height, stride, layout, reason);
    };
    if (DecodeToHostBuffer(openPixels, why)) return;
    Warn("qp7730: the picture in memory: %s\n", why.c_str());
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
