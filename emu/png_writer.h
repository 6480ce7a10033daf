// Writes 8-bit grey pictures as PNG files, atomically: the picture goes to a temporary
// file beside the target, which is then renamed over it, so a reader never sees half a file.
#pragma once
#include <cstdint>
#include <string>

namespace emu {

// pixels: width x height bytes, row after row. Returns false and sets *error on failure;
// the target is then left as it was.
bool WriteGreyPng(const std::string& path, const uint8_t* pixels, uint32_t width, uint32_t height,
                  std::string* error);

}  // namespace emu
