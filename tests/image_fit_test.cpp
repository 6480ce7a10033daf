// What the library asks of the decode step beyond the tool's rule: pictures decoded from
// their bytes in memory exactly as from a file, the contain and cover fits, the EXIF
// orientation, rotation and mirror, and caller pixels with alpha laid over white.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image/image.h"
#include "image/image_service.h"
#include "link/report.h"
#include "tests/image_test_util.h"

namespace {

using imgtest::WriteFile;

// Keeps the failure told in words; drops the tool's texts.
std::string g_explained;
void Drop(const char*) {}
void Keep(const char* text) { g_explained = text; }
const Reporter kKeepExplained = {Drop, Drop, Keep};

class Fit : public imgtest::PanelFixture {
protected:
    void SetUp() override {
        SetPanel(80, 60);
        previous_ = SetReporter(&kKeepExplained);
        g_explained.clear();
    }
    void TearDown() override {
        SetReporter(previous_);
        imgtest::PanelFixture::TearDown();
    }
    // Runs a decode step; the loaded picture, or empty with *why set when the run ended.
    template <typename Decode>
    std::vector<uint8_t> Loaded(Decode decode, std::string* why = nullptr) {
        try {
            decode();
        } catch (const RunEnded&) {
            if (why) *why = g_explained;
            return {};
        }
        const size_t n = size_t{g_DeviceState.LoadedWidth} * g_DeviceState.LoadedHeight;
        return std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
    }
    const Reporter* previous_ = nullptr;
};

std::vector<uint8_t> Colours(uint32_t w, uint32_t h) {
    std::vector<uint8_t> p(size_t{w} * h * 3);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 37 / 3 + i / (w * 3) * 11);
    return p;
}

std::vector<uint8_t> Bmp24(uint32_t w, uint32_t h, const std::vector<uint8_t>& bgr) {
    std::vector<std::vector<uint8_t>> rows;
    for (uint32_t y = 0; y < h; ++y)
        rows.emplace_back(bgr.begin() + static_cast<std::ptrdiff_t>(size_t{y} * w * 3),
                          bgr.begin() + static_cast<std::ptrdiff_t>(size_t{y + 1} * w * 3));
    imgtest::BmpLayout s;
    s.width = static_cast<int32_t>(w), s.height = static_cast<int32_t>(h), s.bpp = 24;
    s.data = imgtest::StoreRows(rows, false);
    return imgtest::MakeBmp(s);
}

// Every kind of file, fitted or not, and files refused for their content or for the
// memory they would take: from memory, the same picture or the same reason.
TEST_F(Fit, BytesDecodeAsTheFileDoes) {
    imgtest::PngLayout interlaced{90, 70, 2, 16};
    interlaced.interlaced = true;
    std::vector<uint16_t> samples(90 * 70 * 3);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>(i * 2654435761u >> 16);
    auto cutPng = imgtest::MakePng({64, 64, 0, 8}, std::vector<uint16_t>(64 * 64, 7));
    cutPng.resize(cutPng.size() / 2);
    imgtest::JpegLayout progressive{120, 90, 3, true};
    const auto bigProgressive = imgtest::WithJpegSize(imgtest::MakeJpeg(progressive, Colours(120, 90)), 30000, 30000);
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        bool picture;
    } cases[] = {
        {"bmp at its size", Bmp24(50, 40, Colours(50, 40)), true},
        {"bmp stretched", Bmp24(130, 70, Colours(130, 70)), true},
        {"jpeg reduced", imgtest::MakeJpeg({400, 300}, Colours(400, 300)), true},
        {"jpeg progressive", imgtest::MakeJpeg(progressive, Colours(120, 90)), true},
        {"png interlaced 16-bit", imgtest::MakePng(interlaced, samples), true},
        {"png cut short", cutPng, false},
        {"progressive beyond its memory", bigProgressive, false},
        {"text", {'n', 'o', 'p', 'e'}, false},
        {"empty", {}, false},
    };
    for (const auto& c : cases) {
        const std::string path = WriteFile("bytes.rip", c.bytes);
        std::string fileWhy, bytesWhy;
        const auto fromFile = Loaded([&] { DecodeImageToGrey(path.c_str(), {}); }, &fileWhy);
        const uint32_t w = g_DeviceState.LoadedWidth, h = g_DeviceState.LoadedHeight;
        const auto fromBytes = Loaded([&] { DecodeBytesToGrey(c.bytes.data(), c.bytes.size(), {}); }, &bytesWhy);
        EXPECT_EQ(fromBytes, fromFile) << c.name;
        EXPECT_EQ(fromFile.empty(), !c.picture) << c.name << ": " << fileWhy;
        if (c.picture) {
            EXPECT_EQ(g_DeviceState.LoadedWidth, w) << c.name;
            EXPECT_EQ(g_DeviceState.LoadedHeight, h) << c.name;
        } else {
            // "PATH: reason" and "the picture's N bytes: reason"
            EXPECT_EQ(fileWhy.substr(path.size() + 2), bytesWhy.substr(bytesWhy.find("bytes: ") + 7)) << c.name;
        }
    }
}

// Sizes each fit gives on an 80 x 60 panel, and the pixels: the whole picture (or its
// centred cut in the box's proportion) averaged to that size.
TEST_F(Fit, ContainAndCoverKeepTheAspect) {
    const struct {
        FitMode mode;
        uint32_t w, h, boxW, boxH;
        uint32_t outW, outH;
        uint32_t cutX, cutY, cutW, cutH;  // of the picture, taken whole when cutW is 0
    } cases[] = {
        {FitMode::kContain, 200, 100, 0, 0, 80, 40, 0, 0, 0, 0},
        {FitMode::kContain, 50, 100, 0, 0, 30, 60, 0, 0, 0, 0},
        {FitMode::kContain, 20, 10, 0, 0, 80, 40, 0, 0, 0, 0},  // enlarged
        {FitMode::kContain, 200, 100, 40, 20, 40, 20, 0, 0, 0, 0},
        {FitMode::kCover, 200, 100, 0, 0, 80, 60, 33, 0, 133, 100},
        {FitMode::kCover, 20, 40, 0, 0, 80, 60, 0, 12, 20, 15},
        {FitMode::kStretch, 200, 100, 40, 20, 80, 60, 0, 0, 0, 0},  // the box is contain's and cover's
    };
    for (const auto& c : cases) {
        const auto bgr = Colours(c.w, c.h);
        const auto bmp = Bmp24(c.w, c.h, bgr);
        FitOptions fit;
        fit.mode = c.mode, fit.boxWidth = c.boxW, fit.boxHeight = c.boxH;
        const auto got = Loaded([&] { DecodeBytesToGrey(bmp.data(), bmp.size(), fit); });
        ASSERT_EQ(g_DeviceState.LoadedWidth, c.outW) << c.w << " x " << c.h;
        ASSERT_EQ(g_DeviceState.LoadedHeight, c.outH) << c.w << " x " << c.h;
        std::vector<uint8_t> part = bgr;
        uint32_t pw = c.w, ph = c.h;
        if (c.cutW != 0) {
            part.clear();
            for (uint32_t y = c.cutY; y < c.cutY + c.cutH; ++y)
                part.insert(part.end(), bgr.begin() + (size_t{y} * c.w + c.cutX) * 3,
                            bgr.begin() + (size_t{y} * c.w + c.cutX + c.cutW) * 3);
            pw = c.cutW, ph = c.cutH;
        }
        EXPECT_EQ(got, imgtest::ReferenceGreyOf(imgtest::ReferenceFit(part, pw, ph, c.outW, c.outH)))
            << c.w << " x " << c.h;
    }
}

// A grey JPEG of 8 x 8 blocks whose corners are 20 (top left), 60 (top right), 100
// (bottom left) and 200 (bottom right), with an APP1 block right after SOI.
std::vector<uint8_t> Cornered(const std::vector<uint8_t>& app1) {
    constexpr uint32_t w = 24, h = 16;
    std::vector<uint8_t> grey(w * h, 150);
    const uint8_t corner[2][2] = {{20, 60}, {100, 200}};
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            if (x / 8 != 1) grey[y * w + x] = corner[y / 8][x / 8 / 2];
    auto jpeg = imgtest::MakeJpeg({int(w), int(h), 1, false, false, 0, 100}, grey);
    if (app1.empty()) return jpeg;
    std::vector<uint8_t> segment = {0xFF, 0xE1, static_cast<uint8_t>((app1.size() + 2) >> 8),
                                    static_cast<uint8_t>(app1.size() + 2)};
    segment.insert(segment.end(), app1.begin(), app1.end());
    jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
    return jpeg;
}

// "Exif\0\0" and a TIFF block whose first directory holds one entry.
std::vector<uint8_t> Exif(bool big, uint16_t tag, uint16_t type, uint32_t count, uint16_t value,
                          uint32_t directory = 8) {
    std::vector<uint8_t> b = {'E', 'x', 'i', 'f', 0, 0};
    auto put = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> (big ? 8 * (bytes - 1 - i) : 8 * i)));
    };
    b.push_back(big ? 'M' : 'I'), b.push_back(big ? 'M' : 'I');
    put(42, 2), put(directory, 4), put(1, 2), put(tag, 2), put(type, 2), put(count, 4), put(value, 2), put(0, 2),
        put(0, 4);
    return b;
}

TEST_F(Fit, OrientationTurnsThePictureUpright) {
    // Top left, top right, bottom left of the upright picture, by the EXIF definitions.
    const struct {
        const char* name;
        std::vector<uint8_t> app1;
        bool orient;
        int tl, tr, bl;
        bool turned;
    } cases[] = {
        {"1", Exif(true, 0x0112, 3, 1, 1), true, 20, 60, 100, false},
        {"2 mirrored", Exif(false, 0x0112, 3, 1, 2), true, 60, 20, 200, false},
        {"3 half turn", Exif(true, 0x0112, 3, 1, 3), true, 200, 100, 60, false},
        {"4 flipped", Exif(false, 0x0112, 3, 1, 4), true, 100, 200, 20, false},
        {"5 transposed", Exif(true, 0x0112, 3, 1, 5), true, 20, 100, 60, true},
        {"6 quarter clockwise", Exif(false, 0x0112, 3, 1, 6), true, 100, 20, 200, true},
        {"7 transversed", Exif(true, 0x0112, 3, 1, 7), true, 200, 60, 100, true},
        {"8 quarter anticlockwise", Exif(false, 0x0112, 3, 1, 8), true, 60, 200, 20, true},
        {"6 not asked for", Exif(false, 0x0112, 3, 1, 6), false, 20, 60, 100, false},
        {"no EXIF", {}, true, 20, 60, 100, false},
        {"value 9", Exif(true, 0x0112, 3, 1, 9), true, 20, 60, 100, false},
        {"LONG, not SHORT", Exif(true, 0x0112, 4, 1, 6), true, 20, 60, 100, false},
        {"another tag", Exif(true, 0x0110, 3, 1, 6), true, 20, 60, 100, false},
        {"directory past the end", Exif(true, 0x0112, 3, 1, 6, 4000), true, 20, 60, 100, false},
    };
    for (const auto& c : cases) {
        const auto jpeg = Cornered(c.app1);
        FitOptions fit;
        fit.orient = c.orient;
        const auto got = Loaded([&] { DecodeBytesToGrey(jpeg.data(), jpeg.size(), fit); });
        const uint32_t w = g_DeviceState.LoadedWidth, h = g_DeviceState.LoadedHeight;
        ASSERT_EQ(w, c.turned ? 16u : 24u) << c.name;
        ASSERT_EQ(h, c.turned ? 24u : 16u) << c.name;
        EXPECT_NEAR(got[0], c.tl, 2) << c.name;
        EXPECT_NEAR(got[w - 1], c.tr, 2) << c.name;
        EXPECT_NEAR(got[size_t{h - 1} * w], c.bl, 2) << c.name;
    }
}

// The rotations and the mirror on pixels, against turning the picture here one quarter
// at a time; the fit comes after them (contain fills its box with the turned picture).
TEST_F(Fit, RotationAndMirrorTurnThePictureBeforeTheFit) {
    constexpr uint32_t w = 5, h = 3;
    std::vector<uint8_t> grey(w * h);
    for (uint32_t i = 0; i < w * h; ++i) grey[i] = static_cast<uint8_t>(10 + 15 * i);
    for (uint32_t q = 0; q < 4; ++q)
        for (bool mirror : {false, true}) {
            std::vector<uint8_t> want = grey;
            uint32_t ww = w, wh = h;
            for (uint32_t t = 0; t < q; ++t) {  // a quarter clockwise: new (x, y) is old (y, h - 1 - x)
                std::vector<uint8_t> turned(want.size());
                for (uint32_t y = 0; y < ww; ++y)
                    for (uint32_t x = 0; x < wh; ++x) turned[y * wh + x] = want[(wh - 1 - x) * ww + y];
                want.swap(turned), std::swap(ww, wh);
            }
            if (mirror)
                for (uint32_t y = 0; y < wh; ++y) std::reverse(want.begin() + y * ww, want.begin() + (y + 1) * ww);
            FitOptions fit;
            fit.quarterTurns = q, fit.mirror = mirror;
            const auto got = Loaded([&] { DecodePixelsToGrey(grey.data(), w, h, w, PixelLayout::kGrey8, fit); });
            EXPECT_EQ(g_DeviceState.LoadedWidth, ww) << q << mirror;
            EXPECT_EQ(got, want) << q << mirror;
        }
    const std::vector<uint8_t> wide(40 * 10, 128);
    FitOptions contain;
    contain.mode = FitMode::kContain, contain.quarterTurns = 1;
    Loaded([&] { DecodePixelsToGrey(wide.data(), 40, 10, 40, PixelLayout::kGrey8, contain); });
    EXPECT_EQ(g_DeviceState.LoadedWidth, 15u);  // 10 x 40 turned, contained in 80 x 60
    EXPECT_EQ(g_DeviceState.LoadedHeight, 60u);
}

// After the EXIF orientation: the corners of the upright picture turned on (see the
// orientation table above: 6 then a quarter more is a half turn).
TEST_F(Fit, RotationAndMirrorComeAfterTheExifOrientation) {
    const struct {
        uint16_t exif;
        bool orient;
        uint32_t quarterTurns;
        bool mirror;
        int tl, tr, bl;
    } cases[] = {
        {6, true, 1, false, 200, 100, 60},  {8, true, 3, false, 200, 100, 60}, {6, true, 0, true, 20, 100, 60},
        {6, false, 1, false, 100, 20, 200}, {3, true, 2, true, 60, 20, 200},
    };
    for (const auto& c : cases) {
        const auto jpeg = Cornered(Exif(false, 0x0112, 3, 1, c.exif));
        FitOptions fit;
        fit.orient = c.orient, fit.quarterTurns = c.quarterTurns, fit.mirror = c.mirror;
        const auto got = Loaded([&] { DecodeBytesToGrey(jpeg.data(), jpeg.size(), fit); });
        const uint32_t w = g_DeviceState.LoadedWidth, h = g_DeviceState.LoadedHeight;
        ASSERT_FALSE(got.empty());
        EXPECT_NEAR(got[0], c.tl, 2) << c.exif << c.quarterTurns << c.mirror;
        EXPECT_NEAR(got[w - 1], c.tr, 2) << c.exif << c.quarterTurns << c.mirror;
        EXPECT_NEAR(got[size_t{h - 1} * w], c.bl, 2) << c.exif << c.quarterTurns << c.mirror;
    }
}

// Caller pixels with alpha: transparent is white, opaque is the colour's grey.
TEST_F(Fit, AlphaIsLaidOverWhite) {
    const struct {
        uint8_t red, green, blue, alpha;
        uint8_t grey;
    } cases[] = {
        {0, 0, 0, 0, 255}, {0, 0, 0, 255, 0}, {0, 0, 0, 128, 127}, {255, 0, 0, 255, 76}, {200, 200, 200, 51, 244},
    };
    for (const auto& c : cases) {
        const uint8_t rgba[4] = {c.red, c.green, c.blue, c.alpha}, bgra[4] = {c.blue, c.green, c.red, c.alpha};
        EXPECT_EQ(Loaded([&] { DecodePixelsToGrey(rgba, 1, 1, 4, PixelLayout::kRgba32); }),
                  std::vector<uint8_t>{c.grey})
            << int(c.alpha);
        EXPECT_EQ(Loaded([&] { DecodePixelsToGrey(bgra, 1, 1, 4, PixelLayout::kBgra32); }),
                  std::vector<uint8_t>{c.grey})
            << int(c.alpha);
    }
}

}  // namespace
