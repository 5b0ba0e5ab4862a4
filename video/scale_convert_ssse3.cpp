// SSSE3 fitted scale and conversion of one band. Produces exactly the reference's bytes:
// the same integer formulas, evaluated in 16-bit lanes where every intermediate is shown
// below to stay in range.
//
// Bilinear: each source row a picture row needs is first filtered horizontally into an
// 8-bit row (kept in a small per-thread cache, since neighbouring picture rows share
// source rows), then two such rows are blended vertically, then each pair of picture rows
// is converted to Y, U and V.
#include "video/scale_convert.h"
#include "video/scale_convert_internal.h"

#if defined(__SSSE3__)

#include <tmmintrin.h>

#include <cstring>

namespace {

// Per-column sampling of the band's image columns. For the last source column the pair
// (x0, x0 + 1) would read past the row, so it is taken as (last - 1, last) with weights
// (0, 256), which gives the same value.
struct ColumnTable {
    int32_t *offsets; // byte offset of the left pixel of the pair, per image column
    int16_t *weight0; // per image column
    int16_t *weight1;
    __m128i *pair0; // weight0 of columns 2j, 2j + 1, each repeated over 4 lanes
    __m128i *pair1;
};

struct ColumnTableKey {
    const uint8_t *memory;
    int32_t first;
    int32_t columns;
    int32_t step;
    int32_t sourceWidth;
};

inline size_t RoundUp64(size_t bytes) {
    return (bytes + 63) & ~static_cast<size_t>(63);
}

// Image columns first .. first + columns - 1.
void BuildColumnTable(ColumnTable *table, int first, int columns, int32_t step, int sourceWidth) {
    int last = sourceWidth - 1;
    for (int n = 0; n < columns; n++) {
        SamplePosition x = SampleAt(first + n, step, last);
        int base = x.index0;
        int w0 = 256 - x.fraction;
        int w1 = x.fraction;
        if (x.index0 == last) {
            base = last - 1;
            w0 = 0;
            w1 = 256;
        }
        table->offsets[n] = base * 4;
        table->weight0[n] = static_cast<int16_t>(w0);
        table->weight1[n] = static_cast<int16_t>(w1);
    }
    for (int j = 0; j < columns / 2; j++) {
        int16_t a0 = table->weight0[2 * j], b0 = table->weight0[2 * j + 1];
        int16_t a1 = table->weight1[2 * j], b1 = table->weight1[2 * j + 1];
        table->pair0[j] = _mm_setr_epi16(a0, a0, a0, a0, b0, b0, b0, b0);
        table->pair1[j] = _mm_setr_epi16(a1, a1, a1, a1, b1, b1, b1, b1);
    }
}

// Two 8-byte pixel pairs into one register.
inline __m128i LoadPairs(const uint8_t *low, const uint8_t *high) {
    __m128d lowHalf = _mm_castsi128_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(low)));
    return _mm_castpd_si128(_mm_loadh_pd(lowHalf, reinterpret_cast<const double *>(high)));
}

// One source row filtered horizontally into columns BGRX pixels.
// p0 * w0 + p1 * w1 <= 255 * 256 fits an unsigned 16-bit lane.
void HorizontalRow(const uint8_t *source, const ColumnTable *table, int columns, uint8_t *out) {
    const __m128i left = _mm_setr_epi8(0, -1, 1, -1, 2, -1, 3, -1, 8, -1, 9, -1, 10, -1, 11, -1);
    const __m128i right = _mm_setr_epi8(4, -1, 5, -1, 6, -1, 7, -1, 12, -1, 13, -1, 14, -1, 15, -1);
    int n = 0;
    for (; n + 4 <= columns; n += 4) {
        const int32_t *offset = table->offsets + n;
        __m128i q0 = LoadPairs(source + offset[0], source + offset[1]);
        __m128i q1 = LoadPairs(source + offset[2], source + offset[3]);
        __m128i r0 =
            _mm_add_epi16(_mm_mullo_epi16(_mm_shuffle_epi8(q0, left), table->pair0[n / 2]),
                          _mm_mullo_epi16(_mm_shuffle_epi8(q0, right), table->pair1[n / 2]));
        __m128i r1 =
            _mm_add_epi16(_mm_mullo_epi16(_mm_shuffle_epi8(q1, left), table->pair0[n / 2 + 1]),
                          _mm_mullo_epi16(_mm_shuffle_epi8(q1, right), table->pair1[n / 2 + 1]));
        r0 = _mm_srli_epi16(r0, 8);
        r1 = _mm_srli_epi16(r1, 8);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + n * 4), _mm_packus_epi16(r0, r1));
    }
    for (; n < columns; n++) {
        const uint8_t *p = source + table->offsets[n];
        int w0 = table->weight0[n], w1 = table->weight1[n];
        for (int c = 0; c < 4; c++) {
            out[n * 4 + c] = static_cast<uint8_t>((p[c] * w0 + p[4 + c] * w1) >> 8);
        }
    }
}

// The same filter for a step of exactly 1.5 (1920 -> 1280, 2880 -> 1920): even output
// columns 2j fall on source column 3j (fraction 0), odd ones half way between 3j + 1 and
// 3j + 2 (fraction 128), so each output pixel is a source pixel or the truncated average of
// two. Columns whose six-pixel load would pass the row end, if any, use the table. The
// run starts at image column first, which is even, so the pattern holds from its start.
constexpr int32_t kStepThreeHalves = 98304;

void HorizontalRowThreeHalves(const uint8_t *source, int sourceWidth, const ColumnTable *table,
                              int first, int columns, uint8_t *out) {
    // x = [p0 p1 p3 p4] and y = [p0 p2 p3 p5]: their truncated average is
    // [p0, (p1 + p2) >> 1, p3, (p4 + p5) >> 1].
    const __m128i xFromA = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 12, 13, 14, 15, -1, -1, -1, -1);
    const __m128i xFromB =
        _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 2, 3);
    const __m128i yFromA = _mm_setr_epi8(0, 1, 2, 3, 8, 9, 10, 11, 12, 13, 14, 15, -1, -1, -1, -1);
    const __m128i yFromB =
        _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 4, 5, 6, 7);
    const __m128i one = _mm_set1_epi8(1);
    int n = 0;
    // Group n reads source pixels 1.5 (first + n) .. 1.5 (first + n) + 5.
    for (; n + 4 <= columns && ((first + n) / 2) * 3 + 6 <= sourceWidth; n += 4) {
        const uint8_t *p = source + static_cast<size_t>(((first + n) / 2) * 3) * 4;
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + 16));
        __m128i x = _mm_or_si128(_mm_shuffle_epi8(a, xFromA), _mm_shuffle_epi8(b, xFromB));
        __m128i y = _mm_or_si128(_mm_shuffle_epi8(a, yFromA), _mm_shuffle_epi8(b, yFromB));
        __m128i floor = _mm_sub_epi8(_mm_avg_epu8(x, y), _mm_and_si128(_mm_xor_si128(x, y), one));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + n * 4), floor);
    }
    for (; n < columns; n++) {
        const uint8_t *p = source + table->offsets[n];
        int w0 = table->weight0[n], w1 = table->weight1[n];
        for (int c = 0; c < 4; c++) {
            out[n * 4 + c] = static_cast<uint8_t>((p[c] * w0 + p[4 + c] * w1) >> 8);
        }
    }
}

// Vertical blend of two filtered rows. Works in whole 16-byte steps; the rows have slack.
void VerticalRow(const uint8_t *top, const uint8_t *bottom, int fraction, uint8_t *out, int bytes) {
    if (fraction == 128) {
        // Half way, as every other row of a 1.5 downscale: (a + b) >> 1 is the rounded-up
        // byte average minus the carry bit the rounding added.
        const __m128i one = _mm_set1_epi8(1);
        for (int i = 0; i < bytes; i += 16) {
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(top + i));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bottom + i));
            __m128i floor =
                _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), floor);
        }
        return;
    }
    const __m128i zero = _mm_setzero_si128();
    const __m128i w0 = _mm_set1_epi16(static_cast<int16_t>(256 - fraction));
    const __m128i w1 = _mm_set1_epi16(static_cast<int16_t>(fraction));
    for (int i = 0; i < bytes; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(top + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bottom + i));
        __m128i lo = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(a, zero), w0),
                                   _mm_mullo_epi16(_mm_unpacklo_epi8(b, zero), w1));
        __m128i hi = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(a, zero), w0),
                                   _mm_mullo_epi16(_mm_unpackhi_epi8(b, zero), w1));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i),
                         _mm_packus_epi16(_mm_srli_epi16(lo, 8), _mm_srli_epi16(hi, 8)));
    }
}

// b is the byte index of blue in a pixel (0 for BGRx, 2 for RGBx); red is at 2 - b.
inline int ScalarLuma(const uint8_t *p, int b) {
    return ((66 * p[2 - b] + 129 * p[1] + 25 * p[b] + 128) >> 8) + 16;
}
inline int ScalarUTerm(const uint8_t *p, int b) {
    return (112 * p[b] - 74 * p[1] - 38 * p[2 - b] + 128) >> 2;
}
inline int ScalarVTerm(const uint8_t *p, int b) {
    return (112 * p[2 - b] - 94 * p[1] - 18 * p[b] + 128) >> 2;
}

// Luma of 8 pixels (two vectors of 4) as 16-bit lanes. 129 does not fit a signed byte, so
// X is replaced by a second copy of G and G's weight is split: 25 B + 67 G <= 23460 and
// 66 R + 62 G <= 32640 keep pmaddubsw unsaturated; the full sum 66 R + 129 G + 25 B + 128
// <= 56228 fits an unsigned lane, and phaddw wraps, so it is exact.
// bgrg gathers B, G, R, G of each pixel whatever the memory order.
inline __m128i Luma8(__m128i p0, __m128i p1, __m128i bgrg) {
    const __m128i c = _mm_setr_epi8(25, 67, 66, 62, 25, 67, 66, 62, 25, 67, 66, 62, 25, 67, 66, 62);
    __m128i m0 = _mm_maddubs_epi16(_mm_shuffle_epi8(p0, bgrg), c);
    __m128i m1 = _mm_maddubs_epi16(_mm_shuffle_epi8(p1, bgrg), c);
    // + 16 after the shift is + 4096 before it; 56228 + 4096 still fits the lane.
    __m128i sum = _mm_add_epi16(_mm_hadd_epi16(m0, m1), _mm_set1_epi16(128 + 4096));
    return _mm_srli_epi16(sum, 8);
}

// Per-pixel chroma terms ((c . BGR + 128) >> 2) of 8 pixels. Each pair sum of pmaddubsw
// stays within +-28560, so nothing saturates.
inline __m128i ChromaTerms8(__m128i p0, __m128i p1, __m128i coefficients) {
    __m128i sum =
        _mm_hadd_epi16(_mm_maddubs_epi16(p0, coefficients), _mm_maddubs_epi16(p1, coefficients));
    return _mm_srai_epi16(_mm_add_epi16(sum, _mm_set1_epi16(128)), 2);
}

// Converts one or two BGRX (RGBX when redFirst) rows of width pixels. bottom null: Y of
// the top row only. The channel order only changes the gather and the coefficients.
void ConvertRows(const uint8_t *top, const uint8_t *bottom, int width, uint8_t *yTop,
                 uint8_t *yBottom, uint8_t *u, uint8_t *v, int redFirst) {
    const int b = redFirst ? 2 : 0;
    const int8_t cb = 112, cr = -38, vb = -18, vr = 112;
    const __m128i cu =
        redFirst ? _mm_setr_epi8(cr, -74, cb, 0, cr, -74, cb, 0, cr, -74, cb, 0, cr, -74, cb, 0)
                 : _mm_setr_epi8(cb, -74, cr, 0, cb, -74, cr, 0, cb, -74, cr, 0, cb, -74, cr, 0);
    const __m128i cv =
        redFirst ? _mm_setr_epi8(vr, -94, vb, 0, vr, -94, vb, 0, vr, -94, vb, 0, vr, -94, vb, 0)
                 : _mm_setr_epi8(vb, -94, vr, 0, vb, -94, vr, 0, vb, -94, vr, 0, vb, -94, vr, 0);
    const __m128i bgrg = redFirst
                             ? _mm_setr_epi8(2, 1, 0, 1, 6, 5, 4, 5, 10, 9, 8, 9, 14, 13, 12, 13)
                             : _mm_setr_epi8(0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13);
    int n = 0;
    if (bottom != nullptr) {
        // 16 pixels of each row per step: whole 16-byte luma stores, 8-byte chroma stores.
        for (; n + 16 <= width; n += 16) {
            const __m128i *a = reinterpret_cast<const __m128i *>(top + n * 4);
            const __m128i *b = reinterpret_cast<const __m128i *>(bottom + n * 4);
            __m128i a0 = _mm_loadu_si128(a), a1 = _mm_loadu_si128(a + 1);
            __m128i a2 = _mm_loadu_si128(a + 2), a3 = _mm_loadu_si128(a + 3);
            __m128i b0 = _mm_loadu_si128(b), b1 = _mm_loadu_si128(b + 1);
            __m128i b2 = _mm_loadu_si128(b + 2), b3 = _mm_loadu_si128(b + 3);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(yTop + n),
                             _mm_packus_epi16(Luma8(a0, a1, bgrg), Luma8(a2, a3, bgrg)));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(yBottom + n),
                             _mm_packus_epi16(Luma8(b0, b1, bgrg), Luma8(b2, b3, bgrg)));
            __m128i u0 = _mm_add_epi16(ChromaTerms8(a0, a1, cu), ChromaTerms8(b0, b1, cu));
            __m128i u1 = _mm_add_epi16(ChromaTerms8(a2, a3, cu), ChromaTerms8(b2, b3, cu));
            __m128i v0 = _mm_add_epi16(ChromaTerms8(a0, a1, cv), ChromaTerms8(b0, b1, cv));
            __m128i v1 = _mm_add_epi16(ChromaTerms8(a2, a3, cv), ChromaTerms8(b2, b3, cv));
            const __m128i bias = _mm_set1_epi16(128);
            __m128i uBlocks = _mm_add_epi16(_mm_srai_epi16(_mm_hadd_epi16(u0, u1), 8), bias);
            __m128i vBlocks = _mm_add_epi16(_mm_srai_epi16(_mm_hadd_epi16(v0, v1), 8), bias);
            __m128i packed = _mm_packus_epi16(uBlocks, vBlocks);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(u + n / 2), packed);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(v + n / 2), _mm_srli_si128(packed, 8));
        }
        for (; n + 8 <= width; n += 8) {
            __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(top + n * 4));
            __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(top + n * 4 + 16));
            __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bottom + n * 4));
            __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bottom + n * 4 + 16));
            __m128i luma = _mm_packus_epi16(Luma8(a0, a1, bgrg), Luma8(b0, b1, bgrg));
            _mm_storel_epi64(reinterpret_cast<__m128i *>(yTop + n), luma);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(yBottom + n), _mm_srli_si128(luma, 8));
            // Column sums of the terms, then block sums (each within +-28688).
            __m128i uColumns = _mm_add_epi16(ChromaTerms8(a0, a1, cu), ChromaTerms8(b0, b1, cu));
            __m128i vColumns = _mm_add_epi16(ChromaTerms8(a0, a1, cv), ChromaTerms8(b0, b1, cv));
            __m128i blocks = _mm_hadd_epi16(uColumns, vColumns);
            blocks = _mm_add_epi16(_mm_srai_epi16(blocks, 8), _mm_set1_epi16(128));
            __m128i packed = _mm_packus_epi16(blocks, blocks);
            int32_t uBytes = _mm_cvtsi128_si32(packed);
            int32_t vBytes = _mm_cvtsi128_si32(_mm_srli_si128(packed, 4));
            memcpy(u + n / 2, &uBytes, 4);
            memcpy(v + n / 2, &vBytes, 4);
        }
    } else {
        for (; n + 8 <= width; n += 8) {
            __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(top + n * 4));
            __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(top + n * 4 + 16));
            __m128i luma = Luma8(a0, a1, bgrg);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(yTop + n), _mm_packus_epi16(luma, luma));
        }
    }
    for (; n < width; n += 2) {
        int pair = n + 1 < width;
        const uint8_t *a = top + n * 4;
        yTop[n] = static_cast<uint8_t>(ScalarLuma(a, b));
        if (pair) yTop[n + 1] = static_cast<uint8_t>(ScalarLuma(a + 4, b));
        if (bottom == nullptr) continue;
        const uint8_t *d = bottom + n * 4;
        yBottom[n] = static_cast<uint8_t>(ScalarLuma(d, b));
        if (!pair) continue;
        yBottom[n + 1] = static_cast<uint8_t>(ScalarLuma(d + 4, b));
        int uSum =
            ScalarUTerm(a, b) + ScalarUTerm(a + 4, b) + ScalarUTerm(d, b) + ScalarUTerm(d + 4, b);
        int vSum =
            ScalarVTerm(a, b) + ScalarVTerm(a + 4, b) + ScalarVTerm(d, b) + ScalarVTerm(d + 4, b);
        u[n / 2] = static_cast<uint8_t>((uSum >> 8) + 128);
        v[n / 2] = static_cast<uint8_t>((vSum >> 8) + 128);
    }
}

struct RowPlanes {
    uint8_t *yTop;
    uint8_t *yBottom;
    uint8_t *u;
    uint8_t *v;
};

// Plane positions of a row pair starting at (row, column). Only pointers that lie inside
// their planes are formed: the bottom row only for a pair, chroma only for a pair of rows
// in a picture that has chroma.
RowPlanes PlanesAt(const ScaleBand *band, int row, int column, bool pair) {
    int width = band->pictureWidth;
    int chromaWidth = width / 2;
    RowPlanes planes{};
    planes.yTop = band->planes[0] + static_cast<size_t>(row) * width + column;
    if (!pair) return planes;
    planes.yBottom = planes.yTop + width;
    if (chromaWidth == 0) return planes;
    size_t chroma = static_cast<size_t>(row / 2) * chromaWidth + column / 2;
    planes.u = band->planes[1] + chroma;
    planes.v = band->planes[2] + chroma;
    return planes;
}

void CopyBand(const ScaleBand *band, const BandExtent *extent) {
    for (int row = extent->rowBegin; row < extent->rowEnd; row += 2) {
        bool pair = row + 1 < extent->rowEnd;
        const uint8_t *top =
            SourceRow(band->source, band->sourceStride, band->sourceHeight, band->bottomUp, row);
        const uint8_t *bottom = pair ? SourceRow(band->source, band->sourceStride,
                                                 band->sourceHeight, band->bottomUp, row + 1)
                                     : nullptr;
        RowPlanes planes = PlanesAt(band, row, extent->colBegin, pair);
        size_t skip = static_cast<size_t>(extent->colBegin) * 4;
        ConvertRows(top + skip, bottom ? bottom + skip : nullptr,
                    extent->colEnd - extent->colBegin, planes.yTop, planes.yBottom, planes.u,
                    planes.v, band->redFirst);
    }
}

// Horizontally filtered source rows, four slots: one picture row pair needs at most four.
struct RowCache {
    int32_t key[4];
    uint8_t *row[4];
};

// Makes sure the rows in need[0..count) are cached and returns their slots in slot[].
void FillCache(RowCache *cache, const int *need, int count, int *slot, const ScaleBand *band,
               const ColumnTable *table, int first, int columns, int32_t step) {
    bool used[4] = {false, false, false, false};
    for (int i = 0; i < count; i++) {
        slot[i] = -1;
        for (int s = 0; s < 4; s++) {
            if (cache->key[s] == need[i]) {
                slot[i] = s;
                used[s] = true;
            }
        }
    }
    for (int i = 0; i < count; i++) {
        if (slot[i] >= 0) continue;
        int s = 0;
        while (used[s])
            s++;
        used[s] = true;
        slot[i] = s;
        cache->key[s] = need[i];
        const uint8_t *source = SourceRow(band->source, band->sourceStride, band->sourceHeight,
                                          band->bottomUp, need[i]);
        if (step == kStepThreeHalves) {
            HorizontalRowThreeHalves(source, band->sourceWidth, table, first, columns,
                                     cache->row[s]);
        } else {
            HorizontalRow(source, table, columns, cache->row[s]);
        }
    }
}

void BilinearBand(const ScaleBand *band, const ScaleGeometry *geometry, const BandExtent *extent) {
    int first = extent->colBegin - geometry->left;
    int columns = extent->colEnd - extent->colBegin;
    size_t rowBytes = RoundUp64(static_cast<size_t>(columns) * 4 + 16);
    size_t offsetBytes = RoundUp64(static_cast<size_t>(columns) * 4);
    size_t weightBytes = RoundUp64(static_cast<size_t>(columns) * 2);
    size_t pairBytes = RoundUp64(static_cast<size_t>(columns / 2 + 1) * 16);
    size_t total = offsetBytes + 2 * weightBytes + 2 * pairBytes + 6 * rowBytes;
    uint8_t *scratch = ScaleScratchReserve(total);
    if (scratch == nullptr) {
        ScaleBandScalar(band);
        return;
    }
    ColumnTable table;
    uint8_t *p = scratch;
    table.offsets = reinterpret_cast<int32_t *>(p);
    p += offsetBytes;
    table.weight0 = reinterpret_cast<int16_t *>(p);
    p += weightBytes;
    table.weight1 = reinterpret_cast<int16_t *>(p);
    p += weightBytes;
    table.pair0 = reinterpret_cast<__m128i *>(p);
    p += pairBytes;
    table.pair1 = reinterpret_cast<__m128i *>(p);
    p += pairBytes;
    RowCache cache;
    for (int s = 0; s < 4; s++) {
        cache.key[s] = -1;
        cache.row[s] = p;
        p += rowBytes;
    }
    uint8_t *blended[2] = {p, p + rowBytes};
    // Consecutive calls (chunks, frames) mostly share the table; rebuild it only on change.
    static thread_local ColumnTableKey built;
    ColumnTableKey key{scratch, first, columns, geometry->step, band->sourceWidth};
    if (built.memory != key.memory || built.first != key.first || built.columns != key.columns ||
        built.step != key.step || built.sourceWidth != key.sourceWidth) {
        BuildColumnTable(&table, first, columns, geometry->step, band->sourceWidth);
        built = key;
    }

    int lastRow = band->sourceHeight - 1;
    int blendBytes = columns * 4;
    for (int row = extent->rowBegin; row < extent->rowEnd; row += 2) {
        bool pair = row + 1 < extent->rowEnd;
        SamplePosition y[2];
        y[0] = SampleAt(row - geometry->top, geometry->step, lastRow);
        y[1] = SampleAt(row + 1 - geometry->top, geometry->step, lastRow);
        int need[4];
        int count = 0;
        int index[2][2];
        for (int r = 0; r < (pair ? 2 : 1); r++) {
            int wanted[2] = {y[r].index0, y[r].index1};
            for (int k = 0; k < 2; k++) {
                int found = -1;
                for (int i = 0; i < count; i++) {
                    if (need[i] == wanted[k]) found = i;
                }
                if (found < 0) {
                    found = count;
                    need[count++] = wanted[k];
                }
                index[r][k] = found;
            }
        }
        int slot[4];
        FillCache(&cache, need, count, slot, band, &table, first, columns, geometry->step);
        const uint8_t *rows[2] = {nullptr, nullptr};
        for (int r = 0; r < (pair ? 2 : 1); r++) {
            const uint8_t *top = cache.row[slot[index[r][0]]];
            const uint8_t *bottom = cache.row[slot[index[r][1]]];
            // A zero fraction or equal rows leave the filtered row as it is.
            if (y[r].fraction == 0 || top == bottom) {
                rows[r] = top;
            } else {
                VerticalRow(top, bottom, y[r].fraction, blended[r], blendBytes);
                rows[r] = blended[r];
            }
        }
        RowPlanes planes = PlanesAt(band, row, extent->colBegin, pair);
        ConvertRows(rows[0], rows[1], columns, planes.yTop, planes.yBottom, planes.u, planes.v,
                    band->redFirst);
    }
}

} // namespace

void ScaleBandSsse3(const ScaleBand *band) {
    ScaleGeometry geometry = ComputeScaleGeometry(band->sourceWidth, band->sourceHeight,
                                                  band->pictureWidth, band->pictureHeight);
    BandExtent extent = ComputeBandExtent(band, &geometry);
    if (extent.clear) ClearBandRows(band);
    if (extent.rowBegin >= extent.rowEnd || extent.colBegin >= extent.colEnd) return;
    if (geometry.copy) {
        CopyBand(band, &extent);
    } else if (band->sourceWidth < 2) {
        ScaleBandScalar(band); // a one-column source has no pixel pairs to load
    } else {
        BilinearBand(band, &geometry, &extent);
    }
}

#else

void ScaleBandSsse3(const ScaleBand *band) {
    ScaleBandScalar(band);
}

#endif
