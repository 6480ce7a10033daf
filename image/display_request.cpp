// Validated display refresh: refuse empty or negative rectangles, fit the rectangle to
// the panel with a message for every change, map the wait selection.
#include <cstring>

#include "commands/commands.h"
#include "image/image.h"
#include "link/device_state.h"
#include "link/report.h"

uint8_t RequestDisplayArea(int32_t x, int32_t y, int32_t w, int32_t h, int32_t mode, const char* waitSelection) {
    if (x < 0 || y < 0 || w <= 0 || h <= 0 || mode < 0) {
        Say("Wrong argument! Too tiny size or negative number.\r\n");
        EndRun(-1);
    }
    uint32_t ux = static_cast<uint32_t>(x), uy = static_cast<uint32_t>(y);
    uint32_t uw = static_cast<uint32_t>(w), uh = static_cast<uint32_t>(h);
    const uint32_t Pw = g_DeviceState.PanelWidth, Ph = g_DeviceState.PanelHeight;

    if (uw > Pw) {
        uw = Pw;
        Say("Width limitation: %d\r\n", static_cast<int>(Pw));
    }
    if (uh > Ph) {
        uh = Ph;
        Say("Height limitation: %d\r\n", static_cast<int>(Ph));
    }
    if (ux + uw > Pw) {
        ux = 0;
        Say("Out of panel width! Set X to 0.\r\n");
    }
    if (uy + uh > Ph) {
        uy = 0;
        Say("Out of panel height! Set Y to 0.\r\n");
    }

    uint32_t enWait;
    if (std::strcmp(waitSelection, kNoWaitSelection) == 0) {
        enWait = 0;
    } else if (std::strcmp(waitSelection, kWaitSelection) == 0) {
        enWait = 1;
    } else {
        Say("Incorrect waiting selection.\r\n");
        EndRun(-1);
    }
    return DisplayArea(ux, uy, uw, uh, static_cast<uint32_t>(mode), ImageBufferAddress(), enWait);
}
