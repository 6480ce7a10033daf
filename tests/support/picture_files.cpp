#include "tests/support/picture_files.h"

#include <gif_lib.h>
#include <png.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

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

namespace {
int AppendGif(GifFileType* gif, const GifByteType* data, int n) {
    auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
    out->insert(out->end(), data, data + n);
    return n;
}
ColorMapObject* MapOf(const std::vector<std::array<uint8_t, 3>>& colours) {
    if (colours.empty()) return nullptr;
    std::vector<GifColorType> c;
    for (const auto& e : colours) c.push_back({e[0], e[1], e[2]});
    return GifMakeMapObject(static_cast<int>(c.size()), c.data());
}
}  // namespace

std::vector<uint8_t> MakeGif(const GifLayout& s, const std::vector<uint8_t>& indices) {
    std::vector<uint8_t> out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, AppendGif, &error);
    if (!gif) throw std::runtime_error("giflib could not start the test picture");
    EGifSetGifVersion(gif, true);
    ColorMapObject* global = MapOf(s.globalMap);
    ColorMapObject* local = MapOf(s.localMap);
    bool ok = EGifPutScreenDesc(gif, static_cast<int>(s.screenWidth), static_cast<int>(s.screenHeight), 8, 0, global) ==
              GIF_OK;
    if (ok && s.transparent >= 0) {
        GraphicsControlBlock gcb{};
        gcb.TransparentColor = s.transparent;
        GifByteType block[4];
        EGifGCBToExtension(&gcb, block);
        ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, block) == GIF_OK;
    }
    ok = ok && EGifPutImageDesc(gif, static_cast<int>(s.left), static_cast<int>(s.top), static_cast<int>(s.width),
                                static_cast<int>(s.height), s.interlaced, local) == GIF_OK;
    std::vector<uint32_t> order;
    if (s.interlaced) {
        for (auto [start, step] : {std::pair{0u, 8u}, {4u, 8u}, {2u, 4u}, {1u, 2u}})
            for (uint32_t y = start; y < s.height; y += step) order.push_back(y);
    } else {
        for (uint32_t y = 0; y < s.height; ++y) order.push_back(y);
    }
    std::vector<GifPixelType> line(s.width);
    for (uint32_t y : order) {
        std::copy_n(indices.begin() + static_cast<std::ptrdiff_t>(size_t{y} * s.width), s.width, line.begin());
        ok = ok && EGifPutLine(gif, line.data(), static_cast<int>(s.width)) == GIF_OK;
    }
    ok = EGifCloseFile(gif, &error) == GIF_OK && ok;
    GifFreeMapObject(global);
    GifFreeMapObject(local);
    if (!ok) throw std::runtime_error("giflib could not write the test picture");
    return out;
}

std::vector<uint8_t> MakeTiff(const TiffLayout& s, const std::vector<uint16_t>& samples) {
    char path[] = "/tmp/qp7730-test-XXXXXX.tif";
    const int fd = mkstemps(path, 4);
    if (fd < 0) throw std::runtime_error("no scratch file for the test picture");
    close(fd);
    std::string mode = "w";
    mode += s.bigEndian ? "b" : "l";
    if (s.bigTiff) mode += "8";
    TIFF* tif = TIFFOpen(path, mode.c_str());
    if (!tif) throw std::runtime_error("libtiff could not start the test picture");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, s.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, s.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, s.bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, s.spp);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, s.photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, s.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, s.compression);
    if (s.predictor != 1) TIFFSetField(tif, TIFFTAG_PREDICTOR, s.predictor);
    if (s.orientation) TIFFSetField(tif, TIFFTAG_ORIENTATION, s.orientation);
    if (s.sampleFormat) TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, s.sampleFormat);
    if (!s.extraSamples.empty())
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, static_cast<uint16_t>(s.extraSamples.size()), s.extraSamples.data());
    if (s.photometric == PHOTOMETRIC_PALETTE) {
        std::vector<uint16_t> r, g, b;
        for (const auto& e : s.colourMap) r.push_back(e[0]), g.push_back(e[1]), b.push_back(e[2]);
        TIFFSetField(tif, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
    }
    if (s.compression == COMPRESSION_JPEG) TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 90);
    if (s.photometric == PHOTOMETRIC_YCBCR && s.compression == COMPRESSION_JPEG)
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    else if (s.photometric == PHOTOMETRIC_YCBCR)
        TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, 1, 1);  // samples as given, one of each a pixel
    const bool tiled = s.tileWidth != 0;
    if (tiled) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, s.tileWidth);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, s.tileHeight);
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, s.rowsPerStrip ? s.rowsPerStrip : TIFFDefaultStripSize(tif, 0));
    }
    // Each plane (or the one interleaved plane) as whole rows, packed most significant bits
    // first; 16-bit samples in the machine's order, which libtiff writes in the file's.
    const uint32_t planes = s.separate ? s.spp : 1, per = s.separate ? 1 : s.spp;
    const size_t rowBytes = (size_t{s.width} * per * s.bits + 7) / 8;
    std::vector<std::vector<uint8_t>> plane(planes, std::vector<uint8_t>(rowBytes * s.height, 0));
    for (uint32_t p = 0; p < planes; ++p)
        for (uint32_t y = 0; y < s.height; ++y)
            for (uint32_t x = 0; x < s.width; ++x)
                for (uint32_t k = 0; k < per; ++k) {
                    const uint16_t v = samples[(size_t{y} * s.width + x) * s.spp + (s.separate ? p : k)];
                    uint8_t* row = plane[p].data() + y * rowBytes;
                    const size_t at = size_t{x} * per + k;
                    if (s.bits == 16) {
                        std::memcpy(row + 2 * at, &v, 2);
                    } else if (s.bits == 8) {
                        row[at] = static_cast<uint8_t>(v);
                    } else {
                        for (uint32_t b = 0; b < s.bits; ++b) {
                            const size_t bit = at * s.bits + b;
                            if (v >> (s.bits - 1 - b) & 1) row[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
                        }
                    }
                }
    bool ok = true;
    if (tiled) {
        // Each tile copied out of the rows, bit by bit for depths below a byte.
        const size_t tileRow = (size_t{s.tileWidth} * per * s.bits + 7) / 8;
        std::vector<uint8_t> tile(tileRow * s.tileHeight);
        for (uint32_t p = 0; p < planes; ++p)
            for (uint32_t ty = 0; ty < s.height; ty += s.tileHeight)
                for (uint32_t tx = 0; tx < s.width; tx += s.tileWidth) {
                    std::fill(tile.begin(), tile.end(), 0);
                    for (uint32_t y = 0; y < s.tileHeight && ty + y < s.height; ++y) {
                        const uint8_t* src = plane[p].data() + (ty + y) * rowBytes;
                        const uint32_t n = std::min(s.tileWidth, s.width - tx);
                        for (size_t bit = 0; bit < size_t{n} * per * s.bits; ++bit) {
                            const size_t from = size_t{tx} * per * s.bits + bit;
                            if (src[from / 8] & (0x80 >> (from % 8))) tile[y * tileRow + bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
                        }
                    }
                    ok = ok && TIFFWriteTile(tif, tile.data(), tx, ty, 0, static_cast<uint16_t>(p)) >= 0;
                }
    } else {
        for (uint32_t p = 0; p < planes; ++p)
            for (uint32_t y = 0; y < s.height; ++y)
                ok = ok && TIFFWriteScanline(tif, plane[p].data() + y * rowBytes, y, static_cast<uint16_t>(p)) >= 0;
    }
    TIFFClose(tif);
    std::vector<uint8_t> out;
    if (FILE* f = fopen(path, "rb")) {
        uint8_t chunk[65536];
        for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) out.insert(out.end(), chunk, chunk + n);
        fclose(f);
    }
    unlink(path);
    if (!ok || out.empty()) throw std::runtime_error("libtiff could not write the test picture");
    return out;
}

}  // namespace imgtest
