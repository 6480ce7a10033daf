// Built with -ffp-contract=off (see image/CMakeLists.txt): the products and the two sums
// of GreyOfExact must each be rounded on their own.
#include "image/grey.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QP_GREY_AVX2 1
#endif

namespace qpimg {

uint8_t GreyOfExact(uint8_t blue, uint8_t green, uint8_t red) {
    double v = (static_cast<double>(red) * 0.3 + static_cast<double>(green) * 0.587) +
               static_cast<double>(blue) * 0.114;
    return static_cast<uint8_t>(static_cast<int>(v));
}

namespace {

void GreyRowScalar(const uint8_t* src, size_t step, uint8_t* dst, size_t n) {
    for (size_t i = 0; i < n; ++i, src += step) dst[i] = GreyOf(src[0], src[1], src[2]);
}

#ifdef QP_GREY_AVX2
// Sixteen pixels a step. N = 114 blue + 587 green + 300 red comes from 16-bit
// multiply-adds (red is paired with a zero byte), eight pixels to a register. Then
// floor(N / 1000) = floor(M / 125) with M = floor(N / 8), and M < 2^15 fits 16 bits, so
// all sixteen pixels share one multiply-high: floor(M / 125) = (M x 33555) >> 22 exactly
// for every M < 2^15 (the error, below 0.0045, never reaches the next integer). Pixels
// whose N is a multiple of 1000 sit on a truncation edge of the double rule; they (about
// one in a thousand) are redone by GreyOfExact.
template <size_t Step>
struct GreyAvx2 {
    __m256i weightsBG = _mm256_set1_epi32(587 << 16 | 114);
    __m256i weightR = _mm256_set1_epi32(300);
    __m256i gather = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);  // bytes 0-15 | 12-27
    // Per 128-bit lane: blue and green of 4 pixels as 16-bit pairs, and red as 32 bits.
    __m256i bg, r;

    __attribute__((target("avx2"))) GreyAvx2() {
        const __m256i bg3 = _mm256_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1,  //
                                             0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1);
        const __m256i r3 = _mm256_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1,  //
                                            2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1);
        const __m256i bg4 = _mm256_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1,  //
                                             0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1);
        const __m256i r4 = _mm256_setr_epi8(2, -1, -1, -1, 6, -1, -1, -1, 10, -1, -1, -1, 14, -1, -1, -1,  //
                                            2, -1, -1, -1, 6, -1, -1, -1, 10, -1, -1, -1, 14, -1, -1, -1);
        bg = Step == 3 ? bg3 : bg4;
        r = Step == 3 ? r3 : r4;
    }

    // N of the eight pixels at p, as 32-bit lanes (pixels 0-3 | 4-7).
    __attribute__((target("avx2"))) __m256i Eight(const uint8_t* p) const {
        __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        if constexpr (Step == 3) px = _mm256_permutevar8x32_epi32(px, gather);
        return _mm256_add_epi32(_mm256_madd_epi16(_mm256_shuffle_epi8(px, bg), weightsBG),
                                _mm256_madd_epi16(_mm256_shuffle_epi8(px, r), weightR));
    }
};

template <size_t Step>
__attribute__((target("avx2"))) size_t GreyRowAvx2(const uint8_t* src, uint8_t* dst, size_t n) {
    const GreyAvx2<Step> k;
    const __m256i reciprocal = _mm256_set1_epi16(static_cast<short>(33555));
    const __m256i thousand = _mm256_set1_epi16(1000);
    const __m256i lowHalf = _mm256_set1_epi32(0xFFFF);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    // The 16-bit lanes hold pixels 0-3, 8-11 | 4-7, 12-15.
    static constexpr uint8_t kPixelOfLane[16] = {0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15};
    // Each half loads 32 bytes; stop while those of the second half all lie inside the row.
    constexpr size_t kOver = Step == 3 ? 8 : 0;
    size_t i = 0;
    for (; (i + 16) * Step + kOver <= n * Step; i += 16) {
        const __m256i a = k.Eight(src + i * Step), b = k.Eight(src + (i + 8) * Step);
        const __m256i m = _mm256_packus_epi32(_mm256_srli_epi32(a, 3), _mm256_srli_epi32(b, 3));
        const __m256i q = _mm256_srli_epi16(_mm256_mulhi_epu16(m, reciprocal), 6);
        // Bytes q0-3 q8-11 twice | q4-7 q12-15 twice, then in pixel order.
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(q, q), order);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm256_castsi256_si128(bytes));
        // N = 1000 q exactly when the two agree in their low 16 bits, since 0 <= N - 1000 q < 1000.
        const __m256i low = _mm256_packus_epi32(_mm256_and_si256(a, lowHalf), _mm256_and_si256(b, lowHalf));
        const __m256i edge = _mm256_cmpeq_epi16(_mm256_mullo_epi16(q, thousand), low);
        // Two mask bits a lane; keep the low one.
        for (unsigned e = static_cast<unsigned>(_mm256_movemask_epi8(edge)) & 0x55555555u; e != 0; e &= e - 1) {
            const size_t j = i + kPixelOfLane[__builtin_ctz(e) / 2];
            const uint8_t* p = src + j * Step;
            dst[j] = GreyOfExact(p[0], p[1], p[2]);
        }
    }
    return i;
}

const bool kHaveAvx2 = [] {
    __builtin_cpu_init();  // this runs from a static constructor
    return __builtin_cpu_supports("avx2") != 0;
}();
#endif

}  // namespace

void GreyRow(const uint8_t* src, size_t step, uint8_t* dst, size_t n) {
    size_t done = 0;
#ifdef QP_GREY_AVX2
    if (kHaveAvx2 && step == 3) done = GreyRowAvx2<3>(src, dst, n);
    if (kHaveAvx2 && step == 4) done = GreyRowAvx2<4>(src, dst, n);
#endif
    GreyRowScalar(src + done * step, step, dst + done, n - done);
}

}  // namespace qpimg
