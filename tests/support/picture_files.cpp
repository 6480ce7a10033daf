#include "tests/support/picture_files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace imgtest {

namespace {

void Put16(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}
void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

}  // namespace

std::vector<uint8_t> MakeBmp(const BmpSpec& s) {
    const bool core = s.headerSize == 12;
    const size_t entry = core ? 3 : 4;
    const bool masksAfter = s.headerSize == 40 && !s.masks.empty();
    const size_t paletteAt = 14 + s.headerSize + (masksAfter ? 4 * s.masks.size() : 0);
    const size_t dataAt = s.pixelOffset >= 0 ? static_cast<size_t>(s.pixelOffset) : paletteAt + entry * s.palette.size();
    std::vector<uint8_t> f(std::max(dataAt, paletteAt + entry * s.palette.size()) + s.data.size(), 0);
    f[0] = 'B', f[1] = 'M';
    Put32(f, 2, static_cast<uint32_t>(f.size()));
    Put32(f, 10, static_cast<uint32_t>(dataAt));
    Put32(f, 14, s.headerSize);
    if (core) {
        Put16(f, 18, static_cast<uint32_t>(s.width));
        Put16(f, 20, static_cast<uint32_t>(s.height));
        Put16(f, 22, 1);
        Put16(f, 24, s.bpp);
    } else {
        Put32(f, 18, static_cast<uint32_t>(s.width));
        Put32(f, 22, static_cast<uint32_t>(s.height));
        Put16(f, 26, 1);
        Put16(f, 28, s.bpp);
        Put32(f, 30, s.compression);
        Put32(f, 34, static_cast<uint32_t>(s.data.size()));
        Put32(f, 46, static_cast<uint32_t>(s.palette.size()));
        for (size_t i = 0; i < s.masks.size(); ++i)
            Put32(f, (masksAfter ? 14 + s.headerSize : 54) + 4 * i, s.masks[i]);
    }
    for (size_t i = 0; i < s.palette.size(); ++i)
        for (int c = 0; c < 3; ++c) f[paletteAt + entry * i + c] = s.palette[i][c];
    std::copy(s.data.begin(), s.data.end(), f.begin() + static_cast<std::ptrdiff_t>(dataAt));
    return f;
}

std::vector<uint8_t> StoreRows(const std::vector<std::vector<uint8_t>>& rows, bool topDown) {
    std::vector<uint8_t> out;
    for (size_t k = 0; k < rows.size(); ++k) {
        const auto& r = rows[topDown ? k : rows.size() - 1 - k];
        out.insert(out.end(), r.begin(), r.end());
        out.resize((out.size() + 3) / 4 * 4, 0);
    }
    return out;
}

std::vector<uint8_t> MakeJpeg(const JpegSpec& s, const std::vector<uint8_t>& pixels) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = static_cast<JDIMENSION>(s.width);
    c.image_height = static_cast<JDIMENSION>(s.height);
    c.input_components = s.components;
    c.in_color_space = s.components == 1 ? JCS_GRAYSCALE : s.components == 4 ? JCS_CMYK : JCS_EXT_BGR;
    jpeg_set_defaults(&c);
    if (s.components == 4) jpeg_set_colorspace(&c, JCS_YCCK);
    jpeg_set_quality(&c, s.quality, TRUE);
    if (s.progressive) jpeg_simple_progression(&c);
    c.arith_code = s.arithmetic ? TRUE : FALSE;
    c.restart_interval = static_cast<unsigned>(s.restartInterval);
    jpeg_start_compress(&c, TRUE);
    const size_t stride = static_cast<size_t>(s.width) * s.components;
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels.data() + c.next_scanline * stride);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<uint8_t> out(mem, mem + size);
    jpeg_destroy_compress(&c);
    free(mem);
    return out;
}

}  // namespace imgtest
