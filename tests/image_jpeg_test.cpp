// JPEG decoding: the coding variants libjpeg writes, reduced-scale decoding, and damaged
// files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "image/image.h"

#include "image/image_service.h"
#include "tests/image_test_util.h"

namespace {

using imgtest::JpegLayout;
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

// Largest difference between a decoded picture and the blue, green, red (or grey) source.
int MaxError(const imgtest::Decoded& d, const std::vector<uint8_t>& src, int components) {
    int worst = 0;
    for (size_t i = 0; i < d.bgr.size() / 3; ++i)
        for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(d.bgr[3 * i + c] - src[i * components + (components == 1 ? 0 : c)]));
    return worst;
}

struct CodingCase {
    const char* name;
    JpegLayout shape;
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
    const imgtest::Decoded d = imgtest::DecodeFile(path);
    ASSERT_TRUE(d.ok) << d.why;
    EXPECT_EQ(d.format.width, uint32_t(c.shape.width));
    EXPECT_EQ(d.format.height, uint32_t(c.shape.height));
    EXPECT_EQ(d.format.depth, c.depth);
    EXPECT_LE(MaxError(d, src, c.shape.components), 6);
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
    const imgtest::Decoded d = imgtest::DecodeFile(path);
    ASSERT_TRUE(d.ok) << d.why;
    EXPECT_EQ(d.format.depth, 24u);
    const uint8_t* top = &d.bgr[(2 * kW + 10) * 3];
    const uint8_t* bottom = &d.bgr[((kH - 3) * kW + 10) * 3];
    for (int c = 0; c < 3; ++c) {
        EXPECT_GE(top[c], 250);
        EXPECT_LE(bottom[c], 5);
    }
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
        std::string why;
        auto s = qpimg::OpenImage(path.c_str(), c.fitW, c.fitH, why);
        ASSERT_NE(s, nullptr) << why;
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
    const imgtest::Decoded d = imgtest::DecodeFile(WriteFile("cut_data.jpg", half));
    ASSERT_TRUE(d.ok) << d.why;
    EXPECT_EQ(d.format.width, uint32_t(kW));
    EXPECT_EQ(d.format.height, uint32_t(kH));
    // The rows before the cut (the first of three rows of 16-line blocks) are intact.
    for (int x = 0; x < kW; ++x) EXPECT_NEAR(d.bgr[(kW + x) * 3], src[(kW + x) * 3], 6);

    auto head = full;
    head.resize(100);
    const imgtest::Decoded cut = imgtest::DecodeFile(WriteFile("cut_header.jpg", head));
    EXPECT_FALSE(cut.ok);
    EXPECT_NE(cut.why.find("not a readable JPEG"), std::string::npos) << cut.why;
    EXPECT_FALSE(imgtest::DecodeFile(WriteFile("soi_only.jpg", {0xFF, 0xD8, 0xFF})).ok);
}

TEST(ImageJpeg, MutatedFilesLoadOrAreRefusedWithinBounds) {
    const auto base = MakeJpeg({kW, kH, 3, true, false, 0, 90}, Picture(kW, kH, 3));
    const auto grey = MakeJpeg({kW, kH, 1, false, false, 1, 90}, Picture(kW, kH, 1));
    uint32_t seed = 777;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    double largest = 0;
    for (int round = 0; round < 150; ++round) {
        std::vector<uint8_t> f = round & 1 ? base : grey;
        const int changes = 1 + next() % 6;
        for (int k = 0; k < changes; ++k) f[3 + next() % (f.size() - 3)] = static_cast<uint8_t>(next() >> 24);
        if (next() % 4 == 0) f.resize(3 + next() % (f.size() - 3));
        const std::string path = WriteFile("mutated_" + std::to_string(round) + ".jpg", f);
        const imgtest::Bounded b = imgtest::RunBounded([&] { imgtest::LoadInChild(path); }, 2000 * imgtest::kSlowdown);
        ASSERT_TRUE(b.finished) << "round " << round << ": " << b.ms << " ms";
        largest = std::max(largest, b.peakGrowthMb);
    }
    EXPECT_LT(largest, 300 * imgtest::kMemoryOverhead) << "MB";
}

// A flat picture coded progressively: its scans are a few bytes each (long runs of empty
// blocks), so a file can repeat them cheaply while each one makes the decoder walk every
// block again.
std::vector<uint8_t> FlatProgressive(int w, int h, std::vector<imgtest::JpegLayout::Scan> scans) {
    std::vector<uint8_t> flat(size_t(w) * h * 3);
    for (size_t i = 0; i < flat.size(); i += 3) flat[i] = 120, flat[i + 1] = 130, flat[i + 2] = 140;
    imgtest::JpegLayout shape{w, h, 3, true, false, 0, 90};
    shape.scans = std::move(scans);
    return MakeJpeg(shape, flat);
}

// The refused files, through the real entry: refused quickly, with the reason on
// standard error and the usual failed-load lines on standard output.
struct HostileCase {
    const char* name;
    std::function<std::vector<uint8_t>()> bytes;
    const char* reason;
};
const HostileCase kHostile[] = {
    // A refinement scan repeated: it refines coefficients already refined.
    {"repeated_refinement",
     [] {
         return imgtest::RepeatJpegScan(FlatProgressive(2000, 2000, {}), 9, 3000);
     },
     "corrupt JPEG data in scan 11: Inconsistent progression sequence"},
    // A first scan of the AC band (no successive approximation) repeated: libjpeg takes
    // each repetition as a new first pass, so only the work bound stops it.
    {"repeated_first_scans",
     [] {
         return imgtest::RepeatJpegScan(FlatProgressive(4000, 4000, {{{0, 1, 2, -1}, 0, 0, 0, 0},
                                                                    {{0, -1}, 1, 63, 0, 0},
                                                                    {{1, -1}, 1, 63, 0, 0},
                                                                    {{2, -1}, 1, 63, 0, 0}}),
                                        1, 3000);
     },
     "more work than a file of its size may ask for"},
    // A few hundred bytes declaring 16,384 x 8,192 with several scans: 384 MiB of
    // coefficient buffers.
    {"huge_progressive",
     [] {
         return imgtest::WithJpegSize(MakeJpeg({16, 16, 3, true, false, 0, 90}, Picture(16, 16, 3)), 16384, 8192);
     },
     "progressive: decoding it would take 384 MiB of memory, more than the 64 MiB allowed"},
};

class JpegHostile : public imgtest::PanelFixture, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(JpegHostile, RefusedQuicklyInLittleMemoryWithAReason) {
    const std::string path = WriteFile(std::string(GetParam().name) + ".jpg", GetParam().bytes());
    ASSERT_LT(std::filesystem::file_size(path), 1u << 20);
    const imgtest::Bounded b = imgtest::RunBounded([&] { imgtest::LoadInChild(path); }, 2000 * imgtest::kSlowdown);
    ASSERT_TRUE(b.finished) << b.ms << " ms";
    EXPECT_LT(b.peakGrowthMb, 100 * imgtest::kMemoryOverhead);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = 0;
    try {
        LoadImageFile(path.c_str());
    } catch (const RunEnded& e) {
        status = e.Status;
    }
    const std::string out = testing::internal::GetCapturedStdout(), err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, -1);
    EXPECT_EQ(out, "Load image: " + path + "\r\nDecoding image file: " + path + " ...\r\nError: wrong size of loaded file\n");
    EXPECT_EQ(err.rfind("qp7730: " + path + ": ", 0), 0u) << err;
    EXPECT_NE(err.find(GetParam().reason), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Image, JpegHostile, ::testing::ValuesIn(kHostile),
                         [](const auto& info) { return std::string(info.param.name); });

// The same progressions without the repetitions decode: the bounds do not refuse
// ordinary files.
TEST(ImageJpeg, OrdinaryProgressionsOfLargePicturesDecode) {
    const imgtest::Decoded d = imgtest::DecodeFile(WriteFile("flat_progressive.jpg", FlatProgressive(4000, 4000, {})), 800, 600);
    ASSERT_TRUE(d.ok) << d.why;
    EXPECT_EQ(d.format.width, 1000u);
}

}  // namespace
