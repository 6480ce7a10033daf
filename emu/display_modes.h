// The controller's display modes (the mode word of the display command 0x94) and the grey
// levels each leaves on the panel: the emulator keeps on its panel only what the mode can
// show, and the library dithers pictures to the same levels. The one table of both; a mode
// that is not in it is no mode of the controller's, and the emulator refuses it.
//
// A 16-level mode keeps the upper four bits of a buffer value v and shows (v >> 4) * 17, so
// the levels are 0, 17, 34, ..., 255 and a value k * 17 shows as it is; a 2-level mode
// shows black below 128 and white from 128 on.
#pragma once
#include <cstddef>
#include <cstdint>

struct DisplayMode {
    uint32_t number;   // the mode word of 0x94
    const char* name;  // short name, for messages and the live panel
    // Grey levels the panel keeps: 16, 2, or 0 when the rectangle turns white whatever the
    // image buffer holds.
    uint32_t levels;
    const char* use;   // what the mode is for, one line
};

inline constexpr DisplayMode kDisplayModes[] = {
    // 0: white, the full flashing update; the buffer is not looked at.
    {0, "clear", 0, "full flashing update to white: after power-up, against ghosting"},
    // 1: two levels without flashing, quick.
    {1, "fast", 2, "quick, no flashing: text, menus, a clock"},
    // 2: 16 levels with a full flashing update; the library's and the tool's usual mode.
    {2, "full", 16, "full flashing update, the cleanest greys: pictures"},
    // 3: 16 levels without flashing.
    {3, "partial", 16, "no flashing, some ghosting: a changed part of a picture"},
    // 4: two levels, the quickest update there is.
    {4, "animation", 2, "the quickest, ghosting builds up: pen strokes, animation"},
};

inline constexpr size_t kDisplayModeCount = sizeof kDisplayModes / sizeof kDisplayModes[0];

// The mode of that number; null when the controller has none.
constexpr const DisplayMode* FindDisplayMode(uint32_t number) {
    for (const DisplayMode& mode : kDisplayModes) {
        if (mode.number == number) return &mode;
    }
    return nullptr;
}

// The grey that a buffer value v shows on the panel after a refresh in `mode`.
constexpr uint8_t ShownGrey(const DisplayMode& mode, uint8_t v) {
    if (mode.levels == 0) return 255;
    if (mode.levels == 2) return v < 128 ? 0 : 255;
    return static_cast<uint8_t>((v >> 4) * 17);
}
