// The grey rule: worked values, and the integer path against the double rule for every
// one of the 2^24 colours.
#include <gtest/gtest.h>

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

TEST(ImageGrey, RowConversionStepsOverFourthByte) {
    const uint8_t bgrx[] = {0, 0, 255, 9, 0, 255, 0, 9, 255, 0, 0, 9};
    uint8_t out[3];
    qpimg::GreyRow(bgrx, 4, out, 3);
    EXPECT_EQ(out[0], 76);
    EXPECT_EQ(out[1], 149);
    EXPECT_EQ(out[2], 29);
}

}  // namespace
