// The "-load FILE" action: file type check, printed lines, fit to the panel, the grey
// conversion of each depth, the transfer, and the ways a file is refused.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <thread>

#include <filesystem>
#include <functional>
#include <regex>

#include "image/grey.h"
#include "image/image.h"
#include "image/image_service.h"
#include "tests/image_test_util.h"

// Counts the threads the process starts: this definition stands in for the C library's
// (the dynamic linker resolves the calls of the C++ runtime to the program's own) and
// passes each call on.
namespace {
std::atomic<int> g_ThreadsStarted{0};
}
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const Create real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    g_ThreadsStarted.fetch_add(1);
    return real(thread, attr, start, arg);
}

namespace {

using imgtest::BmpLayout;
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
    // Expects the failed-load lines on standard output and, when `reason` is given, a
    // line naming the file and holding `reason` on standard error.
    void ExpectRefused(const std::string& path, const std::string& message, const std::string& reason = "") {
        int status = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(Run(path, &status), Opening(path) + message) << path;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, -1) << path;
        EXPECT_TRUE(g_TransferCalls.empty()) << path;
        if (!reason.empty()) {
            EXPECT_EQ(err.rfind("qp7730: " + path + ": ", 0), 0u) << err;
            EXPECT_NE(err.find(reason), std::string::npos) << err;
            EXPECT_EQ(err.back(), '\n');
        }
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
    BmpLayout s;
    s.width = static_cast<int32_t>(w), s.height = static_cast<int32_t>(h), s.bpp = 24;
    s.data = StoreRows(rows, false);
    return MakeBmp(s);
}
std::vector<uint8_t> GreyOfAll(const std::vector<uint8_t>& bgr) { return imgtest::ReferenceGreyOf(bgr); }

// White with black bars: a bar `bar` pixels wide at x = barAt, a 1-pixel line at the
// right edge and at the bottom edge. Blue, green, red.
std::vector<uint8_t> Bars(uint32_t w, uint32_t h, uint32_t barAt, uint32_t bar) {
    std::vector<uint8_t> p(size_t{w} * h * 3, 255);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            if ((x >= barAt && x < barAt + bar) || x == w - 1 || y == h - 1) std::fill_n(&p[(size_t{y} * w + x) * 3], 3, 0);
    return p;
}

// Photograph-like: smooth colour fields under strong noise. Blue, green, red.
std::vector<uint8_t> Photo(uint32_t w, uint32_t h, uint32_t seed) {
    std::vector<uint8_t> p(size_t{w} * h * 3);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = static_cast<int>(seed >> 27) - 16;
            const int base[3] = {static_cast<int>(40 + 150 * y / h), static_cast<int>(60 + 120 * x / w),
                                 static_cast<int>(200 - 100 * (x + y) / (w + h))};
            for (int c = 0; c < 3; ++c) p[(size_t{y} * w + x) * 3 + c] = static_cast<uint8_t>(std::clamp(base[c] + noise, 0, 255));
        }
    return p;
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
        // The area average by its definition, computed here, then the grey rule.
        EXPECT_EQ(Loaded(c.wantW, c.wantH), GreyOfAll(imgtest::ReferenceFit(bgr, c.w, c.h, c.wantW, c.wantH)));
    }
}

INSTANTIATE_TEST_SUITE_P(Image, LoadFit,
                         ::testing::Values(FitCase{1000, 300, 800, 600}, FitCase{600, 1000, 800, 600},
                                           FitCase{801, 600, 800, 600}, FitCase{800, 600, 800, 600},
                                           FitCase{400, 300, 400, 300}, FitCase{1600, 1200, 800, 600},
                                           FitCase{1603, 1207, 800, 600}, FitCase{2411, 613, 800, 600}));

// Bars and edges at sizes that are not multiples of 8, through BMP (exact) against the
// fit computed here.
TEST_F(LoadImage, BarsAndEdgesAreFittedByArea) {
    struct {
        uint32_t w, h, barAt, bar;
    } cases[] = {{1001, 601, 500, 3}, {6401 / 4, 4801 / 4, 800, 8}, {803, 1999, 13, 1}};
    for (const auto& c : cases) {
        const auto bgr = Bars(c.w, c.h, c.barAt, c.bar);
        g_TransferCalls.clear();
        Run(WriteFile("bars_" + std::to_string(c.w) + ".bmp", Bmp24(c.w, c.h, bgr)));
        ASSERT_EQ(g_TransferCalls.size(), 1u);
        EXPECT_EQ(g_TransferCalls[0].pixels, GreyOfAll(imgtest::ReferenceFit(bgr, c.w, c.h, 800, 600))) << c.w << "x" << c.h;
    }
}

TEST_F(LoadImage, FourBitImagesUseTheNibbleValueNotThePalette) {
    BmpLayout s;
    s.width = 3, s.height = 1, s.bpp = 4;
    s.palette.assign(16, {0, 0, 255});  // all red: not consulted
    s.data = {0x3C, 0x5F, 0, 0};
    Run(WriteFile("nibbles.bmp", MakeBmp(s)));
    ASSERT_EQ(g_TransferCalls.size(), 1u);
    EXPECT_EQ(g_TransferCalls[0].pixels, (std::vector<uint8_t>{0x30, 0xC0, 0x50}));
}

struct DepthCase {
    const char* name;
    std::function<BmpLayout()> shape;
    std::vector<uint8_t> want;
};
class LoadDepth : public LoadImage, public ::testing::WithParamInterface<DepthCase> {};

TEST_P(LoadDepth, GreyThroughPaletteOrPixelFormat) {
    Run(WriteFile(std::string(GetParam().name) + ".bmp", MakeBmp(GetParam().shape())));
    ASSERT_EQ(g_TransferCalls.size(), 1u);
    EXPECT_EQ(g_TransferCalls[0].pixels, GetParam().want);
}

BmpLayout GreyPalette8() {
    BmpLayout s;
    s.width = 4, s.height = 1, s.bpp = 8;
    for (int i = 0; i < 256; ++i) s.palette.push_back({uint8_t(i), uint8_t(i), uint8_t(i)});
    s.data = {0, 17, 200, 255};
    return s;
}
BmpLayout ColourPalette8() {
    BmpLayout s;
    s.width = 3, s.height = 1, s.bpp = 8;
    s.palette = {{0, 0, 255}, {0, 255, 0}, {24, 72, 0}};
    s.data = {0, 1, 2, 0};
    return s;
}
BmpLayout Palette1() {
    BmpLayout s;
    s.width = 9, s.height = 1, s.bpp = 1;
    s.palette = {{255, 0, 0}, {255, 255, 255}};
    s.data = {0xA5, 0x80, 0, 0};  // 1 0 1 0 0 1 0 1 1
    return s;
}
BmpLayout Sixteen565() {
    BmpLayout s;
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
    BmpLayout s;
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
    const int grey = imgtest::ReferenceGrey(40, 120, 200);
    for (uint8_t v : g_TransferCalls[0].pixels) ASSERT_NEAR(v, grey, 3);
}

// A JPEG decoded at a reduced scale whose sides are not multiples of the reduced pixel:
// the last reduced column and row cover only what is left of the picture, and the bar in
// the middle lands where it is. 1,601 x 1,201 at 1/8 gives 201 x 151 reduced pixels, the
// last of each covering one file pixel.
TEST_F(LoadImage, ReducedJpegKeepsBarsAndEdgesInPlace) {
    SetPanel(200, 150);
    const uint32_t w = 1601, h = 1201;
    const auto file = imgtest::MakeJpeg({int(w), int(h), 3, false, false, 0, 95}, Bars(w, h, 800, 8));
    Run(WriteFile("bars.jpg", file));
    ASSERT_EQ(g_TransferCalls.size(), 1u);
    const auto& got = g_TransferCalls[0].pixels;
    // Column 99 covers [792.5, 800.5): half a pixel of the bar, 255 x 7.505 / 8.005 = 239;
    // column 100 covers [800.5, 808.5): 7.5 pixels of it, 255 x 0.505 / 8.005 = 16;
    // column 199 covers [1593, 1601): the black edge is 1 of 8.005 pixels, 223.
    const uint32_t row = 75;
    EXPECT_NEAR(got[row * 200 + 99], 239, 3);
    EXPECT_NEAR(got[row * 200 + 100], 16, 3);
    EXPECT_NEAR(got[row * 200 + 199], 223, 3);
    EXPECT_NEAR(got[149 * 200 + 50], 223, 3);  // the bottom edge likewise
    EXPECT_NEAR(got[row * 200 + 98], 255, 2);
    EXPECT_NEAR(got[row * 200 + 101], 255, 2);

    // The same against the full decode averaged by the definition.
    const imgtest::Decoded full = imgtest::DecodeFile(imgtest::ScratchDir() + "/bars.jpg");
    ASSERT_TRUE(full.ok);
    const auto want = GreyOfAll(imgtest::ReferenceFit(full.bgr, w, h, 200, 150));
    int worst = 0;
    for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, std::abs(got[i] - want[i]));
    EXPECT_LE(worst, 4);
}

// The error left by reduced-scale decoding, against a full decode averaged by the
// definition, on photograph-like pictures (strong noise) at sizes that are not multiples
// of 8. Measured: mean 0.4 (1/8 scale) to 1.1 (2/8), largest 7.
TEST_F(LoadImage, ReducedJpegStaysCloseToFullDecodeAveraged) {
    struct {
        uint32_t w, h, panelW, panelH;
    } cases[] = {{1283, 965, 300, 220}, {1601, 1201, 200, 150}, {2011, 1517, 480, 360}};
    for (const auto& c : cases) {
        SetPanel(c.panelW, c.panelH);
        const auto file = imgtest::MakeJpeg({int(c.w), int(c.h), 3, false, false, 0, 90}, Photo(c.w, c.h, c.w));
        const std::string path = WriteFile("photo_" + std::to_string(c.w) + ".jpg", file);
        Run(path);
        ASSERT_EQ(g_TransferCalls.size(), 1u);
        const imgtest::Decoded full = imgtest::DecodeFile(path);
        ASSERT_TRUE(full.ok);
        const auto want = GreyOfAll(imgtest::ReferenceFit(full.bgr, c.w, c.h, c.panelW, c.panelH));
        const auto& got = g_TransferCalls[0].pixels;
        int worst = 0;
        double total = 0;
        for (size_t i = 0; i < want.size(); ++i) {
            const int e = std::abs(got[i] - want[i]);
            worst = std::max(worst, e);
            total += e;
        }
        const double mean = total / static_cast<double>(want.size());
        std::printf("[ reduced ] %ux%u -> %ux%u: mean |error| %.3f, largest %d\n", c.w, c.h, c.panelW, c.panelH, mean, worst);
        // libjpeg's reduced inverse transforms at 2/8 and 4/8 are close to, not equal to,
        // the average of the pixels they stand for (at 1/8 the block's mean is exact).
        EXPECT_LT(mean, 1.5) << c.w;
        EXPECT_LE(worst, 10) << c.w;
    }
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

TEST_F(LoadImage, FilesThatYieldNoImageEndTheRunAndSayWhy) {
    const std::string wrong = "Error: wrong size of loaded file\n";
    ExpectRefused(imgtest::ScratchDir() + "/missing.bmp", wrong, "cannot open the file: No such file or directory");
    ExpectRefused(WriteFile("empty.jpg", {}), wrong, "the file is empty");
    ExpectRefused(WriteFile("text.rip", {'h', 'e', 'l', 'l', 'o'}), wrong, "not a BMP, JPEG, PNG, GIF or TIFF picture");
    auto jpg = imgtest::MakeJpeg({16, 16, 3, false, false, 0, 90}, Bgr24(16, 16));
    jpg.resize(60);
    ExpectRefused(WriteFile("cut_header.jpg", jpg), wrong, "not a readable JPEG");
    BmpLayout huge;
    huge.width = 100000, huge.height = 100000, huge.bpp = 24;
    huge.data.assign(64, 0);
    ExpectRefused(WriteFile("huge.bmp", MakeBmp(huge)), wrong, "declares 100000 x 100000 pixels");
    BmpLayout offset;
    offset.width = 4, offset.height = 4, offset.bpp = 24, offset.pixelOffset = 5000;
    auto past = MakeBmp(offset);
    past.resize(100);
    ExpectRefused(WriteFile("offset.bmp", past), wrong, "past the end of the file");
    const std::string folder = imgtest::ScratchDir() + "/folder.bmp";
    std::filesystem::create_directories(folder);
    ExpectRefused(folder, wrong, "not a regular file");
    // Corrupt part way: a PNG whose image data is cut after its first rows.
    imgtest::PngLayout png{64, 64, 0, 8};
    std::vector<uint16_t> noise(64 * 64);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint16_t>((i * 7919) & 255);
    auto cut = imgtest::MakePng(png, noise);
    cut.resize(cut.size() / 2);
    ExpectRefused(WriteFile("cut.rip", cut), wrong, "corrupt PNG data at row ");
}

TEST_F(LoadImage, NoPanelMeansNoImage) {
    SetPanel(0, 0);
    g_DeviceState.HostImageBuffer = buffer_.data();
    ExpectRefused(WriteFile("tiny.bmp", Bmp24(2, 2, Bgr24(2, 2))), "Error: wrong size of loaded file\n",
                  "the panel size is 0 x 0");
}

// Greyscale and Adobe CMYK JPEGs through the action: the grey of their decoded colours.
TEST_F(LoadImage, GreyscaleAndCmykJpegs) {
    const uint32_t w = 37, h = 21;
    std::vector<uint8_t> grey(size_t{w} * h), cmyk(size_t{w} * h * 4);
    for (uint32_t i = 0; i < w * h; ++i) {
        grey[i] = static_cast<uint8_t>(i % w * 6);
        // Adobe convention (libjpeg writes it): 255 is no ink. Left half no ink at all,
        // right half full black.
        uint8_t* p = &cmyk[4 * i];
        p[0] = p[1] = p[2] = 255;
        p[3] = i % w < w / 2 ? 255 : 0;
    }
    Run(WriteFile("grey.jpg", imgtest::MakeJpeg({int(w), int(h), 1, false, false, 0, 100}, grey)));
    ASSERT_EQ(g_TransferCalls.size(), 1u);
    const imgtest::Decoded decoded = imgtest::DecodeFile(imgtest::ScratchDir() + "/grey.jpg");
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(g_TransferCalls[0].pixels, GreyOfAll(decoded.bgr));  // a grey v gives v
    for (uint32_t i = 0; i < w * h; ++i) ASSERT_NEAR(g_TransferCalls[0].pixels[i], grey[i], 3) << i;

    g_TransferCalls.clear();
    Run(WriteFile("cmyk.jpg", imgtest::MakeJpeg({int(w), int(h), 4, false, false, 0, 100}, cmyk)));
    ASSERT_EQ(g_TransferCalls.size(), 1u);
    const auto& got = g_TransferCalls[0].pixels;
    EXPECT_GE(got[10 * w + 3], 250);
    EXPECT_LE(got[10 * w + w - 3], 5);
}

// Large pictures that are fitted are decoded on a second thread; pictures at their own
// size, and small ones, on this one.
TEST_F(LoadImage, LargeFittedPicturesAreDecodedAhead) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one processor: nothing to gain from a second thread";
    struct {
        uint32_t w, h;
        int threads;
    } cases[] = {{1603, 1207, 1}, {800, 600, 0}, {900, 290, 0}};
    for (const auto& c : cases) {
        const std::string path = WriteFile("ahead_" + std::to_string(c.w) + ".bmp", Bmp24(c.w, c.h, Bgr24(c.w, c.h)));
        const int before = g_ThreadsStarted.load();
        Run(path);
        EXPECT_EQ(g_ThreadsStarted.load() - before, c.threads) << c.w << "x" << c.h;
        ASSERT_EQ(g_TransferCalls.size(), 1u);
        g_TransferCalls.clear();
    }
}

TEST_F(LoadImage, MissingImageBufferEndsTheRunWithAMessage) {
    g_DeviceState.HostImageBuffer = nullptr;
    ExpectRefused(WriteFile("any.bmp", Bmp24(2, 2, Bgr24(2, 2))),
                  "Error: no image buffer to decode into (allocation failed at start-up)\n");
}

}  // namespace
