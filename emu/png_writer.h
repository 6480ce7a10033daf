// 8-bit grey pictures as PNG: encoded into memory, and files replaced atomically: the
// bytes go to a temporary file beside the target, which is then renamed over it, so a
// reader never sees half a file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace emu {

// pixels: width x height bytes, row after row. Returns false and sets *error on failure.
bool EncodeGreyPng(const uint8_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>* png,
                   std::string* error);

// Replaces path with bytes. Returns false and sets *error on failure; the target is then
// left as it was.
bool ReplaceFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);

}  // namespace emu
