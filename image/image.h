// The image pipeline: loading a picture file, moving pixel areas into controller memory,
// and validated display requests.
#pragma once
#include <cstdint>

// "-load FILE": admit the file by type, decode it to grey in HostImageBuffer (fitted to
// the panel), report, and send it to the image buffer at (0, 0).
void LoadImageFile(const char* path);
// The decode step: fills HostImageBuffer and the loaded size, or ends the run.
void DecodeImageToGrey(const char* path);

// Moves a w x h rectangle of 8-bit grey (row pitch w) into the controller frame at
// (x, y), base being the controller's image buffer address.
constexpr uint32_t kChunkBudget = 0xF000;  // 61,440 pixel bytes per command
void TransferImageArea(const uint8_t* source, uint32_t base, uint32_t x, uint32_t y, uint32_t w, uint32_t h);

// "-display": validate and clamp the rectangle, map the wait selection, refresh.
void RequestDisplayArea(int32_t x, int32_t y, int32_t w, int32_t h, int32_t mode, const char* waitSelection);
