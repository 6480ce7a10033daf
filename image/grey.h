// 8-bit grey from blue, green and red: (red x 0.3 + green x 0.587) + blue x 0.114 in double
// precision, in that order of additions, truncated toward zero.
#pragma once
#include <cstddef>
#include <cstdint>

namespace qpimg {

// The rule itself, evaluated in doubles exactly as written (this file's implementation is
// built without floating-point contraction, so no fused multiply-add can change a result).
uint8_t GreyOfExact(uint8_t blue, uint8_t green, uint8_t red);

// Integer form of the rule, equal to GreyOfExact for every colour.
//
// The real value of the rule is N / 1000 with N = 300 red + 587 green + 114 blue. When
// N is not a multiple of 1000 the real value is at least 0.001 away from an integer,
// far more than the rounding error of the double evaluation (below 1e-13), so the
// truncated double is N / 1000 rounded down. When N is a multiple of 1000 the double sum
// may land just below the integer (0, 72, 24 gives 44.99999999999999 and so 44), so
// those colours, about one in a thousand, take the double evaluation.
inline uint8_t GreyOf(uint8_t blue, uint8_t green, uint8_t red) {
    uint32_t n = 300u * red + 587u * green + 114u * blue;
    uint32_t q = n / 1000u;
    if (q * 1000u == n) [[unlikely]]
        return GreyOfExact(blue, green, red);
    return static_cast<uint8_t>(q);
}

// Converts n pixels whose blue, green and red bytes start at src and lie `step` bytes
// apart from one pixel to the next (3 for B,G,R rows, 4 for B,G,R,X rows).
void GreyRow(const uint8_t* src, size_t step, uint8_t* dst, size_t n);

}  // namespace qpimg
