// The "-load FILE" action: file type check, printed lines, fit to the panel, the grey
// conversion of each depth, the transfer, and the ways a file is refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "image/grey.h"
#include "image/image.h"
#include "image/image_service.h"
#include "tests/image_test_util.h"

namespace {

using imgtest::BmpSpec;
using imgtest::g_TransferCalls;
using imgtest::MakeBmp;
using imgtest::StoreRows;
using imgtest::WriteFile;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class LoadImage : public imgtest::PanelFixture {
protected:
    // Runs LoadImageFile; returns what it printed, and the status if it ended the run.
    std::string Run(const std::string& path, int* status = nullptr) {
        CaptureStdout();
        int ended = 0;
        try {
            LoadImageFile(path.c_str());
        } catch (const RunEnded& e) {
            ended = e.Status;
            if (!status) ADD_FAILURE() << "run ended with " << e.Status;
        }
        if (status) *status = ended;
        return GetCapturedStdout();
    }
    std::string Opening(const std::string& path) {
        return "Load image: " + path + "\r\nDecoding image file: " + path + " ...\r\n";
    }
    void ExpectRefused(const std::string& path, const std::string& message) {
        int status = 0;
        EXPECT_EQ(Run(path, &status), Opening(path) + message) << path;
        EXPECT_EQ(status, -1) << path;
        EXPECT_TRUE(g_TransferCalls.empty()) << path;
    }
    std::vector<uint8_t> Loaded(uint32_t w, uint32_t h) const {
        return std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(size_t{w} * h));
    }
};

// A 24-bit picture whose colours vary in every channel.
std::vector<uint8_t> Bgr24(uint32_t w, uint32_t h) {
    std::vector<uint8_t> p(size_t{w} * h * 3);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t* c = &p[(size_t{y} * w + x) * 3];
            c[0] = static_cast<uint8_t>(x * 7 + y), c[1] = static_cast<uint8_t>(x + y * 3), c[2] = static_cast<uint8_t>(x ^ y);
        }
    return p;
}
std::vector<uint8_t> Bmp24(uint32_t w, uint32_t h, const std::vector<uint8_t>& bgr) {
    std::vector<std::vector<uint8_t>> rows;
    for (uint32_t y = 0; y < h; ++y)
        rows.emplace_back(bgr.begin() + static_cast<std::ptrdiff_t>(size_t{y} * w * 3),
                          bgr.begin() + static_cast<std::ptrdiff_t>(size_t{y + 1} * w * 3));
    BmpSpec s;
    s.width = static_cast<int32_t>(w), s.height = static_cast<int32_t>(h), s.bpp = 24;
    s.data = StoreRows(rows, false);
    return MakeBmp(s);
}
std::vector<uint8_t> GreyOfAll(const std::vector<uint8_t>& bgr) {
    std::vector<uint8_t> g(bgr.size() / 3);
    for (size_t i = 0; i < g.size(); ++i) g[i] = qpimg::GreyOfExact(bgr[3 * i], bgr[3 * i + 1], bgr[3 * i + 2]);
    return g;
}

// The same picture through the whole-bitmap service: load, create, stretch, grey.
std::vector<uint8_t> ThroughBitmapService(const std::string& path, uint32_t w, uint32_t h) {
    qpimg::Bitmap* s = qpimg::LoadBitmap(path.c_str());
    qpimg::Bitmap* d = qpimg::CreateBitmap(w, h);
    EXPECT_TRUE(s && d && qpimg::StretchBitmap(*s, *d, w, h));
    std::vector<uint8_t> grey(size_t{w} * h);
    for (uint32_t r = 0; r < h; ++r) qpimg::GreyRow(qpimg::BitmapRow(d, r), 4, grey.data() + size_t{r} * w, w);
    qpimg::ReleaseBitmap(s);
    qpimg::ReleaseBitmap(d);
    return grey;
}

TEST_F(LoadImage, PrintsEachStepAndSendsTheImageAtOrigin) {
    const auto bgr = Bgr24(400, 300);
    const std::string path = WriteFile("small.bmp", Bmp24(400, 300, bgr));
    const std::string out = Run(path);
    // Windows paths hold backslashes: the path is matched literally.
    const std::string literal = std::regex_replace(path, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
    const std::regex expected("Load image: " + literal + "\r\nDecoding image file: " + literal +
                              " \\.\\.\\.\r\nDecode image time = [0-9]+ \r\nLoaded file: W, H = 400, 300\n"
                              "Sending image file to device\\.\\.\r\nSend image time = [0-9]+ \r\n");
    EXPECT_TRUE(std::regex_match(out, expected)) << out;
    ASSERT_EQ(g_TransferCalls.size(), 1u);
    const auto& t = g_TransferCalls[0];
    EXPECT_EQ(t.source, buffer_.data());
    EXPECT_EQ(t.base, 0x00120000u);
    EXPECT_EQ(t.x, 0u);
    EXPECT_EQ(t.y, 0u);
    EXPECT_EQ(t.w, 400u);
    EXPECT_EQ(t.h, 300u);
    // Not enlarged: packed at pitch 400, each pixel its own grey.
    EXPECT_EQ(t.pixels, GreyOfAll(bgr));
    EXPECT_EQ(g_DeviceState.LoadedWidth, 0u);
    EXPECT_EQ(g_DeviceState.LoadedHeight, 0u);
}

TEST_F(LoadImage, UnsupportedTypesAreRefusedAndNothingIsSent) {
    const std::string bmp = WriteFile("real.bmp", Bmp24(4, 4, Bgr24(4, 4)));
    for (const char* name : {"pic.BMP", "pic.JPG", "pic.Rip", "pic.png", "pic.jpeg", "pic.bmp.txt", "noext",
                                    "dir.bmp/picture", "pic.bmp "}) {
        const std::string path = WriteFile(name, {'B', 'M'});
        int status = 1;
        EXPECT_EQ(Run(path, &status), "File type not supported! \r\n") << name;
        EXPECT_EQ(status, 0) << name;
    }
    EXPECT_TRUE(g_TransferCalls.empty());
}

TEST_F(LoadImage, ContentDecidesTheFormatWhateverTheName) {
    const auto bgr = Bgr24(8, 6);
    const auto bmp = Bmp24(8, 6, bgr);
    for (const char* name : {"bmp_in.rip", "bmp_in.jpg", "bmp_in.bmp"}) {
        Run(WriteFile(name, bmp));
        ASSERT_EQ(g_TransferCalls.size(), 1u) << name;
        EXPECT_EQ(g_TransferCalls[0].pixels, GreyOfAll(bgr)) << name;
        g_TransferCalls.clear();
    }
    const auto jpg = imgtest::MakeJpeg({8, 6, 3, false, false, 0, 90}, bgr);
    Run(WriteFile("jpeg_in.rip", jpg));
    ASSERT_EQ(g_TransferCalls.size(), 1u);
    EXPECT_EQ(g_TransferCalls[0].w, 8u);
}

struct FitCase {
    uint32_t w, h, wantW, wantH;
};
class LoadFit : public LoadImage, public ::testing::WithParamInterface<FitCase> {};

TEST_P(LoadFit, FitsThePanel) {
    const FitCase c = GetParam();
    const auto bgr = Bgr24(c.w, c.h);
    const std::string path = WriteFile("fit_" + std::to_string(c.w) + "x" + std::to_string(c.h) + ".bmp",
                                       Bmp24(c.w, c.h, bgr));
    Run(path);
    ASSERT_EQ(g_TransferCalls.size(), 1u);
    EXPECT_EQ(g_TransferCalls[0].w, c.wantW);
    EXPECT_EQ(g_TransferCalls[0].h, c.wantH);
    if (c.w == c.wantW && c.h == c.wantH) {
        EXPECT_EQ(Loaded(c.wantW, c.wantH), GreyOfAll(bgr));  // not scaled
    } else {
        // The streamed path equals load + create + stretch + grey on whole bitmaps.
        EXPECT_EQ(Loaded(c.wantW, c.wantH), ThroughBitmapService(path, c.wantW, c.wantH));
    }
}

INSTANTIATE_TEST_SUITE_P(Image, LoadFit,
                         ::testing::Values(FitCase{1000, 300, 800, 600}, FitCase{600, 1000, 800, 600},
                                           FitCase{801, 600, 800, 600}, FitCase{800, 600, 800, 600},
                                           FitCase{400, 300, 400, 300}, FitCase{1600, 1200, 800, 600}));

TEST_F(LoadImage, FourBitImagesUseTheNibbleValueNotThePalette) {
    BmpSpec s;
    s.width = 3, s.height = 1, s.bpp = 4;
    s.palette.assign(16, {0, 0, 255});  // all red: not consulted
    s.data = {0x3C, 0x5F, 0, 0};
    Run(WriteFile("nibbles.bmp", MakeBmp(s)));
    ASSERT_EQ(g_TransferCalls.size(), 1u);
    EXPECT_EQ(g_TransferCalls[0].pixels, (std::vector<uint8_t>{0x30, 0xC0, 0x50}));
}

struct DepthCase {
    const char* name;
    std::function<BmpSpec()> shape;
    std::vector<uint8_t> want;
};
class LoadDepth : public LoadImage, public ::testing::WithParamInterface<DepthCase> {};

TEST_P(LoadDepth, GreyThroughPaletteOrPixelFormat) {
    Run(WriteFile(std::string(GetParam().name) + ".bmp", MakeBmp(GetParam().shape())));
    ASSERT_EQ(g_TransferCalls.size(), 1u);
    EXPECT_EQ(g_TransferCalls[0].pixels, GetParam().want);
}

BmpSpec GreyPalette8() {
    BmpSpec s;
    s.width = 4, s.height = 1, s.bpp = 8;
    for (int i = 0; i < 256; ++i) s.palette.push_back({uint8_t(i), uint8_t(i), uint8_t(i)});
    s.data = {0, 17, 200, 255};
    return s;
}
BmpSpec ColourPalette8() {
    BmpSpec s;
    s.width = 3, s.height = 1, s.bpp = 8;
    s.palette = {{0, 0, 255}, {0, 255, 0}, {24, 72, 0}};
    s.data = {0, 1, 2, 0};
    return s;
}
BmpSpec Palette1() {
    BmpSpec s;
    s.width = 9, s.height = 1, s.bpp = 1;
    s.palette = {{255, 0, 0}, {255, 255, 255}};
    s.data = {0xA5, 0x80, 0, 0};  // 1 0 1 0 0 1 0 1 1
    return s;
}
BmpSpec Sixteen565() {
    BmpSpec s;
    s.width = 2, s.height = 1, s.bpp = 16, s.compression = 3;
    s.masks = {0xF800, 0x07E0, 0x001F};
    // (r 31, g 0, b 0) and (r 1, g 33, b 16)
    s.data = {0x00, 0xF8, 0x30, 0x0C};
    return s;
}

const DepthCase kDepths[] = {
    {"grey_palette_8", GreyPalette8, {0, 17, 200, 255}},
    {"colour_palette_8", ColourPalette8, {76, 149, 44}},
    {"palette_1", Palette1, {255, 29, 255, 29, 29, 255, 29, 255, 255}},
    // 5 bits 31 -> 255; 5 bits 1 -> 8, 6 bits 33 -> 134, 5 bits 16 -> 132.
    {"sixteen_565", Sixteen565, {qpimg::GreyOfExact(0, 0, 255), qpimg::GreyOfExact(132, 134, 8)}},
};

INSTANTIATE_TEST_SUITE_P(Image, LoadDepth, ::testing::ValuesIn(kDepths),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoadImage, ScaledGreyPaletteAveragesItsGreys) {
    BmpSpec s;
    s.width = 1600, s.height = 1200, s.bpp = 8;
    for (int i = 0; i < 256; ++i) s.palette.push_back({uint8_t(i), uint8_t(i), uint8_t(i)});
    std::vector<std::vector<uint8_t>> rows(1200, std::vector<uint8_t>(1600));
    for (int y = 0; y < 1200; ++y)
        for (int x = 0; x < 1600; ++x) rows[y][x] = static_cast<uint8_t>((x & 1) ? 100 : 51 + (y & 1));
    s.data = StoreRows(rows, false);
    Run(WriteFile("grey_big.bmp", MakeBmp(s)));
    ASSERT_EQ(g_TransferCalls.size(), 1u);
    // (51 + 100 + 52 + 100) / 4 = 75.75
    EXPECT_EQ(g_TransferCalls[0].pixels, std::vector<uint8_t>(800 * 600, 76));
}

TEST_F(LoadImage, LargeJpegIsReducedThenAveragedToThePanel) {
    SetPanel(100, 60);
    std::vector<uint8_t> flat(size_t{450} * 250 * 3);
    for (size_t i = 0; i < flat.size(); i += 3) flat[i] = 40, flat[i + 1] = 120, flat[i + 2] = 200;
    Run(WriteFile("wide.jpg", imgtest::MakeJpeg({450, 250, 3, false, false, 0, 95}, flat)));
    ASSERT_EQ(g_TransferCalls.size(), 1u);
    EXPECT_EQ(g_TransferCalls[0].w, 100u);
    EXPECT_EQ(g_TransferCalls[0].h, 60u);
    const int grey = qpimg::GreyOfExact(40, 120, 200);
    for (uint8_t v : g_TransferCalls[0].pixels) ASSERT_NEAR(v, grey, 3);
}

TEST_F(LoadImage, TruncatedJpegDecodesWhatItHas) {
    const auto bgr = Bgr24(64, 64);
    auto jpg = imgtest::MakeJpeg({64, 64, 3, false, false, 0, 90}, bgr);
    jpg.resize(jpg.size() / 2);
    int status = 0;
    Run(WriteFile("half.jpg", jpg), &status);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(g_TransferCalls.size(), 1u);
    EXPECT_EQ(g_TransferCalls[0].w, 64u);
    EXPECT_EQ(g_TransferCalls[0].h, 64u);
}

TEST_F(LoadImage, FilesThatYieldNoImageEndTheRun) {
    const std::string wrong = "Error: wrong size of loaded file\n";
    ExpectRefused(imgtest::ScratchDir() + "/missing.bmp", wrong);
    ExpectRefused(WriteFile("empty.jpg", {}), wrong);
    ExpectRefused(WriteFile("text.rip", {'h', 'e', 'l', 'l', 'o'}), wrong);
    auto jpg = imgtest::MakeJpeg({16, 16, 3, false, false, 0, 90}, Bgr24(16, 16));
    jpg.resize(60);
    ExpectRefused(WriteFile("cut_header.jpg", jpg), wrong);
    BmpSpec huge;
    huge.width = 100000, huge.height = 100000, huge.bpp = 24;
    huge.data.assign(64, 0);
    ExpectRefused(WriteFile("huge.bmp", MakeBmp(huge)), wrong);
    BmpSpec offset;
    offset.width = 4, offset.height = 4, offset.bpp = 24, offset.pixelOffset = 5000;
    auto past = MakeBmp(offset);
    past.resize(100);
    ExpectRefused(WriteFile("offset.bmp", past), wrong);
    const std::string folder = imgtest::ScratchDir() + "/folder.bmp";
    std::filesystem::create_directories(folder);
    ExpectRefused(folder, wrong);
}

TEST_F(LoadImage, NoPanelMeansNoImage) {
    SetPanel(0, 0);
    g_DeviceState.HostImageBuffer = buffer_.data();
    ExpectRefused(WriteFile("tiny.bmp", Bmp24(2, 2, Bgr24(2, 2))), "Error: wrong size of loaded file\n");
}

TEST_F(LoadImage, MissingImageBufferEndsTheRunWithAMessage) {
    g_DeviceState.HostImageBuffer = nullptr;
    ExpectRefused(WriteFile("any.bmp", Bmp24(2, 2, Bgr24(2, 2))),
                  "Error: no image buffer to decode into (allocation failed at start-up)\n");
}

}  // namespace
