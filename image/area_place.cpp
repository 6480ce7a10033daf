// Rectangles placed on the panel: the solid fill and caller pictures, each cut to the
// panel and handed to the area transfer. (Apart from area_transfer.cpp, so that the
// image tests can stand in for the transfer alone.)
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "image/image.h"
#include "link/device_state.h"
#include "link/report.h"

bool ClipAreaToPanel(int32_t X, int32_t Y, int32_t W, int32_t H, PanelArea& area) {
    if (X < 0 || Y < 0 || W <= 0 || H <= 0) {
        Say("Wrong argument! Too tiny size or negative number.\r\n");
        EndRun(-1);
    }
    const uint32_t Pw = g_DeviceState.PanelWidth, Ph = g_DeviceState.PanelHeight;
    area.x = static_cast<uint32_t>(X);
    area.y = static_cast<uint32_t>(Y);
    area.w = area.x >= Pw ? 0 : std::min<uint32_t>(static_cast<uint32_t>(W), Pw - area.x);
    area.h = area.y >= Ph ? 0 : std::min<uint32_t>(static_cast<uint32_t>(H), Ph - area.y);
    return area.w != 0 && area.h != 0;
}

bool FillImageArea(uint8_t pixel, int32_t X, int32_t Y, int32_t W, int32_t H) {
    PanelArea a{};
    if (!ClipAreaToPanel(X, Y, W, H, a)) return true;
    std::vector<uint8_t> fill;
    try {
        fill.assign(size_t{a.w} * a.h, pixel);
    } catch (const std::bad_alloc&) {
        Say("Fill buffer allocate failed!\n");
        EndRun(-1, RunError::kNoMemory);
    }
    return TransferImageArea(fill.data(), ImageBufferAddress(), a.x, a.y, a.w, a.h);
}

bool PlaceImageArea(const uint8_t* pixels, size_t pitch, int32_t X, int32_t Y, int32_t W, int32_t H,
                    PanelArea* placed) {
    PanelArea a{};
    const bool onPanel = ClipAreaToPanel(X, Y, W, H, a);
    if (placed) *placed = onPanel ? a : PanelArea{a.x, a.y, 0, 0};
    if (!onPanel) return true;
    if (pitch == a.w) return TransferImageArea(pixels, ImageBufferAddress(), a.x, a.y, a.w, a.h);

    // Rows cut at the right edge, or held at another pitch: packed first.
    std::vector<uint8_t> packed;
    try {
        packed.resize(size_t{a.w} * a.h);
    } catch (const std::bad_alloc&) {
        EndRun(-1, RunError::kNoMemory);
    }
    for (uint32_t r = 0; r < a.h; ++r) std::memcpy(packed.data() + size_t{r} * a.w, pixels + r * pitch, a.w);
    return TransferImageArea(packed.data(), ImageBufferAddress(), a.x, a.y, a.w, a.h);
}
