// Moves a rectangle of grey pixels into the controller frame, in chunks of whole rows
// of at most 61,440 bytes, choosing the command by the rectangle's width.
#include "commands/commands.h"
#include "image/image.h"
#include "link/device_state.h"

namespace {
constexpr uint32_t kLoadAreaMaxWidth = 2048;
}

bool TransferImageArea(const uint8_t* source, uint32_t base, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
    // A width of 0 has no rows per chunk and one above the budget no whole row per
    // chunk: nothing can be sent for them.
    if (w == 0 || w > kChunkBudget) return false;
    const uint32_t P = g_DeviceState.PanelWidth;
    const uint32_t R = kChunkBudget / w;
    bool ok = true;

    if (w > kLoadAreaMaxWidth && w != P) {
        // Rows of such an area are not consecutive in the frame: each row goes to its own
        // address at the frame's pitch.
        for (uint32_t row = 0; row < h; ++row)
            ok &= WriteMemory(base + (y + row) * P + x, static_cast<uint16_t>(w), source + size_t{row} * w) != 0;
        return ok;
    }

    const bool writeMemoryPath = w == P;
    for (uint32_t row = 0; row < h; row += R) {
        const uint32_t rows = h - row < R ? h - row : R;
        const uint8_t* data = source + size_t{row} * w;
        if (writeMemoryPath) {
            ok &= WriteMemory(base + (y + row) * P + x, static_cast<uint16_t>(w * rows), data) != 0;
        } else {
            LdImgInfo stLdImgInfo{base, x, y + row, w, rows};
            ok &= LoadImageArea(stLdImgInfo, data) != 0;
        }
    }
    return ok;
}
