// Pictures through the real qp7730 into the emulator's image buffer: the grey bytes land
// at the frame's pitch, unscaled or stretched to the panel.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <png.h>

#include "tests/e2e/harness.h"
#include "tests/support/picture_files.h"

namespace {

using e2e::EmuClient;
using e2e::Emulator;
using e2e::RunResult;
using e2e::RunTool;

constexpr uint32_t kW = 800, kH = 600, kBase = 0x12000;
const std::string kStartup = "Panel width = 800\nPanel height = 600\nImage Buffer Address = 0x12000\n";

uint8_t Grey(uint8_t b, uint8_t g, uint8_t r) { return static_cast<uint8_t>((r * 0.3 + g * 0.587) + b * 0.114); }

// A bottom-up 24-bit BMP of w x h from a pixel function giving blue, green, red.
template <typename F>
std::vector<uint8_t> Bmp24(uint32_t w, uint32_t h, F pixel) {
    std::vector<std::vector<uint8_t>> rows(h, std::vector<uint8_t>(size_t{w} * 3));
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const auto bgr = pixel(x, y);
            std::copy(bgr.begin(), bgr.end(), rows[y].begin() + 3 * x);
        }
    imgtest::BmpSpec shape;
    shape.width = static_cast<int32_t>(w);
    shape.height = static_cast<int32_t>(h);
    shape.data = imgtest::StoreRows(rows, false);
    return imgtest::MakeBmp(shape);
}

// The reference decode: libjpeg with its default settings, to blue, green, red.
std::vector<uint8_t> DecodeJpeg(const std::vector<uint8_t>& file) {
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, file.data(), file.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&d);
    std::vector<uint8_t> bgr(size_t{d.output_width} * d.output_height * 3);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = &bgr[size_t{d.output_scanline} * d.output_width * 3];
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return bgr;
}

// A PNG of w x h from pixels given as 8-bit channels of `format` (libpng's simplified
// layouts: PNG_FORMAT_BGR, PNG_FORMAT_GA, ...).
std::vector<uint8_t> Png(uint32_t w, uint32_t h, uint32_t format, const std::vector<uint8_t>& pixels) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = w;
    image.height = h;
    image.format = format;
    png_alloc_size_t size = 0;
    if (!png_image_write_get_memory_size(image, size, 0, pixels.data(), 0, nullptr)) return {};
    std::vector<uint8_t> file(size);
    if (!png_image_write_to_memory(&image, file.data(), &size, 0, pixels.data(), 0, nullptr)) return {};
    file.resize(size);
    return file;
}

// Smooth gradients with some texture: what photographs give a decoder to do.
std::vector<uint8_t> Photo(uint32_t w, uint32_t h, int channels) {
    std::vector<uint8_t> p(size_t{w} * h * channels);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (int c = 0; c < channels; ++c)
                p[(size_t{y} * w + x) * channels + c] =
                    static_cast<uint8_t>((x * (c + 1) + y * (3 - c)) / 7 + ((x * 131 + y * 71 + c * 29) % 23));
    return p;
}

class PictureLoad : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::vector<uint8_t>& data) {
        const std::string path = emu.TempDir() + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
        return path;
    }
    // Runs -load and checks the lines that do not carry timings.
    void Load(const std::string& path, uint32_t w, uint32_t h) {
        const RunResult r = RunTool({"-load", path}, emu.SocketPath());
        ASSERT_EQ(r.exitStatus, 0) << r.out;
        EXPECT_EQ(r.out.rfind(kStartup + "\nLoading image from file " + path + "...\nLoad image: " + path +
                                  "\r\nDecoding image file: " + path + " ...\r\nDecode image time = ",
                              0),
                  0u)
            << r.out;
        EXPECT_NE(r.out.find("Loaded file: W, H = " + std::to_string(w) + ", " + std::to_string(h) +
                             "\nSending image file to device..\r\nSend image time = "),
                  std::string::npos);
        EXPECT_EQ(r.out.substr(r.out.size() - 9), " \r\nDone.\n");
    }
    std::vector<uint8_t> Frame() { return EmuClient(emu.SocketPath()).ReadMemory(kBase, kW * kH); }
    Emulator emu{{"--width", "800", "--height", "600", "--image-buffer", "0x12000"}};
};

TEST_F(PictureLoad, UnscaledBmpLandsAtTheFramePitch) {
    auto pixel = [](uint32_t x, uint32_t y) {
        return std::array<uint8_t, 3>{static_cast<uint8_t>(x * 3), static_cast<uint8_t>(y * 5),
                                      static_cast<uint8_t>(x ^ y)};
    };
    const std::string path = Write("picture.bmp", Bmp24(300, 200, pixel));
    Load(path, 300, 200);
    const auto frame = Frame();
    size_t wrong = 0;
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x) {
            const auto p = pixel(x, y);
            const uint8_t expected = x < 300 && y < 200 ? Grey(p[0], p[1], p[2]) : 0;
            wrong += frame[size_t{y} * kW + x] != expected;
        }
    EXPECT_EQ(wrong, 0u);
}

TEST_F(PictureLoad, UnscaledJpegGivesTheGreyOfItsDecodedColours) {
    const uint32_t w = 320, h = 240;
    std::vector<uint8_t> bgr(size_t{w} * h * 3);
    for (uint32_t i = 0; i < w * h; ++i) {
        bgr[3 * i] = static_cast<uint8_t>(i % w);
        bgr[3 * i + 1] = static_cast<uint8_t>(i / w);
        bgr[3 * i + 2] = static_cast<uint8_t>((i % w + i / w) / 2);
    }
    imgtest::JpegSpec shape;
    shape.width = static_cast<int>(w);
    shape.height = static_cast<int>(h);
    shape.quality = 90;
    const auto file = imgtest::MakeJpeg(shape, bgr);
    const auto decoded = DecodeJpeg(file);
    // The name says .rip: the content decides how the file is read.
    const std::string path = Write("photo.rip", file);
    Load(path, w, h);
    const auto frame = Frame();
    size_t wrong = 0;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* p = &decoded[(size_t{y} * w + x) * 3];
            wrong += frame[size_t{y} * kW + x] != Grey(p[0], p[1], p[2]);
        }
    EXPECT_EQ(wrong, 0u);
}

TEST_F(PictureLoad, LargerPictureIsStretchedToThePanel) {
    // 1,600 x 300: wider than the panel, so both sides become the panel's. Left half red,
    // right half blue: exactly 2:1 across, so the halves stay apart.
    auto pixel = [](uint32_t x, uint32_t) {
        return x < 800 ? std::array<uint8_t, 3>{0, 0, 255} : std::array<uint8_t, 3>{255, 0, 0};
    };
    Load(Write("wide.bmp", Bmp24(1600, 300, pixel)), kW, kH);
    const auto frame = Frame();
    size_t wrong = 0;
    for (uint32_t i = 0; i < kW * kH; ++i) wrong += frame[i] != (i % kW < 400 ? 76 : 29);
    EXPECT_EQ(wrong, 0u);
}

TEST_F(PictureLoad, RefusedNamesAndFilesThatYieldNoPicture) {
    const std::string png = Write("picture.png", {1, 2, 3});
    RunResult r = RunTool({"-load", png}, emu.SocketPath());
    EXPECT_EQ(r.out, kStartup + "\nLoading image from file " + png + "...\nFile type not supported! \r\nDone.\n");
    EXPECT_EQ(r.exitStatus, 0);

    const std::string missing = emu.TempDir() + "/missing.jpg";
    r = RunTool({"-load", missing}, emu.SocketPath());
    EXPECT_EQ(r.out, kStartup + "\nLoading image from file " + missing + "...\nLoad image: " + missing +
                         "\r\nDecoding image file: " + missing + " ...\r\nError: wrong size of loaded file\n");
    EXPECT_EQ(r.exitStatus, 255);

    const auto frame = Frame();
    EXPECT_EQ(std::count(frame.begin(), frame.end(), 0), static_cast<long>(frame.size()));
}

// The Windows program decodes with its own builds of the same library versions: each
// picture must give the image buffer exactly the bytes this build's qp7730 gives it,
// through every decoder and the stretch to the panel.
TEST_F(PictureLoad, WindowsProgramGivesTheBytesOfThisBuild) {
    if (!e2e::ToolIsWindowsProgram()) GTEST_SKIP() << "the tool is this build's qp7730";
    auto jpeg = [](int w, int h, int components, bool progressive, bool arithmetic) {
        imgtest::JpegSpec shape;
        shape.width = w, shape.height = h, shape.components = components;
        shape.progressive = progressive, shape.arithmetic = arithmetic, shape.quality = 85;
        return imgtest::MakeJpeg(shape, Photo(w, h, components));
    };
    std::vector<std::array<uint8_t, 3>> palette(256);
    for (int i = 0; i < 256; ++i) palette[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7)};
    imgtest::BmpSpec indexed;
    indexed.width = 1200, indexed.height = 900, indexed.bpp = 8, indexed.palette = palette;
    {
        const auto pixels = Photo(1200, 900, 1);
        std::vector<std::vector<uint8_t>> rows(900);
        for (uint32_t y = 0; y < 900; ++y) rows[y].assign(pixels.begin() + y * 1200, pixels.begin() + (y + 1) * 1200);
        indexed.data = imgtest::StoreRows(rows, false);
    }
    const std::pair<const char*, std::vector<uint8_t>> pictures[] = {
        {"reduced_scale.jpg", jpeg(2000, 1500, 3, false, false)},   // decoded at 4/8, then averaged
        {"progressive.jpg", jpeg(1700, 1300, 3, true, false)},
        {"arithmetic.jpg", jpeg(900, 700, 3, false, true)},
        {"grey.jpg", jpeg(640, 480, 1, false, false)},
        {"cmyk.jpg", jpeg(500, 400, 4, false, false)},
        {"colour_png.rip", Png(1000, 500, PNG_FORMAT_BGR, Photo(1000, 500, 3))},
        {"grey_alpha_png.rip", Png(700, 300, PNG_FORMAT_GA, Photo(700, 300, 2))},
        {"palette.bmp", imgtest::MakeBmp(indexed)},
    };
    const std::vector<uint8_t> cleared(kW * kH, 0);
    for (const auto& [name, file] : pictures) {
        SCOPED_TRACE(name);
        ASSERT_FALSE(file.empty());
        const std::string path = Write(name, file);
        std::vector<uint8_t> frames[2];
        for (int run = 0; run < 2; ++run) {
            EmuClient(emu.SocketPath()).WriteMemory(kBase, cleared);
            e2e::RunOptions options;
            if (run == 0) options.command = {e2e::ToolPath()};
            const RunResult r = RunTool({"-load", path}, emu.SocketPath(), options);
            ASSERT_EQ(r.exitStatus, 0) << r.out;
            frames[run] = Frame();
        }
        size_t differ = 0;
        for (size_t i = 0; i < frames[0].size(); ++i) differ += frames[0][i] != frames[1][i];
        EXPECT_EQ(differ, 0u);
        EXPECT_NE(std::count(frames[0].begin(), frames[0].end(), 0), static_cast<long>(frames[0].size()));
    }
}

}  // namespace
