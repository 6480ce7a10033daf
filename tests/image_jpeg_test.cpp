// JPEG decoding: the coding variants libjpeg writes, reduced-scale decoding, and damaged
// files.
#include <gtest/gtest.h>

#include <cstdlib>

#include "image/image_service.h"
#include "tests/image_test_util.h"

namespace {

using imgtest::JpegSpec;
using imgtest::MakeJpeg;
using imgtest::WriteFile;

constexpr int kW = 64, kH = 48;

// A smooth picture (JPEG keeps it within a few levels) with a different ramp per channel,
// so that swapped channels or rows show.
std::vector<uint8_t> Picture(int w, int h, int components) {
    std::vector<uint8_t> p(size_t(w) * h * components);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < components; ++c)
                p[(size_t(y) * w + x) * components + c] = static_cast<uint8_t>(
                    c == 0 ? 20 + x * 200 / w : c == 1 ? 30 + y * 180 / h : c == 2 ? 220 - (x + y) * 150 / (w + h) : 40);
    return p;
}

// Largest difference between a decoded bitmap and the blue, green, red (or grey) source.
int MaxError(const qpimg::Bitmap* b, const std::vector<uint8_t>& src, int components) {
    int worst = 0;
    std::vector<uint8_t> colours(size_t{qpimg::BitmapWidth(b)} * 3);
    for (uint32_t y = 0; y < qpimg::BitmapHeight(b); ++y) {
        qpimg::RowToColours(b->format, 3, qpimg::BitmapRow(b, y), colours.data());
        for (uint32_t x = 0; x < qpimg::BitmapWidth(b); ++x)
            for (int c = 0; c < 3; ++c) {
                int want = src[(size_t(y) * qpimg::BitmapWidth(b) + x) * components + (components == 1 ? 0 : c)];
                worst = std::max(worst, std::abs(colours[3 * x + c] - want));
            }
    }
    return worst;
}

struct CodingCase {
    const char* name;
    JpegSpec shape;
    uint32_t depth;
};
const CodingCase kCodings[] = {
    {"baseline", {kW, kH, 3, false, false, 0, 95}, 24},
    {"progressive", {kW, kH, 3, true, false, 0, 95}, 24},
    {"arithmetic", {kW, kH, 3, false, true, 0, 95}, 24},
    {"progressive_arithmetic", {kW, kH, 3, true, true, 0, 95}, 24},
    {"restart_markers", {kW, kH, 3, false, false, 2, 95}, 24},
    {"greyscale", {kW, kH, 1, false, false, 0, 95}, 8},
    {"greyscale_progressive", {kW, kH, 1, true, false, 1, 95}, 8},
    {"odd_size", {kW - 3, kH - 5, 3, false, false, 0, 95}, 24},
};

class JpegCoding : public ::testing::TestWithParam<CodingCase> {};

TEST_P(JpegCoding, DecodesCloseToSource) {
    const CodingCase& c = GetParam();
    const auto src = Picture(c.shape.width, c.shape.height, c.shape.components);
    const std::string path = WriteFile(std::string(c.name) + ".jpg", MakeJpeg(c.shape, src));
    qpimg::Bitmap* b = qpimg::LoadBitmap(path.c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(qpimg::BitmapWidth(b), uint32_t(c.shape.width));
    EXPECT_EQ(qpimg::BitmapHeight(b), uint32_t(c.shape.height));
    EXPECT_EQ(qpimg::BitmapDepth(b), c.depth);
    EXPECT_LE(MaxError(b, src, c.shape.components), 6);
    qpimg::ReleaseBitmap(b);
}

INSTANTIATE_TEST_SUITE_P(Image, JpegCoding, ::testing::ValuesIn(kCodings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ImageJpeg, CmykComesOutAsColours) {
    // libjpeg writes CMYK with the Adobe marker, whose convention is inverted: 255 is no
    // ink (white), 0 full ink. The bottom half has full black ink.
    std::vector<uint8_t> cmyk(size_t(kW) * kH * 4, 255);
    for (int y = kH / 2; y < kH; ++y)
        for (int x = 0; x < kW; ++x) cmyk[(size_t(y) * kW + x) * 4 + 3] = 0;
    const std::string path = WriteFile("cmyk.jpg", MakeJpeg({kW, kH, 4, false, false, 0, 95}, cmyk));
    qpimg::Bitmap* b = qpimg::LoadBitmap(path.c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(qpimg::BitmapDepth(b), 24u);
    const uint8_t* top = qpimg::BitmapRow(b, 2);
    const uint8_t* bottom = qpimg::BitmapRow(b, kH - 3);
    for (int c = 0; c < 3; ++c) {
        EXPECT_GE(top[3 * 10 + c], 250);
        EXPECT_LE(bottom[3 * 10 + c], 5);
    }
    qpimg::ReleaseBitmap(b);
}

TEST(ImageJpeg, LargePictureDecodesAtReducedScaleNotBelowFit) {
    const auto src = Picture(640, 480, 3);
    const std::string path = WriteFile("large.jpg", MakeJpeg({640, 480, 3, false, false, 0, 90}, src));
    struct {
        uint32_t fitW, fitH, expectW, expectH;
    } cases[] = {
        {200, 150, 320, 240},  // 4/8 (2/8 would be too small)
        {160, 120, 160, 120},  // 2/8: exactly the fit size
        {80, 60, 80, 60},      // 1/8
        {321, 100, 640, 480},  // less than twice the fit width: full size
        {0, 0, 640, 480},      // no fit size given
    };
    for (const auto& c : cases) {
        auto s = qpimg::OpenImage(path.c_str(), c.fitW, c.fitH);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->FileWidth(), 640u);
        EXPECT_EQ(s->FileHeight(), 480u);
        EXPECT_EQ(s->Format().width, c.expectW) << c.fitW << "x" << c.fitH;
        EXPECT_EQ(s->Format().height, c.expectH) << c.fitW << "x" << c.fitH;
    }
}

// A file cut after its headers decodes to its full size (libjpeg fills what is missing);
// one cut inside its headers gives nothing.
TEST(ImageJpeg, TruncatedFiles) {
    const auto src = Picture(kW, kH, 3);
    const auto full = MakeJpeg({kW, kH, 3, false, false, 0, 95}, src);
    // Cut 60% of the way into the entropy-coded data that follows the scan header.
    size_t sos = 2;
    while (sos + 1 < full.size() && !(full[sos] == 0xFF && full[sos + 1] == 0xDA)) ++sos;
    auto half = full;
    half.resize(sos + (full.size() - sos) * 6 / 10);
    qpimg::Bitmap* b = qpimg::LoadBitmap(WriteFile("cut_data.jpg", half).c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(qpimg::BitmapWidth(b), uint32_t(kW));
    EXPECT_EQ(qpimg::BitmapHeight(b), uint32_t(kH));
    // The rows before the cut (the first of three rows of 16-line blocks) are intact.
    const uint8_t* row = qpimg::BitmapRow(b, 1);
    for (int x = 0; x < kW; ++x) EXPECT_NEAR(row[3 * x], src[(kW + x) * 3], 6);
    qpimg::ReleaseBitmap(b);

    auto head = full;
    head.resize(100);
    EXPECT_EQ(qpimg::LoadBitmap(WriteFile("cut_header.jpg", head).c_str()), nullptr);
    EXPECT_EQ(qpimg::LoadBitmap(WriteFile("soi_only.jpg", {0xFF, 0xD8, 0xFF}).c_str()), nullptr);
}

TEST(ImageJpeg, MutatedFilesNeverFault) {
    const auto base = MakeJpeg({kW, kH, 3, true, false, 0, 90}, Picture(kW, kH, 3));
    const auto grey = MakeJpeg({kW, kH, 1, false, false, 1, 90}, Picture(kW, kH, 1));
    uint32_t seed = 777;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int round = 0; round < 150; ++round) {
        std::vector<uint8_t> f = round & 1 ? base : grey;
        const int changes = 1 + next() % 6;
        for (int k = 0; k < changes; ++k) f[3 + next() % (f.size() - 3)] = static_cast<uint8_t>(next() >> 24);
        if (next() % 4 == 0) f.resize(3 + next() % (f.size() - 3));
        const std::string path = WriteFile("mutated_" + std::to_string(round) + ".jpg", f);
        qpimg::ReleaseBitmap(qpimg::LoadBitmap(path.c_str()));
    }
}

}  // namespace
