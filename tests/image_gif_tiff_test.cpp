// GIF and TIFF decoding: files written here with giflib and libtiff from known samples, and
// the colours they must give worked out here from those samples by the rules the decoders
// document (or, for lossy and converted layouts, by libtiff's own RGBA reader); files that
// must be refused, quickly, in little memory and with a reason.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cmath>
#include <functional>

#include "image/image.h"
#include "tests/image_test_util.h"

namespace {

using imgtest::GifLayout;
using imgtest::TiffLayout;
using imgtest::WriteFile;

constexpr uint32_t kW = 37, kH = 23;  // odd: packed rows end part way through a byte, tiles part way

// Values that use the whole range, different in every sample; the first 0, the last max.
std::vector<uint16_t> Samples(size_t n, uint32_t max, uint32_t seed = 1) {
    std::vector<uint16_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint16_t>(((i + seed) * 2654435761u >> 9) % (max + 1));
    if (n) v[0] = 0, v[n - 1] = static_cast<uint16_t>(max);
    return v;
}

// The largest sample of that many bits that Samples can hold (32-bit samples, which the
// decoder refuses, get 16-bit values).
uint32_t MaxSample(uint32_t bits) { return bits >= 16 ? 0xFFFF : (1u << bits) - 1; }

// ---- TIFF ------------------------------------------------------------------------------

uint8_t To8(uint32_t v, uint32_t bits) { return static_cast<uint8_t>(std::floor(v * 255.0 / ((1u << bits) - 1) + 0.5)); }
uint8_t Over(double c, double a) { return static_cast<uint8_t>(std::floor(c * a / 255 + 255 * (255 - a) / 255 + 0.5)); }

// The colours, as blue, green, red, that the layout's samples stand for.
std::vector<uint8_t> Expected(const TiffLayout& s, const std::vector<uint16_t>& v) {
    std::vector<uint8_t> out;
    const int colours = s.spp - static_cast<int>(s.extraSamples.size());
    const int alphaKind = s.extraSamples.empty() ? 0 : s.extraSamples[0];
    for (size_t p = 0; p < size_t{s.width} * s.height; ++p) {
        const uint16_t* c = &v[p * s.spp];
        double rgb[3];
        switch (s.photometric) {
        case 0: rgb[0] = rgb[1] = rgb[2] = 255 - To8(c[0], s.bits); break;
        case 1: rgb[0] = rgb[1] = rgb[2] = To8(c[0], s.bits); break;
        case 3: {
            bool eight = true;
            for (const auto& e : s.colourMap) eight = eight && e[0] < 256 && e[1] < 256 && e[2] < 256;
            for (int i = 0; i < 3; ++i) rgb[i] = eight ? s.colourMap[c[0]][i] : s.colourMap[c[0]][i] >> 8;
            break;
        }
        case 5: {
            const double k = To8(c[3], s.bits);
            for (int i = 0; i < 3; ++i) rgb[i] = std::floor((255 - To8(c[i], s.bits)) * (255 - k) / 255 + 0.5);
            break;
        }
        default:
            for (int i = 0; i < 3; ++i) rgb[i] = To8(c[i], s.bits);
        }
        if (alphaKind == 1 || alphaKind == 2) {
            const double a = To8(c[colours], s.bits);
            for (double& x : rgb) x = alphaKind == 2 ? Over(x, a) : std::min(255.0, x + 255 - a);
        }
        out.insert(out.end(), {static_cast<uint8_t>(rgb[2]), static_cast<uint8_t>(rgb[1]), static_cast<uint8_t>(rgb[0])});
    }
    return out;
}

// libtiff's own RGBA reading of a file, as blue, green, red, top row first: the reference
// for lossy and converted layouts.
std::vector<uint8_t> LibtiffRgba(const std::string& path) {
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    std::vector<uint32_t> raster(size_t{w} * h);
    EXPECT_TRUE(TIFFReadRGBAImageOriented(tif, w, h, raster.data(), ORIENTATION_TOPLEFT, 1));
    TIFFClose(tif);
    std::vector<uint8_t> out;
    for (uint32_t p : raster)
        out.insert(out.end(), {static_cast<uint8_t>(TIFFGetB(p)), static_cast<uint8_t>(TIFFGetG(p)),
                               static_cast<uint8_t>(TIFFGetR(p))});
    return out;
}

TiffLayout Tiff(uint16_t photometric, uint16_t bits, uint16_t spp, std::function<void(TiffLayout&)> more = {}) {
    TiffLayout s;
    s.width = kW, s.height = kH, s.photometric = photometric, s.bits = bits, s.spp = spp, s.rowsPerStrip = 5;
    if (photometric == 3)
        for (uint32_t i = 0; i < (1u << bits); ++i)
            s.colourMap.push_back({static_cast<uint16_t>(i * 37 * 257 % 65536), static_cast<uint16_t>((255 - i) * 256),
                                   static_cast<uint16_t>(i * 91 % 256 * 257)});
    if (more) more(s);
    return s;
}

struct TiffCase {
    const char* name;
    TiffLayout shape;
    bool byLibtiff = false;  // lossy or converted: libtiff's RGBA reader is the reference
};
const TiffCase kTiffCases[] = {
    {"grey_1", Tiff(1, 1, 1)},
    {"grey_2", Tiff(1, 2, 1)},
    {"grey_4_min_is_white", Tiff(0, 4, 1)},
    {"grey_8", Tiff(1, 8, 1)},
    {"grey_12", Tiff(1, 12, 1)},
    {"grey_16_big_endian", Tiff(1, 16, 1, [](TiffLayout& s) { s.bigEndian = true; })},
    {"grey_8_unassociated_alpha", Tiff(1, 8, 2, [](TiffLayout& s) { s.extraSamples = {2}; })},
    {"grey_16_alpha_planes", Tiff(1, 16, 2, [](TiffLayout& s) { s.extraSamples = {2}, s.separate = true; })},
    {"rgb_8", Tiff(2, 8, 3)},
    {"rgb_5", Tiff(2, 5, 3)},
    {"rgb_16_planes", Tiff(2, 16, 3, [](TiffLayout& s) { s.separate = true; })},
    {"rgb_8_unspecified_extra", Tiff(2, 8, 4, [](TiffLayout& s) { s.extraSamples = {0}; })},
    {"rgba_8_unassociated", Tiff(2, 8, 4, [](TiffLayout& s) { s.extraSamples = {2}; })},
    {"rgba_8_associated", Tiff(2, 8, 4, [](TiffLayout& s) { s.extraSamples = {1}; })},
    {"rgba_16_unassociated_big_endian", Tiff(2, 16, 4, [](TiffLayout& s) { s.extraSamples = {2}, s.bigEndian = true; })},
    {"palette_1", Tiff(3, 1, 1)},
    {"palette_4", Tiff(3, 4, 1)},
    {"palette_8", Tiff(3, 8, 1)},
    {"palette_8_eight_bit_map",
     Tiff(3, 8, 1, [](TiffLayout& s) { for (auto& e : s.colourMap) e = {static_cast<uint16_t>(e[0] % 256), static_cast<uint16_t>(e[1] % 256), static_cast<uint16_t>(e[2] % 256)}; })},
    {"cmyk_8", Tiff(5, 8, 4)},
    {"cmyk_16_planes", Tiff(5, 16, 4, [](TiffLayout& s) { s.separate = true; })},
    {"tiled_grey_8", Tiff(1, 8, 1, [](TiffLayout& s) { s.tileWidth = 16, s.tileHeight = 16; })},
    {"tiled_grey_1", Tiff(1, 1, 1, [](TiffLayout& s) { s.tileWidth = 16, s.tileHeight = 32; })},
    {"tiled_rgba_16_planes",
     Tiff(2, 16, 4, [](TiffLayout& s) { s.tileWidth = 32, s.tileHeight = 16, s.separate = true, s.extraSamples = {2}; })},
    {"tiled_palette_4", Tiff(3, 4, 1, [](TiffLayout& s) { s.tileWidth = 16, s.tileHeight = 16; })},
    {"lzw_rgb_8_predictor", Tiff(2, 8, 3, [](TiffLayout& s) { s.compression = 5, s.predictor = 2; })},
    {"deflate_grey_16_predictor", Tiff(1, 16, 1, [](TiffLayout& s) { s.compression = 8, s.predictor = 2; })},
    {"packbits_grey_1_one_strip", Tiff(1, 1, 1, [](TiffLayout& s) { s.compression = 32773, s.rowsPerStrip = kH; })},
    {"bigtiff_rgb_8", Tiff(2, 8, 3, [](TiffLayout& s) { s.bigTiff = true; })},
    {"jpeg_ycbcr", Tiff(6, 8, 3, [](TiffLayout& s) { s.compression = 7, s.rowsPerStrip = 16; }), true},
    {"jpeg_tiled_grey", Tiff(1, 8, 1, [](TiffLayout& s) { s.compression = 7, s.tileWidth = 16, s.tileHeight = 16; }), true},
    // Through libtiff's RGBA interface: YCbCr outside JPEG, CIE L*a*b*.
    {"ycbcr_uncompressed", Tiff(6, 8, 3), true},
    {"cielab_8", Tiff(8, 8, 3), true},
};

class TiffKind : public ::testing::TestWithParam<TiffCase> {};

TEST_P(TiffKind, DecodesToTheColoursOfItsSamples) {
    const TiffLayout& s = GetParam().shape;
    auto samples = Samples(size_t{s.width} * s.height * s.spp, MaxSample(s.bits));
    if (s.photometric == 3) {
        for (auto& v : samples) v = static_cast<uint16_t>(v % s.colourMap.size());
    }
    if (!s.extraSamples.empty() && s.extraSamples[0] == 1) {
        // Associated alpha: colours no larger than their alpha.
        for (size_t p = 0; p < samples.size(); p += s.spp)
            for (int i = 0; i + 1 < s.spp; ++i) samples[p + i] = std::min(samples[p + i], samples[p + s.spp - 1]);
    }
    const std::string path = WriteFile(std::string(GetParam().name) + ".tif", imgtest::MakeTiff(s, samples));
    const imgtest::Decoded d = imgtest::DecodeFile(path);
    ASSERT_TRUE(d.ok) << d.why;
    EXPECT_EQ(d.format.width, kW);
    EXPECT_EQ(d.format.height, kH);
    EXPECT_EQ(d.format.depth, s.photometric <= 1 ? 8u : 24u);
    EXPECT_EQ(d.bgr, GetParam().byLibtiff ? LibtiffRgba(path) : Expected(s, samples));
}

INSTANTIATE_TEST_SUITE_P(Image, TiffKind, ::testing::ValuesIn(kTiffCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- GIF -------------------------------------------------------------------------------

std::vector<std::array<uint8_t, 3>> Colours(int n, int seed) {
    std::vector<std::array<uint8_t, 3>> m;
    for (int i = 0; i < n; ++i)
        m.push_back({static_cast<uint8_t>(i * 37 + seed), static_cast<uint8_t>(250 - i * seed), static_cast<uint8_t>(i * 91)});
    return m;
}

GifLayout Gif(int colours, std::function<void(GifLayout&)> more = {}) {
    GifLayout s;
    s.screenWidth = s.width = kW, s.screenHeight = s.height = kH;
    if (colours) s.globalMap = Colours(colours, 3);
    if (more) more(s);
    return s;
}

// What the picture shows, as blue, green, red: outside the frame and at the transparent
// index white, else the colour map's entry (the frame's own, else the screen's; black
// past its end; grey i without any map).
std::vector<uint8_t> ExpectedGif(const GifLayout& s, const std::vector<uint8_t>& indices) {
    const uint32_t w = std::max(s.screenWidth, s.left + s.width), h = std::max(s.screenHeight, s.top + s.height);
    const auto& map = s.localMap.empty() ? s.globalMap : s.localMap;
    std::vector<uint8_t> out;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            std::array<uint8_t, 3> c = {255, 255, 255};
            if (x >= s.left && x < s.left + s.width && y >= s.top && y < s.top + s.height) {
                const uint8_t i = indices[size_t{y - s.top} * s.width + (x - s.left)];
                if (i == s.transparent) {
                } else if (map.empty()) {
                    c = {i, i, i};
                } else {
                    c = i < map.size() ? map[i] : std::array<uint8_t, 3>{0, 0, 0};
                }
            }
            out.insert(out.end(), {c[2], c[1], c[0]});
        }
    return out;
}

struct GifCase {
    const char* name;
    GifLayout shape;
    uint32_t indexRange;  // indices drawn from 0 .. this - 1
    int mapKept = -1;     // the screen's map cut to this many entries after writing (0: none)
};
const GifCase kGifCases[] = {
    {"two_colours", Gif(2), 2},
    {"sixteen_colours", Gif(16), 16},
    {"full_palette", Gif(256), 256},
    {"transparent", Gif(16, [](GifLayout& s) { s.transparent = 5; }), 16},
    {"interlaced", Gif(64, [](GifLayout& s) { s.interlaced = true; }), 64},
    {"local_map", Gif(4, [](GifLayout& s) { s.localMap = Colours(32, 9); }), 32},
    {"no_map_is_grey", Gif(0), 256, 0},
    {"indices_past_the_map", Gif(8), 256, 8},
    {"frame_inside_transparent",
     Gif(16, [](GifLayout& s) { s.left = 5, s.top = 3, s.width = 20, s.height = 11, s.transparent = 2; }), 16},
    {"frame_inside_opaque_full_palette",
     Gif(256, [](GifLayout& s) { s.left = 7, s.top = 2, s.width = 21, s.height = 13, s.interlaced = true; }), 256},
    {"frame_past_the_screen", Gif(16, [](GifLayout& s) { s.left = 30, s.top = 20, s.width = 12, s.height = 9; }), 16},
};

class GifKind : public ::testing::TestWithParam<GifCase> {};

TEST_P(GifKind, ShowsItsFirstFrameOverWhite) {
    const GifCase& c = GetParam();
    const GifLayout& s = c.shape;
    std::vector<uint8_t> indices;
    for (uint16_t v : Samples(size_t{s.width} * s.height, c.indexRange - 1)) indices.push_back(static_cast<uint8_t>(v));
    // giflib writes no file without a colour map, and masks indices to the map's size: a
    // map cut short (or away) is written whole with 256 entries and cut afterwards (the
    // frame's code size stays 8 bits).
    GifLayout written = s;
    if (c.mapKept >= 0) written.globalMap = Colours(256, 3);
    auto file = imgtest::MakeGif(written, indices);
    if (c.mapKept == 0) {
        file[10] = static_cast<uint8_t>(file[10] & 0x78);
        file.erase(file.begin() + 13, file.begin() + 13 + 256 * 3);
    } else if (c.mapKept > 0) {
        int bits = 0;
        while ((2 << bits) < c.mapKept) ++bits;
        file[10] = static_cast<uint8_t>((file[10] & 0xF8) | bits);
        file.erase(file.begin() + 13 + c.mapKept * 3, file.begin() + 13 + 256 * 3);
    }
    const std::string path = WriteFile(std::string(c.name) + ".gif", file);
    const imgtest::Decoded d = imgtest::DecodeFile(path);
    ASSERT_TRUE(d.ok) << d.why;
    EXPECT_EQ(d.bgr, ExpectedGif(s, indices));
}

INSTANTIATE_TEST_SUITE_P(Image, GifKind, ::testing::ValuesIn(kGifCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- both: -load, orientation, refusals ----------------------------------------------

class GifTiffLoad : public imgtest::PanelFixture {};

// A .rip holding a GIF or a TIFF loads like any picture: the grey of its colours, at its
// own size, or fitted when larger than the panel.
TEST_F(GifTiffLoad, RipFilesLoadWithTheGreyOfTheirColours) {
    SetPanel(30, 20);
    const TiffLayout rgb = Tiff(2, 8, 3);
    const auto samples = Samples(size_t{kW} * kH * 3, 255);
    const GifLayout gif = Gif(16, [](GifLayout& s) { s.width = s.screenWidth = 29, s.height = s.screenHeight = 19; });
    std::vector<uint8_t> indices;
    for (uint16_t v : Samples(29 * 19, 15)) indices.push_back(static_cast<uint8_t>(v));
    struct Load {
        std::string name;
        std::vector<uint8_t> file;
        std::vector<uint8_t> bgr;
        uint32_t w, h;
    };
    const Load loads[] = {
        {"tiff.rip", imgtest::MakeTiff(rgb, samples), Expected(rgb, samples), kW, kH},
        {"gif.rip", imgtest::MakeGif(gif, indices), ExpectedGif(gif, indices), 29, 19},
    };
    for (const Load& l : loads) {
        testing::internal::CaptureStdout();
        LoadImageFile(WriteFile(l.name, l.file).c_str());
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_EQ(imgtest::g_TransferCalls.size(), 1u) << l.name << out;
        const bool fits = l.w <= 30 && l.h <= 20;
        EXPECT_EQ(imgtest::g_TransferCalls[0].pixels,
                  imgtest::ReferenceGreyOf(fits ? l.bgr : imgtest::ReferenceFit(l.bgr, l.w, l.h, 30, 20)))
            << l.name;
        imgtest::g_TransferCalls.clear();
    }
}

// The Orientation tag is the file's EXIF orientation: reported when asked, never applied
// on the way.
TEST(TiffOrientation, IsReportedNotApplied) {
    const TiffLayout s = Tiff(1, 8, 1, [](TiffLayout& t) { t.orientation = 6; });
    const auto samples = Samples(size_t{kW} * kH, 255);
    const auto file = imgtest::MakeTiff(s, samples);
    for (bool asked : {false, true}) {
        std::string why;
        auto source = qpimg::OpenImageBytes(file.data(), file.size(), qpimg::PictureHints{0, 0, asked}, why);
        ASSERT_TRUE(source) << why;
        EXPECT_EQ(source->Orientation(), asked ? 6u : 1u);
        std::vector<uint8_t> row(kW);
        ASSERT_TRUE(source->ReadRow(row.data()));
        EXPECT_EQ(row, std::vector<uint8_t>(samples.begin(), samples.begin() + kW));
    }
}

// A little-endian TIFF with the single value of one tag of its first directory changed
// (made a LONG when it does not fit a SHORT).
std::vector<uint8_t> Patched(std::vector<uint8_t> f, uint16_t tag, uint32_t value) {
    const uint32_t dir = f[4] | f[5] << 8 | f[6] << 16 | uint32_t{f[7]} << 24;
    const uint32_t n = f[dir] | f[dir + 1] << 8;
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t* e = &f[dir + 2 + 12 * i];
        if ((e[0] | e[1] << 8) != tag) continue;
        if (value > 0xFFFF) e[2] = 4, e[3] = 0;
        for (int b = 0; b < 4; ++b) e[8 + b] = static_cast<uint8_t>(value >> (8 * b));
        return f;
    }
    throw std::runtime_error("no such tag");
}

std::vector<uint8_t> PlainTiff(std::function<void(TiffLayout&)> more = {}) {
    TiffLayout s = Tiff(1, 8, 1, std::move(more));
    return imgtest::MakeTiff(s, Samples(size_t{s.width} * s.height * s.spp, MaxSample(s.bits)));
}

std::vector<uint8_t> PlainGif(std::function<void(GifLayout&)> more = {}) {
    const GifLayout s = Gif(16, std::move(more));
    return imgtest::MakeGif(s, std::vector<uint8_t>(size_t{s.width} * s.height, 3));
}

struct Refusal {
    const char* name;
    std::function<std::vector<uint8_t>()> bytes;
    const char* reason;
};
const Refusal kRefusals[] = {
    {"tiff_float", [] { return PlainTiff([](TiffLayout& s) { s.bits = 32, s.sampleFormat = 3; }); },
     "floating-point samples are not read"},
    {"tiff_signed", [] { return PlainTiff([](TiffLayout& s) { s.sampleFormat = 2; }); }, "signed samples are not read"},
    {"tiff_32_bit", [] { return PlainTiff([](TiffLayout& s) { s.bits = 32; }); }, "32-bit samples are not read"},
    {"tiff_too_wide", [] { return Patched(PlainTiff(), 256, 70000); }, "declares 70000 x 23 pixels"},
    // One strip of 16,384 x 8,192 from a file of a few hundred bytes: refused before it is
    // allocated.
    {"tiff_huge_strip",
     [] { return Patched(Patched(Patched(PlainTiff([](TiffLayout& s) { s.compression = 5, s.rowsPerStrip = kH; }), 256, 16384), 257, 8192), 278, 8192); },
     "of memory, more than the 64 MiB allowed"},
    // Read from the file, past its end: nothing read (a count below zero there made
    // libtiff clear the byte before its buffer).
    {"tiff_strip_past_the_end",
     [] { return Patched(PlainTiff([](TiffLayout& s) { s.compression = 5, s.rowsPerStrip = kH; }), 273, 1u << 30); },
     "corrupt TIFF data at row 0: TIFFFillStrip: Read error at scanline 4294967295; got 0 bytes"},
    {"tiff_cut_short", [] { auto f = PlainTiff(); f.resize(8); return f; }, "not a readable TIFF"},
    {"gif_no_frame", [] { auto f = PlainGif(); f.resize(13 + 48); f.push_back(0x3B); return f; }, "the GIF holds no frame"},
    {"gif_cut_short", [] { auto f = PlainGif(); f.resize(f.size() - 6); return f; }, "corrupt GIF data at row"},
    {"gif_too_wide", [] { return PlainGif([](GifLayout& s) { s.left = 65530, s.screenWidth = 1; }); },
     "declares 65567 x 23 pixels"},
    // An interlaced frame of 16,384 x 8,192 declared by a small file is needed whole.
    {"gif_interlaced_huge",
     [] {
         auto f = PlainGif([](GifLayout& s) { s.interlaced = true; });
         const size_t desc = 13 + 48;  // the image descriptor, after the screen's map
         f[desc + 5] = 0x00, f[desc + 6] = 0x40, f[desc + 7] = 0x00, f[desc + 8] = 0x20;
         return f;
     },
     "interlaced: decoding it would take 128 MiB of memory, more than the 64 MiB allowed"},
};

class GifTiffRefused : public ::testing::TestWithParam<Refusal> {};

TEST_P(GifTiffRefused, QuicklyInLittleMemoryWithAReason) {
    const std::string path = WriteFile(std::string(GetParam().name) + ".rip", GetParam().bytes());
    const imgtest::Bounded b = imgtest::RunBounded([&] { imgtest::LoadInChild(path, 1872, 1404); }, 2000 * imgtest::kSlowdown);
    ASSERT_TRUE(b.finished) << b.ms << " ms";
    EXPECT_LT(b.peakGrowthMb, 64 * imgtest::kMemoryOverhead);
    const imgtest::Decoded d = imgtest::DecodeFile(path, 1872, 1404);
    EXPECT_FALSE(d.ok);
    EXPECT_NE(d.why.find(GetParam().reason), std::string::npos) << d.why;
}

INSTANTIATE_TEST_SUITE_P(Image, GifTiffRefused, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
