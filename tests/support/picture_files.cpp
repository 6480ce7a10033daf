#include "tests/support/picture_files.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

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

std::vector<uint8_t> MakeBmp(const BmpLayout& s) {
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

std::vector<uint8_t> MakeJpeg(const JpegLayout& s, const std::vector<uint8_t>& pixels) {
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
    if (!s.subsample) {
        for (int i = 0; i < c.num_components; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    }
    std::vector<jpeg_scan_info> script;
    for (const JpegLayout::Scan& scan : s.scans) {
        jpeg_scan_info info{};
        for (int k = 0; k < 4 && scan.components[k] >= 0; ++k) info.component_index[info.comps_in_scan++] = scan.components[k];
        info.Ss = scan.Ss, info.Se = scan.Se, info.Ah = scan.Ah, info.Al = scan.Al;
        script.push_back(info);
    }
    if (!script.empty()) {
        c.scan_info = script.data();
        c.num_scans = static_cast<int>(script.size());
    }
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

std::vector<JpegSegment> JpegSegments(const std::vector<uint8_t>& f) {
    std::vector<JpegSegment> out;
    size_t i = 2;
    while (i + 1 < f.size()) {
        if (f[i] != 0xFF) throw std::runtime_error("JPEG segment expected");
        const uint8_t m = f[i + 1];
        if (m == 0xD9) {
            out.push_back({i, i + 2, m});
            break;
        }
        size_t j = i + 2 + (size_t{f[i + 2]} << 8 | f[i + 3]);
        if (m == 0xDA) {  // entropy-coded data up to the next marker other than a restart
            while (j + 1 < f.size() && !(f[j] == 0xFF && f[j + 1] != 0 && (f[j + 1] < 0xD0 || f[j + 1] > 0xD7))) ++j;
        }
        out.push_back({i, j, m});
        i = j;
    }
    return out;
}

std::vector<uint8_t> RepeatJpegScan(const std::vector<uint8_t>& f, size_t scan, size_t times) {
    size_t seen = 0;
    for (const JpegSegment& s : JpegSegments(f)) {
        if (s.marker != 0xDA || seen++ != scan) continue;
        std::vector<uint8_t> out(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(s.end));
        for (size_t k = 0; k < times; ++k) out.insert(out.end(), f.begin() + static_cast<std::ptrdiff_t>(s.begin), f.begin() + static_cast<std::ptrdiff_t>(s.end));
        out.insert(out.end(), f.begin() + static_cast<std::ptrdiff_t>(s.end), f.end());
        return out;
    }
    throw std::runtime_error("no such scan");
}

std::vector<uint8_t> WithJpegSize(std::vector<uint8_t> f, uint16_t width, uint16_t height) {
    for (const JpegSegment& s : JpegSegments(f)) {
        if (s.marker >= 0xC0 && s.marker <= 0xCF && s.marker != 0xC4 && s.marker != 0xC8 && s.marker != 0xCC) {
            f[s.begin + 5] = static_cast<uint8_t>(height >> 8), f[s.begin + 6] = static_cast<uint8_t>(height);
            f[s.begin + 7] = static_cast<uint8_t>(width >> 8), f[s.begin + 8] = static_cast<uint8_t>(width);
            return f;
        }
    }
    throw std::runtime_error("no frame header");
}

namespace {
void AppendPng(png_structp png, png_bytep data, png_size_t n) {
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}
void NoFlush(png_structp) {}
}  // namespace

std::vector<uint8_t> MakePng(const PngLayout& s, const std::vector<uint16_t>& samples) {
    std::vector<uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) throw std::runtime_error("libpng could not write the test picture");
    png_set_write_fn(png, &out, AppendPng, NoFlush);
    png_set_compression_level(png, 1);  // test pictures: fast rather than small
    png_set_IHDR(png, info, s.width, s.height, s.bitDepth, s.colourType,
                 s.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!s.palette.empty()) {
        std::vector<png_color> pal;
        for (const auto& c : s.palette) pal.push_back({c[0], c[1], c[2]});
        png_set_PLTE(png, info, pal.data(), static_cast<int>(pal.size()));
    }
    if (!s.paletteAlpha.empty())
        png_set_tRNS(png, info, s.paletteAlpha.data(), static_cast<int>(s.paletteAlpha.size()), nullptr);
    if (s.gamma != 0) png_set_gAMA(png, info, s.gamma);
    if (s.srgb) png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    png_write_info(png, info);
    const int channels = s.colourType == 0 || s.colourType == 3 ? 1 : s.colourType == 4 ? 2 : s.colourType == 2 ? 3 : 4;
    const size_t perRow = size_t{s.width} * channels;
    const size_t rowBytes = (perRow * s.bitDepth + 7) / 8;
    std::vector<std::vector<uint8_t>> rows(s.height, std::vector<uint8_t>(rowBytes, 0));
    for (uint32_t y = 0; y < s.height; ++y) {
        for (size_t k = 0; k < perRow; ++k) {
            const uint16_t v = samples[y * perRow + k];
            uint8_t* row = rows[y].data();
            if (s.bitDepth == 16) {
                row[2 * k] = static_cast<uint8_t>(v >> 8), row[2 * k + 1] = static_cast<uint8_t>(v);
            } else if (s.bitDepth == 8) {
                row[k] = static_cast<uint8_t>(v);
            } else {
                const size_t bit = k * s.bitDepth;
                row[bit / 8] |= static_cast<uint8_t>(v << (8 - s.bitDepth - bit % 8));
            }
        }
    }
    std::vector<png_bytep> pointers;
    for (auto& r : rows) pointers.push_back(r.data());
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

}  // namespace imgtest
