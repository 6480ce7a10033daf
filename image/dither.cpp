#include "image/dither.h"

#include <algorithm>
#include <vector>

namespace {

constexpr uint8_t kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

// a / b rounded down, for b > 0 and a of either sign.
int FloorDiv(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

}  // namespace

void DitherToLevels(uint8_t* grey, uint32_t w, uint32_t h, size_t pitch, Dither method, uint32_t levels) {
    if (method == Dither::kNone || (levels != 16 && levels != 2) || w == 0) return;
    const int q = 255 / static_cast<int>(levels - 1);
    if (method == Dither::kOrdered) {
        for (uint32_t y = 0; y < h; ++y) {
            uint8_t* row = grey + y * pitch;
            for (uint32_t x = 0; x < w; ++x) {
                const int k = (32 * row[x] + (2 * kBayer[y % 4][x % 4] + 1) * q) / (32 * q);
                row[x] = static_cast<uint8_t>(k * q);
            }
        }
        return;
    }
    // The errors this row and the next receive, in sixteenths, with a column of room on
    // either side so that the edges need no test.
    std::vector<int> here(size_t{w} + 2, 0), below(size_t{w} + 2, 0);
    for (uint32_t y = 0; y < h; ++y) {
        uint8_t* row = grey + y * pitch;
        for (uint32_t x = 0; x < w; ++x) {
            const int old = std::clamp(row[x] + FloorDiv(here[x + 1] + 8, 16), 0, 255);
            const int level = (2 * old + q) / (2 * q) * q;
            const int err = old - level;
            row[x] = static_cast<uint8_t>(level);
            here[x + 2] += 7 * err;
            below[x] += 3 * err;
            below[x + 1] += 5 * err;
            below[x + 2] += err;
        }
        here.swap(below);
        std::fill(below.begin(), below.end(), 0);
    }
}
