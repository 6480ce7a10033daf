// Built with -ffp-contract=off (see image/CMakeLists.txt): the products and the two sums
// of GreyOfExact must each be rounded on their own.
#include "image/grey.h"

namespace qpimg {

uint8_t GreyOfExact(uint8_t blue, uint8_t green, uint8_t red) {
    double v = (static_cast<double>(red) * 0.3 + static_cast<double>(green) * 0.587) +
               static_cast<double>(blue) * 0.114;
    return static_cast<uint8_t>(static_cast<int>(v));
}

void GreyRow(const uint8_t* src, size_t step, uint8_t* dst, size_t n) {
    for (size_t i = 0; i < n; ++i, src += step)
        dst[i] = GreyOf(src[0], src[1], src[2]);
}

}  // namespace qpimg
