// The BMP reader against files written here: every header version, depth and
// compression it takes, checked pixel by pixel; and files it must refuse or survive.
#include <gtest/gtest.h>

#include <functional>

#include "image/image_service.h"
#include "tests/image_test_util.h"

namespace {

using imgtest::BmpLayout;
using imgtest::MakeBmp;
using imgtest::StoreRows;
using imgtest::WriteFile;
using Bgr = std::array<uint8_t, 3>;
using Image = std::vector<std::vector<Bgr>>;  // rows from the top

constexpr int kW = 5, kH = 3;  // odd width: every depth needs row padding

std::vector<Bgr> Palette(int n) {
    std::vector<Bgr> p(n);
    for (int i = 0; i < n; ++i)
        p[i] = {static_cast<uint8_t>(i * 37 + 5), static_cast<uint8_t>(255 - i * 11), static_cast<uint8_t>(i * 90 + 1)};
    return p;
}
int IndexAt(int x, int y, int n) { return (x + 3 * y + 1) % n; }

// Packs palette indices at `bpp` bits, most significant first.
std::vector<std::vector<uint8_t>> PackedIndexRows(int bpp, int n) {
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < kH; ++y) {
        std::vector<uint8_t> r((kW * bpp + 7) / 8, 0);
        for (int x = 0; x < kW; ++x)
            r[x * bpp / 8] |= static_cast<uint8_t>(IndexAt(x, y, n) << (8 - bpp - (x * bpp) % 8));
        rows.push_back(r);
    }
    return rows;
}
Image PaletteImage(int n) {
    auto pal = Palette(n);
    Image img(kH, std::vector<Bgr>(kW));
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) img[y][x] = pal[IndexAt(x, y, n)];
    return img;
}
Bgr TrueColour(int x, int y) {
    return {static_cast<uint8_t>(x * 50 + 3), static_cast<uint8_t>(y * 100 + 7), static_cast<uint8_t>(255 - x * 30 - y)};
}
Image TrueColourImage() {
    Image img(kH, std::vector<Bgr>(kW));
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) img[y][x] = TrueColour(x, y);
    return img;
}
std::vector<std::vector<uint8_t>> TrueColourRows(int bytesPerPixel, uint8_t fourth = 0xAB) {
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < kH; ++y) {
        std::vector<uint8_t> r;
        for (int x = 0; x < kW; ++x) {
            Bgr c = TrueColour(x, y);
            r.insert(r.end(), c.begin(), c.end());
            if (bytesPerPixel == 4) r.push_back(fourth);
        }
        rows.push_back(r);
    }
    return rows;
}

// 16-bit pixels from 5/6/5 or 5/5/5 channel values; the expected colours widen each
// channel by bit replication.
uint8_t Rep5(int v) { return static_cast<uint8_t>((v << 3) | (v >> 2)); }
uint8_t Rep6(int v) { return static_cast<uint8_t>((v << 2) | (v >> 4)); }
struct Pixel16 {
    std::vector<std::vector<uint8_t>> rows;
    Image image;
};
Pixel16 Make16(bool is565) {
    Pixel16 p;
    p.image.assign(kH, std::vector<Bgr>(kW));
    for (int y = 0; y < kH; ++y) {
        std::vector<uint8_t> r;
        for (int x = 0; x < kW; ++x) {
            int rv = (x * 7 + y) & 31, gv = (x * 13 + y * 5 + 1) & (is565 ? 63 : 31), bv = (31 - x * 3 - y) & 31;
            uint16_t px = is565 ? static_cast<uint16_t>(rv << 11 | gv << 5 | bv) : static_cast<uint16_t>(rv << 10 | gv << 5 | bv);
            r.push_back(static_cast<uint8_t>(px));
            r.push_back(static_cast<uint8_t>(px >> 8));
            p.image[y][x] = {Rep5(bv), is565 ? Rep6(gv) : Rep5(gv), Rep5(rv)};
        }
        p.rows.push_back(r);
    }
    return p;
}

// Decoded colours of a whole file, through the decoder the tool uses.
Image Decode(const std::string& path, uint32_t* depth = nullptr) {
    const imgtest::Decoded d = imgtest::DecodeFile(path);
    if (!d.ok) return {};
    if (depth) *depth = d.format.depth;
    Image img(d.format.height, std::vector<Bgr>(d.format.width));
    for (uint32_t y = 0; y < d.format.height; ++y)
        for (uint32_t x = 0; x < d.format.width; ++x) {
            const uint8_t* p = &d.bgr[(size_t{y} * d.format.width + x) * 3];
            img[y][x] = {p[0], p[1], p[2]};
        }
    return img;
}

struct VariantCase {
    const char* name;
    std::function<BmpLayout()> shape;
    std::function<Image()> expected;
    uint32_t depth;  // depth of the delivered rows
};

BmpLayout Indexed(uint32_t header, uint16_t bpp, int n) {
    BmpLayout s;
    s.headerSize = header, s.width = kW, s.height = kH, s.bpp = bpp;
    s.palette = Palette(n);
    s.data = StoreRows(PackedIndexRows(bpp, n), false);
    return s;
}
BmpLayout True(uint32_t header, uint16_t bpp, bool topDown = false) {
    BmpLayout s;
    s.headerSize = header, s.width = kW, s.height = topDown ? -kH : kH, s.bpp = bpp;
    s.data = StoreRows(TrueColourRows(bpp / 8), topDown);
    return s;
}
BmpLayout Sixteen(uint32_t header, bool is565, bool bitfields) {
    BmpLayout s;
    s.headerSize = header, s.width = kW, s.height = kH, s.bpp = 16;
    if (bitfields) {
        s.compression = 3;
        s.masks = is565 ? std::vector<uint32_t>{0xF800, 0x07E0, 0x001F} : std::vector<uint32_t>{0x7C00, 0x03E0, 0x001F};
    }
    s.data = StoreRows(Make16(is565).rows, false);
    return s;
}

// RLE8: row 0 (bottom) = run of 2 x index 1, absolute 3, 4, 5; row 1 = delta right by 2
// (pixels 0, 1 keep index 0), run of 3 x index 2; end of line; row 2 = absolute 5 pixels
// 6 7 8 9 10; end of bitmap.
BmpLayout Rle8() {
    BmpLayout s;
    s.width = kW, s.height = kH, s.bpp = 8, s.compression = 1;
    s.palette = Palette(16);
    s.data = {2, 1, 0, 3, 3, 4, 5, 0, 0, 0,  //
              0, 2, 2, 0, 3, 2, 0, 0,        //
              0, 5, 6, 7, 8, 9, 10, 0, 0, 1};
    return s;
}
Image Rle8Expected() {
    auto pal = Palette(16);
    Image img(kH, std::vector<Bgr>(kW));
    const int top[kH][kW] = {{6, 7, 8, 9, 10}, {0, 0, 2, 2, 2}, {1, 1, 3, 4, 5}};
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) img[y][x] = pal[top[y][x]];
    return img;
}
// RLE4: bottom row = run of 5 alternating 1, 2; middle = absolute 3 4 5 6 7; top = run of
// 2 x 8 then end of bitmap (the rest keeps index 0).
BmpLayout Rle4() {
    BmpLayout s;
    s.width = kW, s.height = kH, s.bpp = 4, s.compression = 2;
    s.palette = Palette(16);
    s.data = {5, 0x12, 0, 0,  //
              0, 5, 0x34, 0x56, 0x70, 0, 0, 0,
              2, 0x88, 0, 1};
    return s;
}
Image Rle4Expected() {
    auto pal = Palette(16);
    const int top[kH][kW] = {{8, 8, 0, 0, 0}, {3, 4, 5, 6, 7}, {1, 2, 1, 2, 1}};
    Image img(kH, std::vector<Bgr>(kW));
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) img[y][x] = pal[top[y][x]];
    return img;
}

BmpLayout Masks32(uint32_t header) {
    // Channels in unusual places: red in bits 8-15, green 16-23, blue 24-31.
    BmpLayout s;
    s.headerSize = header, s.width = kW, s.height = kH, s.bpp = 32, s.compression = 3;
    s.masks = {0x0000FF00, 0x00FF0000, 0xFF000000};
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < kH; ++y) {
        std::vector<uint8_t> r;
        for (int x = 0; x < kW; ++x) {
            Bgr c = TrueColour(x, y);
            r.insert(r.end(), {0x5A, c[2], c[1], c[0]});
        }
        rows.push_back(r);
    }
    s.data = StoreRows(rows, false);
    return s;
}

const VariantCase kVariants[] = {
    {"core_24", [] { return True(12, 24); }, TrueColourImage, 24},
    {"core_8", [] { return Indexed(12, 8, 200); }, [] { return PaletteImage(200); }, 8},
    {"core_1", [] { return Indexed(12, 1, 2); }, [] { return PaletteImage(2); }, 1},
    {"v3_1", [] { return Indexed(40, 1, 2); }, [] { return PaletteImage(2); }, 1},
    {"v3_2", [] { return Indexed(40, 2, 4); }, [] { return PaletteImage(4); }, 2},
    {"v3_4", [] { return Indexed(40, 4, 16); }, [] { return PaletteImage(16); }, 4},
    {"v3_4_short_palette", [] { return Indexed(40, 4, 9); }, [] { return PaletteImage(9); }, 4},
    {"v3_8", [] { return Indexed(40, 8, 256); }, [] { return PaletteImage(256); }, 8},
    {"v3_24", [] { return True(40, 24); }, TrueColourImage, 24},
    {"v3_24_top_down", [] { return True(40, 24, true); }, TrueColourImage, 24},
    {"v3_32", [] { return True(40, 32); }, TrueColourImage, 32},
    {"v3_16_555", [] { return Sixteen(40, false, false); }, [] { return Make16(false).image; }, 24},
    {"v3_16_555_bitfields", [] { return Sixteen(40, false, true); }, [] { return Make16(false).image; }, 24},
    {"v3_16_565_bitfields", [] { return Sixteen(40, true, true); }, [] { return Make16(true).image; }, 24},
    {"v3_32_bitfields", [] { return Masks32(40); }, TrueColourImage, 24},
    {"v2_16_565", [] { return Sixteen(52, true, true); }, [] { return Make16(true).image; }, 24},
    {"v3alpha_16_565", [] { return Sixteen(56, true, true); }, [] { return Make16(true).image; }, 24},
    {"v4_8", [] { return Indexed(108, 8, 256); }, [] { return PaletteImage(256); }, 8},
    {"v4_32_bitfields", [] { return Masks32(108); }, TrueColourImage, 24},
    {"v5_24", [] { return True(124, 24); }, TrueColourImage, 24},
    {"v5_16_565", [] { return Sixteen(124, true, true); }, [] { return Make16(true).image; }, 24},
    {"rle8", Rle8, Rle8Expected, 8},
    {"rle4", Rle4, Rle4Expected, 4},
};

class BmpVariant : public ::testing::TestWithParam<VariantCase> {};

TEST_P(BmpVariant, DecodesKnownPixels) {
    const VariantCase& c = GetParam();
    const std::string path = WriteFile(std::string(c.name) + ".bmp", MakeBmp(c.shape()));
    uint32_t depth = 0;
    Image got = Decode(path, &depth);
    ASSERT_EQ(got.size(), size_t{kH});
    EXPECT_EQ(depth, c.depth);
    Image want = c.expected();
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            EXPECT_EQ(got[y][x], want[y][x]) << "pixel " << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(Image, BmpVariant, ::testing::ValuesIn(kVariants),
                         [](const auto& info) { return std::string(info.param.name); });

// Files that must give no picture, never a crash or a large allocation, and a reason.
struct RefusalCase {
    const char* name;
    std::function<std::vector<uint8_t>()> bytes;
    const char* reason;  // a part of the reason given
};
std::vector<uint8_t> Declaring(int32_t w, int32_t h, uint16_t bpp) {
    BmpLayout s = True(40, 24);
    s.width = w, s.height = h, s.bpp = bpp;
    return MakeBmp(s);
}
const RefusalCase kRefusals[] = {
    {"huge_100000_square", [] { return Declaring(100000, 100000, 24); }, "declares 100000 x 100000 pixels"},
    {"huge_rle", [] {
         BmpLayout s = Rle8();
         s.width = 100000, s.height = 100000;
         return MakeBmp(s);
     }, "declares 100000 x 100000 pixels"},
    {"zero_width", [] { return Declaring(0, 3, 24); }, "declares a width of 0"},
    {"negative_width", [] { return Declaring(-5, 3, 24); }, "declares a width of -5"},
    {"zero_height", [] { return Declaring(5, 0, 24); }, "declares 5 x 0 pixels"},
    {"most_negative_height", [] { return Declaring(5, INT32_MIN, 24); }, "declares 5 x 2147483648 pixels"},
    {"depth_7", [] { return Declaring(5, 3, 7); }, "7 bits per pixel"},
    {"pixel_offset_past_end", [] {
         BmpLayout s = True(40, 24);
         s.pixelOffset = 1 << 20;
         auto f = MakeBmp(s);
         f.resize(200);
         return f;
     }, "past the end of the file"},
    {"pixels_cut_short", [] {
         auto f = MakeBmp(True(40, 24));
         f.resize(f.size() - 20);
         return f;
     }, "past the end of the file"},
    {"header_cut_short", [] {
         auto f = MakeBmp(True(124, 24));
         f.resize(60);
         return f;
     }, "cut short"},
    {"unknown_header_size", [] {
         BmpLayout s = True(40, 24);
         s.headerSize = 44;
         return MakeBmp(s);
     }, "unknown header size of 44 bytes"},
    {"rle8_at_4_bits", [] {
         BmpLayout s = Rle4();
         s.compression = 1;
         return MakeBmp(s);
     }, "4 bits per pixel with compression 1"},
    {"only_magic", [] { return std::vector<uint8_t>{'B', 'M', 0}; }, "cut short"},
};

class BmpRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(BmpRefusal, GivesNoPictureAndSaysWhy) {
    const std::string path = WriteFile(std::string(GetParam().name) + ".bmp", GetParam().bytes());
    const imgtest::Decoded d = imgtest::DecodeFile(path);
    EXPECT_FALSE(d.ok);
    EXPECT_NE(d.why.find(GetParam().reason), std::string::npos) << d.why;
}

INSTANTIATE_TEST_SUITE_P(Image, BmpRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ImageBmp, LastRowWithoutPaddingStillDecodes) {
    auto f = MakeBmp(True(40, 24));
    f.resize(f.size() - 1);  // rows of 15 bytes are padded to 16; the file lacks the last pad
    EXPECT_EQ(Decode(WriteFile("no_last_pad.bmp", f)), TrueColourImage());
}

TEST(ImageBmp, RleDataRunningPastRowsAndFileIsContained) {
    // Runs wider than the picture, deltas past the bottom, an absolute run cut by the end.
    BmpLayout s = Rle8();
    s.data = {255, 1, 0, 2, 200, 0, 255, 2, 0, 0, 0, 0, 0, 9, 1, 2};
    Image img = Decode(WriteFile("rle_wild.bmp", MakeBmp(s)));
    ASSERT_EQ(img.size(), size_t{kH});
    EXPECT_EQ(img[kH - 1][0], Palette(16)[1]);
}

// RLE data is streamed: rows far apart in the file (more than the reader's window),
// read from the top while the data runs from the bottom, with runs, absolute runs and
// deltas that cross rows.
TEST(ImageBmp, LongRleDataIsReadRowByRow) {
    constexpr int w = 301, h = 2000;
    std::vector<std::vector<uint8_t>> want(h, std::vector<uint8_t>(w, 0));  // indices, top row first
    std::vector<uint8_t> data;
    for (int y = 0; y < h; ++y) {  // y from the bottom
        if (y % 7 == 3 && y + 3 < h) {  // delta 10 right, 3 up: this row and 2 more stay 0
            data.insert(data.end(), {0, 2, 10, 3});
            y += 3;
            data.insert(data.end(), {5, 200, 0, 0});
            for (int x = 10; x < 15; ++x) want[h - 1 - y][x] = 200;
            continue;
        }
        // An absolute run of 255 varying indices, then a run of the rest.
        std::vector<uint8_t>& row = want[h - 1 - y];
        data.insert(data.end(), {0, 255});
        for (int x = 0; x < 255; ++x) {
            row[x] = static_cast<uint8_t>(x * 3 + y);
            data.push_back(row[x]);
        }
        data.push_back(0);  // pad the absolute run to 16 bits
        data.insert(data.end(), {static_cast<uint8_t>(w - 255), static_cast<uint8_t>(y)});
        for (int x = 255; x < w; ++x) row[x] = static_cast<uint8_t>(y);
        data.insert(data.end(), {0, 0});
    }
    data.insert(data.end(), {0, 1});
    ASSERT_GT(data.size(), 150000u);  // several windows of the reader
    BmpLayout s;
    s.width = w, s.height = h, s.bpp = 8, s.compression = 1;
    for (int i = 0; i < 256; ++i) s.palette.push_back({static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), 7});
    s.data = data;
    const imgtest::Decoded d = imgtest::DecodeFile(WriteFile("rle_long.bmp", MakeBmp(s)));
    ASSERT_TRUE(d.ok) << d.why;
    size_t wrong = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t i = want[y][x];
            const uint8_t* p = &d.bgr[(size_t(y) * w + x) * 3];
            wrong += p[0] != i || p[1] != 255 - i || p[2] != 7;
        }
    EXPECT_EQ(wrong, 0u);
}

// Bytes of valid files changed at random positions: every variant must load through the
// real entry or be refused, without a fault (the sanitizer builds check every access),
// quickly and in little memory.
TEST(ImageBmp, MutatedFilesLoadOrAreRefusedWithinBounds) {
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    int index = 0;
    double slowest = 0, largest = 0;
    for (const VariantCase& c : kVariants) {
        const std::vector<uint8_t> good = MakeBmp(c.shape());
        for (int round = 0; round < 20; ++round) {
            std::vector<uint8_t> f = good;
            const int changes = 1 + next() % 4;
            for (int k = 0; k < changes; ++k) f[next() % f.size()] = static_cast<uint8_t>(next() >> 24);
            if (next() % 4 == 0) f.resize(next() % f.size());
            const std::string path = WriteFile("mutated_" + std::to_string(index++) + ".bmp", f);
            const imgtest::Bounded b = imgtest::RunBounded([&] { imgtest::LoadInChild(path); }, 2000 * imgtest::kSlowdown);
            ASSERT_TRUE(b.finished) << c.name << " round " << round << ": " << b.ms << " ms";
            slowest = std::max(slowest, b.ms);
            largest = std::max(largest, b.peakGrowthMb);
        }
    }
    EXPECT_LT(largest, 300 * imgtest::kMemoryOverhead) << "MB";
    RecordProperty("slowest_ms", std::to_string(slowest));
}

// A tiny RLE file may declare the largest picture taken: it is streamed, not expanded
// whole.
TEST(ImageBmp, TinyRleFileDeclaringAHugePictureStaysSmall) {
    BmpLayout s = Rle8();
    s.width = 16384, s.height = 8192;
    const std::string path = WriteFile("rle_huge.bmp", MakeBmp(s));
    const imgtest::Bounded b = imgtest::RunBounded([&] { imgtest::LoadInChild(path, 800, 600); }, 20000 * imgtest::kSlowdown);
    ASSERT_TRUE(b.finished);
    EXPECT_LT(b.peakGrowthMb, 64 * imgtest::kMemoryOverhead);
}

}  // namespace
