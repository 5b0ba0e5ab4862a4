// The row-pair conversion of the vector path, 32 pixels per step in 256-bit registers.
// The formulas and their range arguments are those of the SSSE3 unit; AVX2's byte
// shuffles, multiply-adds and horizontal adds work within each 128-bit half, so results
// come out with their 4-pixel groups interleaved and one permutation per output puts
// them back in order.
#include "video/scale_convert_internal.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

namespace {

__attribute__((target("avx2"))) inline __m256i Luma16(__m256i p0, __m256i p1) {
    const __m256i bgrg = _mm256_setr_epi8(0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13, 0,
                                          1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13);
    const __m256i c = _mm256_setr_epi8(25, 67, 66, 62, 25, 67, 66, 62, 25, 67, 66, 62, 25, 67, 66,
                                       62, 25, 67, 66, 62, 25, 67, 66, 62, 25, 67, 66, 62, 25, 67,
                                       66, 62);
    __m256i m0 = _mm256_maddubs_epi16(_mm256_shuffle_epi8(p0, bgrg), c);
    __m256i m1 = _mm256_maddubs_epi16(_mm256_shuffle_epi8(p1, bgrg), c);
    __m256i sum = _mm256_add_epi16(_mm256_hadd_epi16(m0, m1), _mm256_set1_epi16(128 + 4096));
    return _mm256_srli_epi16(sum, 8);
}

__attribute__((target("avx2"))) inline __m256i ChromaTerms16(__m256i p0, __m256i p1,
                                                             __m256i coefficients) {
    __m256i sum = _mm256_hadd_epi16(_mm256_maddubs_epi16(p0, coefficients),
                                    _mm256_maddubs_epi16(p1, coefficients));
    return _mm256_srai_epi16(_mm256_add_epi16(sum, _mm256_set1_epi16(128)), 2);
}

// Luma of 32 pixels given as four registers of 8, in pixel order.
__attribute__((target("avx2"))) inline __m256i Luma32(const __m256i *p) {
    // Each Luma16 holds, per half, 4-pixel groups (0, 2 | 1, 3) of its 16 pixels; after
    // the pack the 32-bit groups are (0, 2, 4, 6 | 1, 3, 5, 7).
    __m256i packed = _mm256_packus_epi16(Luma16(p[0], p[1]), Luma16(p[2], p[3]));
    return _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

} // namespace

__attribute__((target("avx2"))) int ConvertRowPairsAvx2(const uint8_t *top, const uint8_t *bottom,
                                                         int width, uint8_t *yTop,
                                                         uint8_t *yBottom, uint8_t *u,
                                                         uint8_t *v) {
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    if (!available) return 0;
    const __m256i cu = _mm256_setr_epi8(112, -74, -38, 0, 112, -74, -38, 0, 112, -74, -38, 0, 112,
                                        -74, -38, 0, 112, -74, -38, 0, 112, -74, -38, 0, 112, -74,
                                        -38, 0, 112, -74, -38, 0);
    const __m256i cv = _mm256_setr_epi8(-18, -94, 112, 0, -18, -94, 112, 0, -18, -94, 112, 0, -18,
                                        -94, 112, 0, -18, -94, 112, 0, -18, -94, 112, 0, -18, -94,
                                        112, 0, -18, -94, 112, 0);
    // Chroma pairs leave the final pack as 16-bit units (u 0 2 4 6, v 0 2 4 6 | u 1 3 5 7,
    // v 1 3 5 7) of chroma-pair indices; these two steps give u 0..7 | v 0..7.
    const __m256i chromaOrder =
        _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1, 8, 9, 2, 3,
                         10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
    const __m256i bias = _mm256_set1_epi16(128);
    int n = 0;
    for (; n + 32 <= width; n += 32) {
        __m256i a[4], b[4];
        for (int i = 0; i < 4; i++) {
            a[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(top + n * 4) + i);
            b[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bottom + n * 4) + i);
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(yTop + n), Luma32(a));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(yBottom + n), Luma32(b));
        // Column sums of the per-pixel terms, in the interleaved group order; the
        // horizontal add then sums each 2x2 block (each within +-28688, as in SSSE3).
        __m256i u0 = _mm256_add_epi16(ChromaTerms16(a[0], a[1], cu), ChromaTerms16(b[0], b[1], cu));
        __m256i u1 = _mm256_add_epi16(ChromaTerms16(a[2], a[3], cu), ChromaTerms16(b[2], b[3], cu));
        __m256i v0 = _mm256_add_epi16(ChromaTerms16(a[0], a[1], cv), ChromaTerms16(b[0], b[1], cv));
        __m256i v1 = _mm256_add_epi16(ChromaTerms16(a[2], a[3], cv), ChromaTerms16(b[2], b[3], cv));
        __m256i uBlocks = _mm256_add_epi16(_mm256_srai_epi16(_mm256_hadd_epi16(u0, u1), 8), bias);
        __m256i vBlocks = _mm256_add_epi16(_mm256_srai_epi16(_mm256_hadd_epi16(v0, v1), 8), bias);
        __m256i packed = _mm256_packus_epi16(uBlocks, vBlocks);
        packed = _mm256_permute4x64_epi64(packed, 0xD8); // 64-bit quarters 0, 2, 1, 3
        packed = _mm256_shuffle_epi8(packed, chromaOrder);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(u + n / 2), _mm256_castsi256_si128(packed));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(v + n / 2),
                         _mm256_extracti128_si256(packed, 1));
    }
    return n;
}

#else

int ConvertRowPairsAvx2(const uint8_t *, const uint8_t *, int, uint8_t *, uint8_t *, uint8_t *,
                        uint8_t *) {
    return 0;
}

#endif
