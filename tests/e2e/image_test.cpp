// Pictures through the real qp7730 into the emulator's image buffer: the grey bytes land
// at the frame's pitch, unscaled or stretched to the panel; every BMP depth, 16-bit PNG,
// reduced JPEG, GIF and TIFF; files refused quickly with a reason on standard error.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
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
    imgtest::BmpLayout shape;
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

// Smooth gradients with some texture: what photographs give a decoder to do. `channels`
// 8-bit samples a pixel.
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
    // The top-left w x h of the frame, packed.
    std::vector<uint8_t> Area(uint32_t w, uint32_t h) {
        const auto frame = Frame();
        std::vector<uint8_t> out;
        for (uint32_t y = 0; y < h; ++y)
            out.insert(out.end(), frame.begin() + static_cast<std::ptrdiff_t>(y * kW),
                       frame.begin() + static_cast<std::ptrdiff_t>(y * kW + w));
        return out;
    }
    // Runs -load on a file that yields nothing: the failed-load lines, status -1, the
    // reason on standard error; returns the seconds it took.
    double ExpectRefused(const std::string& path, const std::string& reason) {
        const auto t0 = std::chrono::steady_clock::now();
        const RunResult r = RunTool({"-load", path}, emu.SocketPath());
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(r.out, kStartup + "\nLoading image from file " + path + "...\nLoad image: " + path +
                             "\r\nDecoding image file: " + path + " ...\r\nError: wrong size of loaded file\n");
        EXPECT_EQ(r.exitStatus, 255);
        EXPECT_EQ(r.err.rfind("qp7730: " + path + ": ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
        return seconds;
    }
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
    imgtest::JpegLayout shape;
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

// GIF and TIFF by content, through giflib and libtiff: each file's expected colours are
// worked out here from what was written (palette entries, 16-bit samples scaled to 8 bits,
// CMYK inks, transparency over white), and the frame holds exactly their greys.
TEST_F(PictureLoad, GifAndTiffFilesLoadWithTheGreyOfTheirColours) {
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
        std::vector<uint8_t> bgr;  // what the picture shows
        uint32_t w, h;
    };
    std::vector<Case> cases;
    const auto value = [](uint32_t i, uint32_t k) { return static_cast<uint32_t>((i * 2654435761u + k * 40503u) >> 7); };
    {
        // Interlaced, transparent, a 256-colour map, the frame inside a larger screen.
        imgtest::GifLayout g;
        g.screenWidth = 203, g.screenHeight = 121, g.left = 11, g.top = 6, g.width = 150, g.height = 97;
        g.interlaced = true, g.transparent = 7;
        for (uint32_t i = 0; i < 256; ++i)
            g.globalMap.push_back({static_cast<uint8_t>(value(i, 0)), static_cast<uint8_t>(value(i, 1)),
                                   static_cast<uint8_t>(value(i, 2))});
        std::vector<uint8_t> indices(size_t{g.width} * g.height), bgr(size_t{g.screenWidth} * g.screenHeight * 3, 255);
        for (size_t i = 0; i < indices.size(); ++i) {
            const uint8_t v = indices[i] = static_cast<uint8_t>(value(static_cast<uint32_t>(i), 3));
            if (v == 7) continue;
            uint8_t* o = &bgr[((g.top + i / g.width) * g.screenWidth + g.left + i % g.width) * 3];
            o[0] = g.globalMap[v][2], o[1] = g.globalMap[v][1], o[2] = g.globalMap[v][0];
        }
        cases.push_back({"interlaced.rip", imgtest::MakeGif(g, indices), bgr, g.screenWidth, g.screenHeight});
    }
    // TIFFs of 211 x 133: the samples, then what they show.
    const auto tiff = [&](const char* name, imgtest::TiffLayout t, auto show) {
        t.width = 211, t.height = 133;
        std::vector<uint16_t> samples(size_t{t.width} * t.height * t.spp);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>(value(static_cast<uint32_t>(i), 5) % (1u << t.bits));
        std::vector<uint8_t> bgr;
        for (size_t p = 0; p < size_t{t.width} * t.height; ++p) {
            const auto c = show(&samples[p * t.spp]);
            bgr.insert(bgr.end(), {c[2], c[1], c[0]});
        }
        cases.push_back({name, imgtest::MakeTiff(t, samples), bgr, t.width, t.height});
    };
    const auto to8 = [](uint32_t v) { return static_cast<uint8_t>((v * 255 + 32767) / 65535); };
    imgtest::TiffLayout lzwTiles;
    lzwTiles.spp = 3, lzwTiles.photometric = 2, lzwTiles.compression = 5, lzwTiles.tileWidth = lzwTiles.tileHeight = 64;
    tiff("rgb_lzw_tiles.rip", lzwTiles, [](const uint16_t* s) {
        return std::array<uint8_t, 3>{static_cast<uint8_t>(s[0]), static_cast<uint8_t>(s[1]), static_cast<uint8_t>(s[2])};
    });
    imgtest::TiffLayout grey16;
    grey16.bits = 16, grey16.compression = 8, grey16.bigEndian = true, grey16.rowsPerStrip = 10;
    tiff("grey16_deflate.rip", grey16, [&](const uint16_t* s) { return std::array<uint8_t, 3>{to8(s[0]), to8(s[0]), to8(s[0])}; });
    imgtest::TiffLayout cmyk;
    cmyk.spp = 4, cmyk.photometric = 5, cmyk.compression = 32773, cmyk.separate = true;
    tiff("cmyk_planes.rip", cmyk, [](const uint16_t* s) {
        std::array<uint8_t, 3> c{};
        for (int i = 0; i < 3; ++i) c[i] = static_cast<uint8_t>(((255 - s[i]) * (255 - s[3]) + 127) / 255);
        return c;
    });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Load(Write(c.name, c.file), c.w, c.h);
        std::vector<uint8_t> expected(size_t{c.w} * c.h);
        for (size_t i = 0; i < expected.size(); ++i) expected[i] = Grey(c.bgr[3 * i], c.bgr[3 * i + 1], c.bgr[3 * i + 2]);
        EXPECT_EQ(Area(c.w, c.h), expected);
    }
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
    EXPECT_EQ(r.err, "");

    ExpectRefused(emu.TempDir() + "/missing.jpg", "cannot open the file: No such file or directory");
    ExpectRefused(Write("text.bmp", {'B', 'M', 'x'}), "BMP headers cut short");
    ExpectRefused(Write("notes.rip", {'h', 'e', 'l', 'l', 'o'}), "not a BMP, JPEG, PNG, GIF or TIFF picture");

    const auto frame = Frame();
    EXPECT_EQ(std::count(frame.begin(), frame.end(), 0), static_cast<long>(frame.size()));
}

// Palette, 1-bit, RLE and 16-bit BMPs at their own size: through their palettes and pixel
// formats, each grey from the rule.
TEST_F(PictureLoad, EveryBmpDepthGoesThroughItsColours) {
    const uint32_t w = 13, h = 5;  // odd: every depth pads its rows
    std::vector<std::array<uint8_t, 3>> palette;
    for (int i = 0; i < 256; ++i) palette.push_back({static_cast<uint8_t>(i), static_cast<uint8_t>(i * 3), static_cast<uint8_t>(255 - i)});
    auto index = [](uint32_t x, uint32_t y, uint32_t n) { return (x * 5 + y * 3) % n; };
    auto pack = [&](uint32_t bpp, uint32_t n) {
        std::vector<std::vector<uint8_t>> rows(h, std::vector<uint8_t>((w * bpp + 7) / 8, 0));
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                rows[y][x * bpp / 8] |= static_cast<uint8_t>(index(x, y, n) << (8 - bpp - x * bpp % 8));
        return imgtest::StoreRows(rows, false);
    };
    auto expectIndexed = [&](uint32_t n) {
        std::vector<uint8_t> want;
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                const auto& c = palette[index(x, y, n)];
                want.push_back(Grey(c[0], c[1], c[2]));
            }
        return want;
    };
    imgtest::BmpLayout p8;
    p8.width = w, p8.height = h, p8.bpp = 8, p8.palette = palette, p8.data = pack(8, 256);
    Load(Write("p8.bmp", imgtest::MakeBmp(p8)), w, h);
    EXPECT_EQ(Area(w, h), expectIndexed(256));

    imgtest::BmpLayout p1;
    p1.width = w, p1.height = h, p1.bpp = 1, p1.palette = {palette[10], palette[200]}, p1.data = pack(1, 2);
    Load(Write("p1.bmp", imgtest::MakeBmp(p1)), w, h);
    std::vector<uint8_t> want1;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const auto& c = index(x, y, 2) ? palette[200] : palette[10];
            want1.push_back(Grey(c[0], c[1], c[2]));
        }
    EXPECT_EQ(Area(w, h), want1);

    // RLE8, bottom row first: a run of 13 x index 7; a delta of 4 right and 1 up (the
    // second row stays index 0 before x = 4 and beyond), a run of 3 x 9, end of line;
    // absolute 13 indices; end of bitmap (rows 4 and 5 from the bottom stay index 0).
    imgtest::BmpLayout rle;
    rle.width = w, rle.height = h, rle.bpp = 8, rle.compression = 1, rle.palette = palette;
    rle.data = {13, 7, 0, 0, 0, 2, 4, 1, 3, 9, 0, 0, 0, 13};
    for (uint8_t i = 20; i < 33; ++i) rle.data.push_back(i);
    rle.data.insert(rle.data.end(), {0, 0, 0, 0, 1});
    Load(Write("rle.bmp", imgtest::MakeBmp(rle)), w, h);
    std::vector<std::vector<uint8_t>> idx(h, std::vector<uint8_t>(w, 0));  // from the bottom
    for (uint32_t x = 0; x < w; ++x) idx[0][x] = 7, idx[3][x] = static_cast<uint8_t>(20 + x);
    for (uint32_t x = 4; x < 7; ++x) idx[2][x] = 9;
    std::vector<uint8_t> wantRle;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const auto& c = palette[idx[h - 1 - y][x]];
            wantRle.push_back(Grey(c[0], c[1], c[2]));
        }
    EXPECT_EQ(Area(w, h), wantRle);

    // 16 bits, 5-6-5: each channel widened by bit replication.
    imgtest::BmpLayout s16;
    s16.width = w, s16.height = h, s16.bpp = 16, s16.compression = 3, s16.masks = {0xF800, 0x07E0, 0x001F};
    std::vector<std::vector<uint8_t>> rows16(h);
    std::vector<uint8_t> want16;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t r = (x * 7 + y) & 31, g = (x * 11 + y * 5) & 63, b = (31 - x - y) & 31;
            const uint16_t px = static_cast<uint16_t>(r << 11 | g << 5 | b);
            rows16[y].push_back(static_cast<uint8_t>(px)), rows16[y].push_back(static_cast<uint8_t>(px >> 8));
            want16.push_back(Grey(static_cast<uint8_t>(b << 3 | b >> 2), static_cast<uint8_t>(g << 2 | g >> 4),
                                  static_cast<uint8_t>(r << 3 | r >> 2)));
        }
    s16.data = imgtest::StoreRows(rows16, false);
    Load(Write("s16.bmp", imgtest::MakeBmp(s16)), w, h);
    EXPECT_EQ(Area(w, h), want16);
}

// 16-bit samples keep their levels (not taken as linear light): 0x4040 is 64, not 136.
TEST_F(PictureLoad, SixteenBitPngKeepsItsLevels) {
    imgtest::PngLayout shape{4, 1, 0, 16};
    Load(Write("grey16.rip", imgtest::MakePng(shape, {0, 0x4040, 0x8080, 0xFFFF})), 4, 1);
    EXPECT_EQ(Area(4, 1), (std::vector<uint8_t>{0, 64, 128, 255}));
    imgtest::PngLayout gamma{4, 1, 0, 8};
    gamma.gamma = 1.0;  // no colour management: 128 stays 128
    Load(Write("gamma.rip", imgtest::MakePng(gamma, {0, 64, 128, 255})), 4, 1);
    EXPECT_EQ(Area(4, 1), (std::vector<uint8_t>{0, 64, 128, 255}));
}

// 6,401 x 4,801 decoded at 1/8 gives 801 x 601 reduced pixels, the last column and row
// covering one file pixel each: the bar at x = 3,200 and the black right edge land where
// they are. Column 399 covers [3192.5, 3200.5) (half a pixel of the bar), column 400
// [3200.5, 3208.5) (7.5 of it), column 799 the edge as 1 pixel of 8.00125.
TEST_F(PictureLoad, ReducedJpegKeepsBarsAndEdgesInPlace) {
    const uint32_t w = 6401, h = 4801;
    std::vector<uint8_t> bgr(size_t{w} * h * 3, 255);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            if ((x >= 3200 && x < 3208) || x == w - 1) std::fill_n(&bgr[(size_t{y} * w + x) * 3], 3, 0);
    const std::string path = Write("bars.jpg", imgtest::MakeJpeg({int(w), int(h), 3, false, false, 0, 95}, bgr));
    bgr = {};
    Load(path, kW, kH);
    const auto frame = Frame();
    for (uint32_t y : {0u, 300u, 599u}) {
        const uint8_t* row = &frame[size_t{y} * kW];
        EXPECT_NEAR(row[398], 255, 2) << y;
        EXPECT_NEAR(row[399], 239, 3) << y;
        EXPECT_NEAR(row[400], 16, 3) << y;
        EXPECT_NEAR(row[401], 255, 2) << y;
        EXPECT_NEAR(row[798], 255, 2) << y;
        EXPECT_NEAR(row[799], 223, 3) << y;
    }
}

// A flat picture coded progressively has scans of a few bytes: a file can repeat them
// many times. A repeated refinement and the memory a tiny file declares are refused at
// once, with the reason.
TEST_F(PictureLoad, HostileJpegsAreRefusedQuickly) {
    std::vector<uint8_t> flat(size_t{2000} * 2000 * 3, 128);
    const auto progressive = imgtest::MakeJpeg({2000, 2000, 3, true, false, 0, 90}, flat);
    const auto repeated = imgtest::RepeatJpegScan(progressive, 9, 3000);  // 9: the last refinement
    ASSERT_LT(repeated.size(), 1u << 20);
    EXPECT_LT(ExpectRefused(Write("repeated.jpg", repeated), "Inconsistent progression sequence"), 5.0);

    std::vector<uint8_t> small(16 * 16 * 3, 90);
    const auto huge = imgtest::WithJpegSize(imgtest::MakeJpeg({16, 16, 3, true, false, 0, 90}, small), 16384, 8192);
    EXPECT_LT(ExpectRefused(Write("huge.jpg", huge), "progressive: decoding it would take 384 MiB of memory"), 5.0);
}

// Pictures are streamed, not held whole: with the tool's address space limited to
// 64 MiB, a 70-byte RLE BMP declaring 16,384 x 8,192 pixels and a 5,000 x 4,000 PNG of
// 16-bit RGBA (160 MB of samples) both load.
TEST_F(PictureLoad, LargePicturesLoadInLittleMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer builds reserve far more address space than any limit here";
#else
    imgtest::BmpLayout rle;
    rle.width = 16384, rle.height = 8192, rle.bpp = 8, rle.compression = 1;
    rle.palette = {{0, 0, 0}, {255, 255, 255}};
    rle.data = {255, 1, 0, 0, 255, 1, 0, 1};  // two white runs at the bottom, then the end
    const std::string rlePath = Write("huge_rle.bmp", imgtest::MakeBmp(rle));

    const uint32_t w = 5000, h = 4000;
    std::vector<uint16_t> samples(size_t{w} * h * 4);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint16_t* p = &samples[(size_t{y} * w + x) * 4];
            p[0] = static_cast<uint16_t>(x * 10), p[1] = static_cast<uint16_t>(y * 13), p[2] = 0x8080, p[3] = 0xFFFF;
        }
    const std::string pngPath = Write("large.rip", imgtest::MakePng({w, h, 6, 16}, samples));
    samples = {};
    samples.shrink_to_fit();

    rlimit old{};
    getrlimit(RLIMIT_AS, &old);
    rlimit limited = old;
    limited.rlim_cur = rlim_t{64} << 20;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &limited), 0);
    const RunResult r1 = RunTool({"-load", rlePath}, emu.SocketPath());
    const RunResult r2 = RunTool({"-load", pngPath}, emu.SocketPath());
    setrlimit(RLIMIT_AS, &old);
    EXPECT_EQ(r1.exitStatus, 0) << r1.out << r1.err;
    EXPECT_NE(r1.out.find("Loaded file: W, H = 800, 600\n"), std::string::npos) << r1.out;
    EXPECT_EQ(r2.exitStatus, 0) << r2.out << r2.err;
    EXPECT_NE(r2.out.find("Loaded file: W, H = 800, 600\n"), std::string::npos) << r2.out;
#endif
}


// The Windows program decodes with its own builds of the same library versions: each
// picture must give the image buffer exactly the bytes this build's qp7730 gives it,
// through every decoder and the stretch to the panel.
TEST_F(PictureLoad, WindowsProgramGivesTheBytesOfThisBuild) {
    if (!e2e::ToolIsWindowsProgram()) GTEST_SKIP() << "the tool is this build's qp7730";
    auto jpeg = [](int w, int h, int components, bool progressive, bool arithmetic) {
        imgtest::JpegLayout shape;
        shape.width = w, shape.height = h, shape.components = components;
        shape.progressive = progressive, shape.arithmetic = arithmetic, shape.quality = 85;
        return imgtest::MakeJpeg(shape, Photo(w, h, components));
    };
    std::vector<std::array<uint8_t, 3>> palette(256);
    for (int i = 0; i < 256; ++i) palette[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7)};
    imgtest::BmpLayout indexed;
    indexed.width = 1200, indexed.height = 900, indexed.bpp = 8, indexed.palette = palette;
    {
        const auto pixels = Photo(1200, 900, 1);
        std::vector<std::vector<uint8_t>> rows(900);
        for (uint32_t y = 0; y < 900; ++y) rows[y].assign(pixels.begin() + y * 1200, pixels.begin() + (y + 1) * 1200);
        indexed.data = imgtest::StoreRows(rows, false);
    }
    auto png = [](uint32_t w, uint32_t h, int colourType, int channels, int bitDepth, bool interlaced) {
        imgtest::PngLayout shape(w, h, colourType, bitDepth);
        shape.interlaced = interlaced;
        const auto pixels = Photo(w, h, channels);
        std::vector<uint16_t> samples(pixels.begin(), pixels.end());
        if (bitDepth == 16)
            for (auto& v : samples) v = static_cast<uint16_t>(v * 257 + (v & 0x7F));
        return imgtest::MakePng(shape, samples);
    };
    const std::pair<const char*, std::vector<uint8_t>> pictures[] = {
        {"reduced_scale.jpg", jpeg(2000, 1500, 3, false, false)},   // decoded at 4/8, then averaged
        {"progressive.jpg", jpeg(1700, 1300, 3, true, false)},
        {"arithmetic.jpg", jpeg(900, 700, 3, false, true)},
        {"grey.jpg", jpeg(640, 480, 1, false, false)},
        {"cmyk.jpg", jpeg(500, 400, 4, false, false)},
        {"colour_png.rip", png(1000, 500, 2, 3, 8, false)},
        {"interlaced_grey_alpha_png.rip", png(700, 300, 4, 2, 8, true)},
        {"rgba16_png.rip", png(900, 650, 6, 4, 16, false)},
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
