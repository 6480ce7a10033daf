// Pictures through the real qp7730 into the emulator's image buffer: the grey bytes land
// at the frame's pitch, unscaled or stretched to the panel.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <jpeglib.h>

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

}  // namespace
