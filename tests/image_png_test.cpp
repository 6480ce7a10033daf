// PNG decoding: every colour type and bit depth against values worked out here, samples
// taken as stored (no colour management), interlacing, and files that must be refused.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <functional>

#include "image/image.h"
#include "tests/image_test_util.h"

namespace {

using imgtest::MakePng;
using imgtest::PngLayout;
using imgtest::WriteFile;

constexpr uint32_t kW = 13, kH = 7;  // odd sizes: packed rows end part way through a byte

int Channels(int colourType) { return colourType == 0 || colourType == 3 ? 1 : colourType == 4 ? 2 : colourType == 2 ? 3 : 4; }

// Samples that use the whole range of the depth, different in every channel.
std::vector<uint16_t> Samples(const PngLayout& s) {
    const uint32_t max = s.colourType == 3 ? static_cast<uint32_t>(s.palette.size()) - 1 : (1u << s.bitDepth) - 1;
    std::vector<uint16_t> v(size_t{s.width} * s.height * Channels(s.colourType));
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint16_t>((i * 2654435761u >> 7) % (max + 1));
    if (!v.empty()) v[0] = 0, v[v.size() - 1] = static_cast<uint16_t>(max);
    return v;
}

// What the picture should decode to, as blue, green, red: samples widened or narrowed to
// 8 bits (v x 255 / max, rounded), palettes looked up, alpha dropped.
std::vector<uint8_t> Expected(const PngLayout& s, const std::vector<uint16_t>& v) {
    const int n = Channels(s.colourType);
    const double max = (1u << s.bitDepth) - 1;
    auto to8 = [&](uint16_t x) { return static_cast<uint8_t>(std::floor(x * 255.0 / max + 0.5)); };
    std::vector<uint8_t> out;
    for (size_t p = 0; p < size_t{s.width} * s.height; ++p) {
        const uint16_t* c = &v[p * n];
        if (s.colourType == 3) {
            const auto& e = s.palette[c[0]];
            out.insert(out.end(), {e[2], e[1], e[0]});
        } else if (n <= 2) {
            const uint8_t g = to8(c[0]);
            out.insert(out.end(), {g, g, g});
        } else {
            out.insert(out.end(), {to8(c[2]), to8(c[1]), to8(c[0])});
        }
    }
    return out;
}

std::vector<std::array<uint8_t, 3>> PaletteOf(int n) {
    std::vector<std::array<uint8_t, 3>> p;
    for (int i = 0; i < n; ++i) p.push_back({static_cast<uint8_t>(i * 37 + 3), static_cast<uint8_t>(250 - i), static_cast<uint8_t>(i * 91)});
    return p;
}

struct KindCase {
    const char* name;
    PngLayout shape;
};
PngLayout Kind(int colourType, int depth, bool interlaced = false) {
    PngLayout s;
    s.width = kW, s.height = kH, s.colourType = colourType, s.bitDepth = depth, s.interlaced = interlaced;
    if (colourType == 3) {
        s.palette = PaletteOf(depth == 8 ? 200 : 1 << depth);
        s.paletteAlpha = {0, 128};  // transparency is not used
    }
    return s;
}
const KindCase kKinds[] = {
    {"grey_1", Kind(0, 1)},        {"grey_2", Kind(0, 2)},         {"grey_4", Kind(0, 4)},
    {"grey_8", Kind(0, 8)},        {"grey_16", Kind(0, 16)},       {"grey_alpha_8", Kind(4, 8)},
    {"grey_alpha_16", Kind(4, 16)}, {"rgb_8", Kind(2, 8)},          {"rgb_16", Kind(2, 16)},
    {"rgba_8", Kind(6, 8)},        {"rgba_16", Kind(6, 16)},       {"palette_1", Kind(3, 1)},
    {"palette_2", Kind(3, 2)},     {"palette_4", Kind(3, 4)},      {"palette_8", Kind(3, 8)},
    {"interlaced_rgb_8", Kind(2, 8, true)}, {"interlaced_grey_16", Kind(0, 16, true)},
    {"interlaced_palette_4", Kind(3, 4, true)},
};

class PngKind : public ::testing::TestWithParam<KindCase> {};

TEST_P(PngKind, DecodesToKnownColours) {
    const PngLayout& s = GetParam().shape;
    const auto samples = Samples(s);
    const imgtest::Decoded d = imgtest::DecodeFile(WriteFile(std::string(GetParam().name) + ".png", MakePng(s, samples)));
    ASSERT_TRUE(d.ok) << d.why;
    EXPECT_EQ(d.format.width, kW);
    EXPECT_EQ(d.format.height, kH);
    EXPECT_EQ(d.format.depth, Channels(s.colourType) <= 2 && s.colourType != 3 ? 8u : 24u);
    EXPECT_EQ(d.bgr, Expected(s, samples));
}

INSTANTIATE_TEST_SUITE_P(Image, PngKind, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

class PngLoad : public imgtest::PanelFixture {
protected:
    std::vector<uint8_t> Load(const std::string& name, const std::vector<uint8_t>& file) {
        testing::internal::CaptureStdout();
        LoadImageFile(WriteFile(name, file).c_str());
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(imgtest::g_TransferCalls.size(), 1u);
        if (imgtest::g_TransferCalls.empty()) return {};
        auto pixels = imgtest::g_TransferCalls[0].pixels;
        imgtest::g_TransferCalls.clear();
        return pixels;
    }
};

// 16-bit samples are taken as stored: without gAMA, sRGB or iCCP they are not linear
// light to be converted (0x4040 is a quarter grey, 64, not 136).
TEST_F(PngLoad, SixteenBitGreyKeepsItsLevels) {
    PngLayout s{4, 1, 0, 16};
    EXPECT_EQ(Load("grey16.rip", MakePng(s, {0, 0x4040, 0x8080, 0xFFFF})), (std::vector<uint8_t>{0, 64, 128, 255}));
    PngLayout rgb{2, 1, 2, 16};
    // Red 0x8080 and green 0x4040: 0.3 x 128 + 0.587 x 64 = 75.97.
    EXPECT_EQ(Load("rgb16.rip", MakePng(rgb, {0x8080, 0, 0, 0, 0x4040, 0})), (std::vector<uint8_t>{38, 37}));
}

// No colour management for any format: gAMA and sRGB chunks change nothing.
TEST_F(PngLoad, GammaAndSrgbChunksAreNotApplied) {
    const std::vector<uint16_t> levels = {0, 64, 128, 255};
    for (double gamma : {1.0, 0.45455, 2.2}) {
        PngLayout s{4, 1, 0, 8};
        s.gamma = gamma;
        EXPECT_EQ(Load("gamma.rip", MakePng(s, levels)), (std::vector<uint8_t>{0, 64, 128, 255})) << gamma;
        s.bitDepth = 16;
        EXPECT_EQ(Load("gamma16.rip", MakePng(s, {0, 0x4040, 0x8080, 0xFFFF})), (std::vector<uint8_t>{0, 64, 128, 255}))
            << gamma;
    }
    PngLayout srgb{4, 1, 0, 8};
    srgb.srgb = true;
    EXPECT_EQ(Load("srgb.rip", MakePng(srgb, levels)), (std::vector<uint8_t>{0, 64, 128, 255}));
}

// A PNG larger than the panel, with a bar and edges, fitted like any other picture.
TEST_F(PngLoad, LargePngIsFittedByArea) {
    SetPanel(200, 150);
    const uint32_t w = 611, h = 457;
    PngLayout s{w, h, 2, 8};
    std::vector<uint16_t> samples(size_t{w} * h * 3, 255);
    std::vector<uint8_t> bgr(size_t{w} * h * 3, 255);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            if ((x >= 300 && x < 305) || x == w - 1 || y == h - 1) {
                for (int c = 0; c < 3; ++c) samples[(size_t{y} * w + x) * 3 + c] = 0, bgr[(size_t{y} * w + x) * 3 + c] = 0;
            }
    EXPECT_EQ(Load("bars.rip", MakePng(s, samples)), imgtest::ReferenceGreyOf(imgtest::ReferenceFit(bgr, w, h, 200, 150)));
}

// The header of a PNG with its size changed and its checksum made good again.
std::vector<uint8_t> WithPngSize(std::vector<uint8_t> f, uint32_t w, uint32_t h) {
    for (int i = 0; i < 4; ++i) f[16 + i] = static_cast<uint8_t>(w >> (24 - 8 * i)), f[20 + i] = static_cast<uint8_t>(h >> (24 - 8 * i));
    const uint32_t crc = static_cast<uint32_t>(crc32(0, f.data() + 12, 17));
    for (int i = 0; i < 4; ++i) f[29 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    return f;
}

struct PngRefusal {
    const char* name;
    std::function<std::vector<uint8_t>()> bytes;
    const char* reason;
};
const PngRefusal kPngRefusals[] = {
    // Interlaced rows are needed whole: 16,384 x 8,192 x 3 bytes from a file of a few
    // hundred bytes is refused before it is allocated.
    {"interlaced_huge",
     [] { return WithPngSize(MakePng(Kind(2, 8, true), Samples(Kind(2, 8, true))), 16384, 8192); },
     "interlaced: decoding it would take 384 MiB of memory, more than the 64 MiB allowed"},
    {"too_large", [] { return WithPngSize(MakePng(Kind(2, 8), Samples(Kind(2, 8))), 70000, 10); }, "declares 70000 x 10 pixels"},
    {"too_many_pixels", [] { return WithPngSize(MakePng(Kind(0, 8), Samples(Kind(0, 8))), 60000, 60000); },
     "declares 60000 x 60000 pixels"},
    // Not interlaced: streamed, so the declared size costs nothing until the data runs out.
    {"data_runs_out", [] { return WithPngSize(MakePng(Kind(2, 8), Samples(Kind(2, 8))), 16384, 8192); },
     "corrupt PNG data at row "},
    {"bad_checksum",
     [] {
         auto f = MakePng(Kind(2, 8), Samples(Kind(2, 8)));
         f[30] ^= 1;
         return f;
     },
     "not a readable PNG"},
};

class PngRefused : public ::testing::TestWithParam<PngRefusal> {};

TEST_P(PngRefused, QuicklyInLittleMemoryWithAReason) {
    const std::string path = WriteFile(std::string(GetParam().name) + ".png", GetParam().bytes());
    const imgtest::Bounded b = imgtest::RunBounded([&] { imgtest::LoadInChild(path, 1872, 1404); }, 2000 * imgtest::kSlowdown);
    ASSERT_TRUE(b.finished) << b.ms << " ms";
    EXPECT_LT(b.peakGrowthMb, 64 * imgtest::kMemoryOverhead);
    const imgtest::Decoded d = imgtest::DecodeFile(path, 1872, 1404);
    EXPECT_FALSE(d.ok);
    EXPECT_NE(d.why.find(GetParam().reason), std::string::npos) << d.why;
}

INSTANTIATE_TEST_SUITE_P(Image, PngRefused, ::testing::ValuesIn(kPngRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// A large non-interlaced PNG is read a row at a time: memory stays far below the picture.
TEST(ImagePng, LargePngIsStreamed) {
    const uint32_t w = 4000, h = 3000;
    PngLayout s{w, h, 6, 16};  // 96 MB of samples
    std::vector<uint16_t> samples(size_t{w} * h * 4);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>(i * 40503u);
    const std::string path = WriteFile("large.png", MakePng(s, samples));
    samples = {};
    const imgtest::Bounded b = imgtest::RunBounded([&] { imgtest::LoadInChild(path, 800, 600); }, 20000 * imgtest::kSlowdown);
    ASSERT_TRUE(b.finished) << b.ms << " ms";
    EXPECT_LT(b.peakGrowthMb, 40 * imgtest::kMemoryOverhead);
}

TEST(ImagePng, MutatedFilesLoadOrAreRefusedWithinBounds) {
    uint32_t seed = 31337;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    int index = 0;
    for (const KindCase& c : kKinds) {
        const std::vector<uint8_t> good = MakePng(c.shape, Samples(c.shape));
        for (int round = 0; round < 8; ++round) {
            std::vector<uint8_t> f = good;
            const int changes = 1 + next() % 4;
            for (int k = 0; k < changes; ++k) f[8 + next() % (f.size() - 8)] = static_cast<uint8_t>(next() >> 24);
            if (next() % 4 == 0) f.resize(8 + next() % (f.size() - 8));
            const std::string path = WriteFile("mutated_" + std::to_string(index++) + ".png", f);
            const imgtest::Bounded b = imgtest::RunBounded([&] { imgtest::LoadInChild(path); }, 2000 * imgtest::kSlowdown);
            ASSERT_TRUE(b.finished) << c.name << " round " << round;
            EXPECT_LT(b.peakGrowthMb, 300 * imgtest::kMemoryOverhead);
        }
    }
}

}  // namespace
