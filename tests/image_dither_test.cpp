// Dithering to a mode's levels, against references written here another way: the ordered
// rule as a threshold on each pixel's fraction between two levels, error diffusion with
// the errors held as exact sixteenths in doubles and the nearest level searched for.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "image/dither.h"

namespace {

constexpr uint32_t kW = 13, kH = 9;  // not multiples of 4: the matrix wraps part way

const int kB[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

// Level j = floor(v / q) goes up one where (v - j q) / q >= 1 - (B + 1/2) / 16.
std::vector<uint8_t> OrderedReference(const std::vector<uint8_t>& in, int levels) {
    const int q = 255 / (levels - 1);
    std::vector<uint8_t> out(in.size());
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x) {
            const int v = in[y * kW + x], j = v / q;
            const bool up = 32 * (v - j * q) >= (31 - 2 * kB[y % 4][x % 4]) * q;
            out[y * kW + x] = static_cast<uint8_t>((j + (up ? 1 : 0)) * q);
        }
    return out;
}

std::vector<uint8_t> DiffusionReference(const std::vector<uint8_t>& in, int levels) {
    const int q = 255 / (levels - 1);
    std::vector<double> error(in.size(), 0.0);
    std::vector<uint8_t> out(in.size());
    const auto give = [&](int x, int y, double e) {
        if (x >= 0 && x < int(kW) && y < int(kH)) error[y * kW + x] += e;
    };
    for (int y = 0; y < int(kH); ++y)
        for (int x = 0; x < int(kW); ++x) {
            const double old = std::min(255.0, std::max(0.0, in[y * kW + x] + std::floor(error[y * kW + x] + 0.5)));
            int best = 0;
            for (int k = 0; k < levels; ++k)
                if (std::fabs(old - k * q) <= std::fabs(old - best)) best = k * q;  // halves go up
            out[y * kW + x] = static_cast<uint8_t>(best);
            const double err = old - best;
            give(x + 1, y, err * 7 / 16), give(x - 1, y + 1, err * 3 / 16), give(x, y + 1, err * 5 / 16),
                give(x + 1, y + 1, err / 16);
        }
    return out;
}

std::vector<uint8_t> Picture(int kind) {
    std::vector<uint8_t> p(kW * kH);
    for (uint32_t i = 0; i < p.size(); ++i) {
        const uint32_t x = i % kW, y = i / kW;
        p[i] = kind == 0   ? static_cast<uint8_t>(x * 255 / (kW - 1))             // a gradient
               : kind == 1 ? static_cast<uint8_t>((i * 2654435761u) >> 24)       // noise
               : kind == 2 ? static_cast<uint8_t>(x < 6 ? 0 : 255)               // black and white
                           : static_cast<uint8_t>(128 + (x + y) % 3 - 1);        // around the threshold
    }
    return p;
}

TEST(Dither, MatchesTheReferenceForEveryMethodAndLevelCount) {
    for (int kind = 0; kind < 4; ++kind)
        for (int levels : {16, 2})
            for (Dither method : {Dither::kOrdered, Dither::kDiffusion}) {
                std::vector<uint8_t> got = Picture(kind);
                const std::vector<uint8_t> want =
                    method == Dither::kOrdered ? OrderedReference(got, levels) : DiffusionReference(got, levels);
                DitherToLevels(got.data(), kW, kH, kW, method, static_cast<uint32_t>(levels));
                EXPECT_EQ(got, want) << "picture " << kind << ", " << levels << " levels, method " << int(method);
            }
}

// Levels stay as they are; none (and level counts other than 16 and 2) change nothing;
// the rows' pitch is kept to.
TEST(Dither, LevelsStayAndNothingElseIsTouched) {
    std::vector<uint8_t> levels16(kW * kH), bw(kW * kH);
    for (uint32_t i = 0; i < kW * kH; ++i) levels16[i] = static_cast<uint8_t>(i % 16 * 17), bw[i] = i % 3 ? 255 : 0;
    for (Dither method : {Dither::kOrdered, Dither::kDiffusion}) {
        auto a = levels16, b = bw;
        DitherToLevels(a.data(), kW, kH, kW, method, 16);
        DitherToLevels(b.data(), kW, kH, kW, method, 2);
        EXPECT_EQ(a, levels16);
        EXPECT_EQ(b, bw);
    }
    const std::vector<uint8_t> grey = Picture(1);
    for (auto [method, levels] : {std::pair{Dither::kNone, 16u}, {Dither::kOrdered, 0u}, {Dither::kDiffusion, 256u}}) {
        auto g = grey;
        DitherToLevels(g.data(), kW, kH, kW, method, levels);
        EXPECT_EQ(g, grey);
    }
    // Every other column of a picture twice as wide as dithered: the others stay.
    std::vector<uint8_t> wide(2 * kW * kH, 77);
    for (uint32_t y = 0; y < kH; ++y) std::copy_n(&grey[y * kW], kW, &wide[y * 2 * kW]);
    DitherToLevels(wide.data(), kW, kH, 2 * kW, Dither::kDiffusion, 2);
    const auto want = DiffusionReference(grey, 2);
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x) {
            EXPECT_EQ(wide[y * 2 * kW + x], want[y * kW + x]);
            EXPECT_EQ(wide[y * 2 * kW + kW + x], 77);
        }
}

}  // namespace
