// The grey rule: worked values, and the integer path against the double rule for every
// one of the 2^24 colours.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tests/image_test_util.h"
#include "image/grey.h"

namespace {

using qpimg::GreyOf;
using qpimg::GreyOfExact;

// The rule written out independently of the library, in the same order of operations.
int Reference(int b, int g, int r) { return imgtest::ReferenceGrey(b, g, r); }

// The same rule in integers: every double is m x 2^e with an integer m below 2^53, and
// each product and sum is formed exactly and rounded to 53 significant bits, ties to
// even, as the processor does.
struct Exact {
    unsigned __int128 m;
    int e;
};
Exact Round53(unsigned __int128 m, int e) {
    int bits = 0;
    for (unsigned __int128 t = m; t != 0; t >>= 1) ++bits;
    if (bits <= 53) return {m, e};
    const int drop = bits - 53;
    unsigned __int128 q = m >> drop;
    const unsigned __int128 rest = m & ((static_cast<unsigned __int128>(1) << drop) - 1);
    const unsigned __int128 half = static_cast<unsigned __int128>(1) << (drop - 1);
    if (rest > half || (rest == half && (q & 1))) ++q;
    return {q, e + drop};
}
Exact FromDouble(double c) {
    int e = 0;
    const double f = std::frexp(c, &e);  // c = f x 2^e, 0.5 <= f < 1
    return {static_cast<unsigned __int128>(static_cast<uint64_t>(std::ldexp(f, 53))), e - 53};
}
Exact Times(Exact c, int v) { return Round53(c.m * static_cast<unsigned>(v), c.e); }
Exact Plus(Exact a, Exact b) {
    if (a.m == 0) return b;
    if (b.m == 0) return a;
    const int e = std::min(a.e, b.e);
    return Round53((a.m << (a.e - e)) + (b.m << (b.e - e)), e);
}
int Truncated(Exact x) { return x.e >= 0 ? static_cast<int>(x.m << x.e) : static_cast<int>(x.m >> -x.e); }
int IntegerRule(int b, int g, int r) {
    static const Exact red = FromDouble(0.3), green = FromDouble(0.587), blue = FromDouble(0.114);
    return Truncated(Plus(Plus(Times(red, r), Times(green, g)), Times(blue, b)));
}

TEST(ImageGrey, ReferenceHoldsTheWorkedValues) {
    struct Case {
        int b, g, r, grey;
    } cases[] = {{0, 0, 255, 76}, {0, 255, 0, 149}, {255, 0, 0, 29}, {255, 255, 255, 255}};
    for (const Case& c : cases) {
        EXPECT_EQ(Reference(c.b, c.g, c.r), c.grey);
        EXPECT_EQ(IntegerRule(c.b, c.g, c.r), c.grey);
    }
    for (int v = 0; v < 256; ++v) {
        EXPECT_EQ(Reference(v, v, v), v);
        EXPECT_EQ(IntegerRule(v, v, v), v);
    }
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

TEST(ImageGrey, ExactRuleMatchesIndependentReferences) {
    // Every colour on a truncation edge (300 r + 587 g + 114 b a multiple of 1000) and a
    // sample of the rest; the two references (doubles, and integers rounded as doubles
    // are) must agree as well. Off the edges the value is 300 r + 587 g + 114 b over 1000,
    // rounded down.
    int edges = 0, belowOnEdge = 0;
    for (int r = 0; r < 256; ++r)
        for (int g = 0; g < 256; ++g)
            for (int b = 0; b < 256; ++b) {
                const int n = 300 * r + 587 * g + 114 * b;
                if (n % 1000 != 0 && ((r * 7 + g * 13 + b) & 63) != 0) continue;
                const int integer = IntegerRule(b, g, r);
                ASSERT_EQ(Reference(b, g, r), integer) << b << "," << g << "," << r;
                ASSERT_EQ(GreyOfExact(b, g, r), integer) << b << "," << g << "," << r;
                if (n % 1000 == 0) {
                    ++edges;
                    belowOnEdge += integer == n / 1000 - 1;
                    ASSERT_TRUE(integer == n / 1000 || integer == n / 1000 - 1);
                } else {
                    ASSERT_EQ(integer, n / 1000);
                }
            }
    EXPECT_GT(edges, 1000);
    EXPECT_GT(belowOnEdge, 0);  // such as (24, 72, 0): 44.99999999999999
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
