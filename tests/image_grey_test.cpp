// The grey rule: worked values, and the integer path against the double rule for every
// one of the 2^24 colours.
#include <gtest/gtest.h>

#include <vector>

#include "image/grey.h"

namespace {

using qpimg::GreyOf;
using qpimg::GreyOfExact;

// The rule written out independently of the library, in the same order of operations.
int Reference(int b, int g, int r) {
    volatile double red = r, green = g, blue = b;
    return static_cast<int>((red * 0.3 + green * 0.587) + blue * 0.114);
}

TEST(ImageGrey, WorkedValues) {
    struct Case {
        uint8_t b, g, r, grey;
    } cases[] = {
        {0, 0, 255, 76},     {0, 255, 0, 149},  {255, 0, 0, 29},  {255, 255, 255, 255},
        {24, 72, 0, 44},     // real value 45, the double sum falls just below
        {0, 0, 0, 0},        {1, 1, 1, 1},      {128, 128, 128, 128},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GreyOfExact(c.b, c.g, c.r), c.grey) << int(c.b) << "," << int(c.g) << "," << int(c.r);
        EXPECT_EQ(GreyOf(c.b, c.g, c.r), c.grey) << int(c.b) << "," << int(c.g) << "," << int(c.r);
    }
    for (int v = 0; v < 256; ++v) EXPECT_EQ(GreyOf(v, v, v), v);
}

TEST(ImageGrey, ExactRuleMatchesIndependentReference) {
    // Every colour on a truncation edge (300 r + 587 g + 114 b a multiple of 1000) and a
    // sample of the rest.
    int edges = 0;
    for (int r = 0; r < 256; ++r)
        for (int g = 0; g < 256; ++g)
            for (int b = 0; b < 256; ++b) {
                if ((300 * r + 587 * g + 114 * b) % 1000 != 0 && ((r * 7 + g * 13 + b) & 63) != 0) continue;
                edges += (300 * r + 587 * g + 114 * b) % 1000 == 0;
                ASSERT_EQ(GreyOfExact(b, g, r), Reference(b, g, r)) << b << "," << g << "," << r;
            }
    EXPECT_GT(edges, 1000);
}

TEST(ImageGrey, FastPathEqualsDoubleRuleForAllColours) {
    // Plain loops over all 2^24 colours; fast enough under the sanitizers too.
    for (int r = 0; r < 256; ++r)
        for (int g = 0; g < 256; ++g)
            for (int b = 0; b < 256; ++b) {
                if (GreyOf(b, g, r) != GreyOfExact(b, g, r)) {
                    FAIL() << "blue " << b << " green " << g << " red " << r;
                }
            }
}

// The row conversion (vectorised where the processor allows) over all 2^24 colours, in
// B,G,R and B,G,R,X rows, with row lengths that leave every possible tail.
TEST(ImageGrey, RowConversionEqualsDoubleRuleForAllColours) {
    std::vector<uint8_t> bgr(65536 * 3), bgrx(65536 * 4), out(65536), want(65536);
    for (int r = 0; r < 256; ++r) {
        for (int i = 0; i < 65536; ++i) {
            const uint8_t b = static_cast<uint8_t>(i), g = static_cast<uint8_t>(i >> 8);
            bgr[3 * i] = bgrx[4 * i] = b;
            bgr[3 * i + 1] = bgrx[4 * i + 1] = g;
            bgr[3 * i + 2] = bgrx[4 * i + 2] = static_cast<uint8_t>(r);
            bgrx[4 * i + 3] = static_cast<uint8_t>(i * 7);
            want[i] = GreyOfExact(b, g, static_cast<uint8_t>(r));
        }
        qpimg::GreyRow(bgr.data(), 3, out.data(), out.size());
        ASSERT_EQ(out, want) << "red " << r;
        qpimg::GreyRow(bgrx.data(), 4, out.data(), out.size());
        ASSERT_EQ(out, want) << "red " << r << ", 4 bytes a pixel";
    }
    // Short rows: every length up to 40, each starting anywhere in the buffer, never
    // writing past its end.
    for (size_t n = 0; n <= 40; ++n)
        for (size_t start = 0; start < 20; ++start) {
            std::vector<uint8_t> row(bgr.begin() + static_cast<std::ptrdiff_t>(start * 3),
                                     bgr.begin() + static_cast<std::ptrdiff_t>((start + n) * 3));
            std::vector<uint8_t> got(n + 1, 0xA5);
            qpimg::GreyRow(row.data(), 3, got.data(), n);
            for (size_t k = 0; k < n; ++k) ASSERT_EQ(got[k], GreyOfExact(row[3 * k], row[3 * k + 1], row[3 * k + 2]));
            ASSERT_EQ(got[n], 0xA5);
        }
}

TEST(ImageGrey, RowConversionStepsOverFourthByte) {
    const uint8_t bgrx[] = {0, 0, 255, 9, 0, 255, 0, 9, 255, 0, 0, 9};
    uint8_t out[3];
    qpimg::GreyRow(bgrx, 4, out, 3);
    EXPECT_EQ(out[0], 76);
    EXPECT_EQ(out[1], 149);
    EXPECT_EQ(out[2], 29);
}

}  // namespace
