// Caller pictures held in memory, handed to the image pipeline as if a decoder delivered
// them, so that they are fitted and converted to grey exactly like a picture file.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "image/image.h"
#include "image/image_service.h"

namespace qpimg {

// The rows of a width x height picture whose rows start `stride` bytes apart. Null, with
// the reason in `why`, when the size is one the decoders refuse. The pixels are read, not
// copied: they must stay in place while the source is used.
std::unique_ptr<RowSource> OpenPixels(const uint8_t* pixels, uint32_t width, uint32_t height, size_t stride,
                                      PixelLayout layout, std::string& why);

}  // namespace qpimg
