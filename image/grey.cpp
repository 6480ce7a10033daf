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
// Eight pixels at a time. N = 114 blue + 587 green + 300 red comes from two 16-bit
// multiply-adds; floor(N / 1000) = trunc((N + 0.5) x 0.001f) exactly, because N < 2^18
// and the float error (below 2e-5) is far smaller than the 0.0005 margin to the next
// multiple of 1000. Lanes where N is a multiple of 1000 sit on a truncation edge and are
// redone with the double rule, as in GreyOf.
__attribute__((target("avx2"))) size_t GreyRowAvx2(const uint8_t* src, size_t step, uint8_t* dst, size_t n) {
    const __m256i weightsBG = _mm256_set1_epi32(587 << 16 | 114);
    const __m256i weightR = _mm256_set1_epi32(300);
    const __m256 thousandth = _mm256_set1_ps(0.001f);
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256i thousand = _mm256_set1_epi32(1000);
    const __m256i gather = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);  // bytes 0-15 | 12-27
    const __m256i pickBytes = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    // Per 128-bit lane: blue and green of 4 pixels as 16-bit pairs, and red as 32 bits.
    const __m256i bg3 = _mm256_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1,  //
                                         0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1);
    const __m256i r3 = _mm256_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1,  //
                                        2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1);
    const __m256i bg4 = _mm256_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1,  //
                                         0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1);
    const __m256i r4 = _mm256_setr_epi8(2, -1, -1, -1, 6, -1, -1, -1, 10, -1, -1, -1, 14, -1, -1, -1,  //
                                        2, -1, -1, -1, 6, -1, -1, -1, 10, -1, -1, -1, 14, -1, -1, -1);
    const bool three = step == 3;
    size_t i = 0;
    // Each step loads 32 bytes; stop while they all lie inside the row.
    for (; (i + 8) * step + (three ? 8 : 0) <= n * step; i += 8) {
        __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i * step));
        if (three) px = _mm256_permutevar8x32_epi32(px, gather);
        const __m256i bg = _mm256_shuffle_epi8(px, three ? bg3 : bg4);
        const __m256i r = _mm256_shuffle_epi8(px, three ? r3 : r4);
        const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(bg, weightsBG), _mm256_mullo_epi32(r, weightR));
        const __m256i q = _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_add_ps(_mm256_cvtepi32_ps(sum), half), thousandth));
        const int edges = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_mullo_epi32(q, thousand), sum)));
        const __m256i bytes = _mm256_packus_epi16(_mm256_packus_epi32(q, q), _mm256_setzero_si256());
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + i),
                         _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(bytes, pickBytes)));
        for (int e = edges; e != 0; e &= e - 1) {
            const size_t k = i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(e)));
            const uint8_t* p = src + k * step;
            dst[k] = GreyOfExact(p[0], p[1], p[2]);
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
    if (kHaveAvx2 && (step == 3 || step == 4)) done = GreyRowAvx2(src, step, dst, n);
#endif
    GreyRowScalar(src + done * step, step, dst + done, n - done);
}

}  // namespace qpimg
