// The image pipeline: loading a picture file, moving pixel areas into controller memory,
// and validated display requests.
#pragma once
#include <cstddef>
#include <cstdint>

// "-load FILE": admit the file by type, decode it to grey in HostImageBuffer (fitted to
// the panel), report, and send it to the image buffer at (0, 0).
void LoadImageFile(const char* path);

// How the decode step fits a picture. The defaults are the tool's rule; the others are
// for the library, which offers them to programs (the tool itself never uses them).
enum class FitMode {
    kStretch,  // larger than the panel in either direction: stretched to the panel's size
               // (aspect not kept); otherwise kept at its own size
    kContain,  // scaled up or down, aspect kept, to the largest size inside the box
    kCover,    // scaled up or down, aspect kept, to cover the box, and cut to it around the centre
};
struct FitOptions {
    FitMode mode = FitMode::kStretch;
    // Turn the picture upright as its EXIF orientation says (JPEG and PNG files), before
    // it is fitted.
    bool orient = false;
    // Then turned this many quarter turns clockwise (0 to 3), then mirrored left to right
    // when `mirror`: for panels mounted turned or behind a mirror. Applies to pictures in
    // memory too, and before the fit (the box is filled by the turned picture).
    uint32_t quarterTurns = 0;
    bool mirror = false;
    // The box of kContain and kCover (at most the panel's size); 0: the panel's size.
    uint32_t boxWidth = 0, boxHeight = 0;
};

// The decode step: fills HostImageBuffer and the loaded size, or ends the run. The loaded
// picture, w x h, lies at pitch w.
void DecodeImageToGrey(const char* path);
void DecodeImageToGrey(const char* path, const FitOptions& fit);
// The same for the bytes of a picture file held in memory, read by the same decoders
// within the same bounds.
void DecodeBytesToGrey(const uint8_t* data, size_t size, const FitOptions& fit);

// Layouts of caller pictures in memory, one pixel after the other within a row.
enum class PixelLayout {
    kGrey8,   // one byte of grey
    kRgb24,   // red, green, blue
    kRgba32,  // red, green, blue, alpha (laid over white)
    kBgr24,   // blue, green, red
    kBgra32,  // blue, green, red, alpha (laid over white)
};
inline size_t PixelBytes(PixelLayout layout) {
    return layout == PixelLayout::kGrey8 ? 1 : layout == PixelLayout::kRgb24 || layout == PixelLayout::kBgr24 ? 3 : 4;
}
// The decode step for a picture in memory: the same fit and grey conversion as a decoded
// file, into HostImageBuffer and the loaded size, or the run ends.
void DecodePixelsToGrey(const uint8_t* pixels, uint32_t width, uint32_t height, size_t stride, PixelLayout layout,
                        const FitOptions& fit = {});

// Moves a w x h rectangle of 8-bit grey (row pitch w) into the controller frame at
// (x, y), base being the controller's image buffer address. True when every command
// succeeded.
constexpr uint32_t kChunkBudget = 0xF000;  // 61,440 pixel bytes per command
bool TransferImageArea(const uint8_t* source, uint32_t base, uint32_t x, uint32_t y, uint32_t w, uint32_t h);

// The part of the W x H rectangle at (X, Y) that lies on the panel. A rectangle with a
// negative corner or an empty side is refused (message, run ended); one reaching past
// the panel's right or bottom edge is cut there. False when nothing of it is on the
// panel.
struct PanelArea {
    uint32_t x, y, w, h;
};
bool ClipAreaToPanel(int32_t X, int32_t Y, int32_t W, int32_t H, PanelArea& area);

// "-load PIXEL X Y W H": fills the rectangle, cut to the panel, with one grey value.
// True when every command succeeded (also when nothing was on the panel).
bool FillImageArea(uint8_t pixel, int32_t X, int32_t Y, int32_t W, int32_t H);

// Sends a W x H grey picture whose rows lie `pitch` bytes apart to (X, Y), cut to the
// panel like the fill. `placed` (may be null) receives what was sent.
bool PlaceImageArea(const uint8_t* pixels, size_t pitch, int32_t X, int32_t Y, int32_t W, int32_t H,
                    PanelArea* placed);

// "-display": validate and clamp the rectangle, map the wait selection, refresh. Returns
// the refresh command's result.
constexpr const char* kWaitSelection = "-wait";
constexpr const char* kNoWaitSelection = "-nowait";
uint8_t RequestDisplayArea(int32_t x, int32_t y, int32_t w, int32_t h, int32_t mode, const char* waitSelection);
