// Area averaging: hand-worked ratios, and a direct two-dimensional evaluation of the
// definition (area of overlap of every source pixel with every destination pixel)
// against the separable, streamed implementation.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "image/image_service.h"

namespace {

// A picture held in memory and handed out as a RowSource, 24-bit or 8-bit with a palette.
class MemorySource final : public qpimg::RowSource {
public:
    MemorySource(uint32_t w, uint32_t h, uint32_t depth, std::vector<uint8_t> rows) : rows_(std::move(rows)) {
        format_.width = fileWidth_ = w;
        format_.height = fileHeight_ = h;
        format_.depth = depth;
    }
    qpimg::PixelFormat& MutableFormat() { return format_; }
    // As a decoder that reduced a picture of fileW x fileH by num / denom.
    void SetReduction(uint32_t fileW, uint32_t fileH, uint32_t num, uint32_t denom) {
        fileWidth_ = fileW, fileHeight_ = fileH, scaleNum_ = num, scaleDenom_ = denom;
    }
    bool ReadRow(uint8_t* row) override {
        const size_t n = qpimg::RowBytes(format_.width, format_.depth);
        if (next_ >= format_.height) return false;
        std::copy_n(rows_.begin() + static_cast<std::ptrdiff_t>(next_++ * n), n, row);
        return true;
    }

private:
    std::vector<uint8_t> rows_;
    uint32_t next_ = 0;
};

std::vector<uint8_t> Resample(qpimg::RowSource& s, uint32_t dw, uint32_t dh, int* channels = nullptr) {
    qpimg::AreaResampler r(s, dw, dh);
    if (channels) *channels = r.Channels();
    std::vector<uint8_t> out(size_t{dw} * dh * r.Channels());
    for (uint32_t y = 0; y < dh; ++y) EXPECT_TRUE(r.NextRow(out.data() + size_t{y} * dw * r.Channels()));
    EXPECT_FALSE(r.NextRow(out.data()));
    return out;
}

// One channel written out as a 24-bit grey picture.
std::vector<uint8_t> GreyTo24(const std::vector<uint8_t>& v) {
    std::vector<uint8_t> out;
    for (uint8_t x : v) out.insert(out.end(), {x, x, x});
    return out;
}

struct HandCase {
    const char* name;
    uint32_t sw, sh;
    std::vector<uint8_t> src;
    uint32_t dw, dh;
    std::vector<uint8_t> want;
};

class HandWorked : public ::testing::TestWithParam<HandCase> {};

TEST_P(HandWorked, Averages) {
    const HandCase& c = GetParam();
    MemorySource s(c.sw, c.sh, 24, GreyTo24(c.src));
    EXPECT_EQ(Resample(s, c.dw, c.dh), GreyTo24(c.want));
}

const HandCase kHand[] = {
    // 2 x 2 blocks; 35.25 rounds down, 0.5 rounds up.
    {"halve", 4, 2, {10, 20, 30, 41, 10, 20, 30, 40}, 2, 1, {15, 35}},
    {"half_rounds_up", 2, 1, {0, 1}, 1, 1, {1}},
    // 3 -> 2: [0, 1.5) takes pixel 0 whole and half of pixel 1: (0 + 45) / 1.5 = 30.
    {"three_to_two", 3, 1, {0, 90, 180}, 2, 1, {30, 150}},
    // 2 -> 3: the middle pixel straddles both source pixels equally: 50.5 -> 51.
    {"two_to_three", 2, 1, {0, 101}, 3, 1, {0, 51, 101}},
    {"same_size", 3, 2, {1, 2, 3, 4, 5, 6}, 3, 2, {1, 2, 3, 4, 5, 6}},
    {"column_to_one", 1, 4, {0, 0, 255, 255}, 1, 1, {128}},
    {"wider_and_shorter", 2, 4, {0, 100, 0, 100, 50, 150, 50, 150}, 4, 2, {0, 0, 100, 100, 50, 50, 150, 150}},
};

INSTANTIATE_TEST_SUITE_P(Image, HandWorked, ::testing::ValuesIn(kHand),
                         [](const auto& info) { return std::string(info.param.name); });

// Reduced pictures: n delivered pixels of D / N file pixels each, the last one cut at the
// picture's size S. Evaluated directly in two dimensions, in units of 1 / (N d) file
// pixel: delivered pixel i spans [i D d, min((i + 1) D d, S N d)), destination pixel j
// spans [j S N, (j + 1) S N).
std::vector<uint8_t> DirectReduced(uint32_t nw, uint32_t nh, uint32_t fw, uint32_t fh, uint32_t N, uint32_t D,
                                   const std::vector<uint8_t>& bgr, uint32_t dw, uint32_t dh) {
    auto overlap = [&](uint64_t i, uint64_t j, uint64_t S, uint64_t d) -> uint64_t {
        const uint64_t lo = std::max(i * D * d, j * S * N);
        const uint64_t hi = std::min({(i + 1) * D * d, S * N * d, (j + 1) * S * N});
        return hi > lo ? hi - lo : 0;
    };
    std::vector<uint8_t> out(size_t{dw} * dh * 3);
    for (uint32_t j = 0; j < dh; ++j)
        for (uint32_t k = 0; k < dw; ++k)
            for (int c = 0; c < 3; ++c) {
                uint64_t sum = 0, area = 0;
                for (uint32_t i = 0; i < nh; ++i)
                    for (uint32_t m = 0; m < nw; ++m) {
                        const uint64_t a = overlap(i, j, fh, dh) * overlap(m, k, fw, dw);
                        sum += a * bgr[(size_t{i} * nw + m) * 3 + c];
                        area += a;
                    }
                out[(size_t{j} * dw + k) * 3 + c] = static_cast<uint8_t>((2 * sum + area) / (2 * area));
            }
    return out;
}

// The definition evaluated directly: the same with every delivered pixel a whole file
// pixel (N = D = 1), rounded to nearest (halves up).
std::vector<uint8_t> Direct(uint32_t sw, uint32_t sh, const std::vector<uint8_t>& bgr, uint32_t dw, uint32_t dh) {
    return DirectReduced(sw, sh, sw, sh, 1, 1, bgr, dw, dh);
}

TEST(ImageResample, MatchesDirectEvaluationOfTheDefinition) {
    uint32_t seed = 99;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int round = 0; round < 300; ++round) {
        const uint32_t sw = 1 + next() % 19, sh = 1 + next() % 19, dw = 1 + next() % 19, dh = 1 + next() % 19;
        std::vector<uint8_t> src(size_t{sw} * sh * 3);
        for (auto& v : src) v = static_cast<uint8_t>(next() >> 24);
        MemorySource s(sw, sh, 24, src);
        ASSERT_EQ(Resample(s, dw, dh), Direct(sw, sh, src, dw, dh)) << sw << "x" << sh << " -> " << dw << "x" << dh;
    }
}

TEST(ImageResample, LargeRatiosStayExact) {
    // Totals far beyond 32 bits in the sums: one row of 60,001 pixels to 7.
    const uint32_t sw = 60001, sh = 2, dw = 7, dh = 1;
    std::vector<uint8_t> src(size_t{sw} * sh * 3);
    uint32_t seed = 5;
    for (auto& v : src) v = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
    MemorySource s(sw, sh, 24, src);
    EXPECT_EQ(Resample(s, dw, dh), Direct(sw, sh, src, dw, dh));

    std::vector<uint8_t> white(size_t{sw} * sh * 3, 255);
    MemorySource w(sw, sh, 24, white);
    EXPECT_EQ(Resample(w, 13, 1), std::vector<uint8_t>(13 * 3, 255));
}

TEST(ImageResample, PaletteIsAveragedInColours) {
    // 2 x 1 indices 0 and 1 of a red/blue palette to one pixel: the average colour.
    MemorySource s(2, 1, 8, {0, 1});
    auto& f = s.MutableFormat();
    f.paletteSize = 2;
    const uint8_t red[4] = {0, 0, 200, 0}, blue[4] = {100, 0, 0, 0};
    std::copy_n(red, 4, f.palette[0]);
    std::copy_n(blue, 4, f.palette[1]);
    int channels = 0;
    EXPECT_EQ(Resample(s, 1, 1, &channels), (std::vector<uint8_t>{50, 0, 100}));
    EXPECT_EQ(channels, 3);
}

TEST(ImageResample, GreyPaletteIsAveragedInOneChannel) {
    MemorySource s(4, 1, 4, {0x01, 0x23});  // 4-bit indices 0, 1, 2, 3
    auto& f = s.MutableFormat();
    f.paletteSize = 4;
    for (int i = 0; i < 4; ++i) std::fill_n(f.palette[i], 3, static_cast<uint8_t>(i * 10));
    int channels = 0;
    EXPECT_EQ(Resample(s, 2, 1, &channels), (std::vector<uint8_t>{5, 25}));
    EXPECT_EQ(channels, 1);
}


TEST(ImageResample, ReducedPicturesWeighTheLastPixelByWhatItCovers) {
    // By hand: 17 file pixels at 1/8 arrive as 3 pixels, the last covering one file pixel.
    // To 1 pixel: (8 x 0 + 8 x 0 + 1 x 255) / 17 = 15.
    MemorySource hand(3, 1, 24, GreyTo24({0, 0, 255}));
    hand.SetReduction(17, 1, 1, 8);
    EXPECT_EQ(Resample(hand, 1, 1), GreyTo24({15}));

    uint32_t seed = 4242;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int round = 0; round < 200; ++round) {
        const uint32_t num = 1u << (next() % 3), fw = 1 + next() % 90, fh = 1 + next() % 90;
        const uint32_t nw = (fw * num + 7) / 8, nh = (fh * num + 7) / 8;
        const uint32_t dw = 1 + next() % 15, dh = 1 + next() % 15;
        std::vector<uint8_t> src(size_t{nw} * nh * 3);
        for (auto& v : src) v = static_cast<uint8_t>(next() >> 24);
        MemorySource s(nw, nh, 24, src);
        s.SetReduction(fw, fh, num, 8);
        ASSERT_EQ(Resample(s, dw, dh), DirectReduced(nw, nh, fw, fh, num, 8, src, dw, dh))
            << fw << "x" << fh << " at " << num << "/8 -> " << dw << "x" << dh;
    }
}

TEST(ImageResample, LargestReductionsStayExact) {
    // The largest totals: a picture of 65,535 file pixels arriving at 4/8 as 32,768 pixels,
    // to 65,521 (a prime) destination pixels, and down to 3.
    const uint32_t fw = 65535, nw = 32768;
    std::vector<uint8_t> src(size_t{nw} * 3);
    uint32_t seed = 77;
    for (auto& v : src) v = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
    for (uint32_t dw : {3u, 65521u}) {
        MemorySource s(nw, 1, 24, src);
        s.SetReduction(fw, 1, 4, 8);
        const auto got = Resample(s, dw, 1);
        if (dw == 3) {
            EXPECT_EQ(got, DirectReduced(nw, 1, fw, 1, 4, 8, src, dw, 1));
        } else {
            // Each destination pixel lies in one or two delivered pixels: check a sample by
            // hand-rolled rationals.
            for (uint32_t k : {0u, 1u, 12345u, 65520u}) {
                const uint64_t lo = uint64_t{k} * fw * 4, hi = uint64_t{k + 1} * fw * 4;  // units of 1/(4 dw)
                uint64_t sum = 0, area = 0;
                for (uint64_t i = lo / (uint64_t{8} * dw); i * uint64_t{8} * dw < hi; ++i) {
                    const uint64_t cell = uint64_t{8} * dw;
                    const uint64_t a = std::min({(i + 1) * cell, hi, uint64_t{fw} * 4 * dw}) - std::max(i * cell, lo);
                    sum += a * src[i * 3], area += a;
                }
                EXPECT_EQ(got[3 * k], (2 * sum + area) / (2 * area)) << k;
            }
        }
    }
}

}  // namespace
