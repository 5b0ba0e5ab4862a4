// Shared between the plain and the SSSE3 translation units of the scale stage. The SSSE3
// unit is compiled for that instruction set, so it keeps to plain functions declared here
// (no templates that could be merged with copies built for the baseline).
#pragma once

#include <cstddef>
#include <cstdint>

// Per-thread scratch memory, 64-byte aligned, kept for the life of the thread and grown
// only when a larger picture needs more, so a steady stream of frames allocates nothing.
// Returns null when memory is exhausted.
uint8_t *ScaleScratchReserve(size_t bytes);

// Source row of a top-down row index, honouring bottomUp.
static inline const uint8_t *SourceRow(const uint8_t *source, int stride, int height, int bottomUp,
                                       int row) {
    int memoryRow = bottomUp ? height - 1 - row : row;
    return source + static_cast<ptrdiff_t>(memoryRow) * stride;
}

// Bilinear sampling position of output index n: integer part clamped to last, the next
// index clamped likewise, and the 8-bit fraction.
struct SamplePosition {
    int32_t index0;
    int32_t index1;
    int32_t fraction;
};
// Splits a 16.16 position (not negative) into the clamped pair and the fraction.
static inline SamplePosition SampleFromPosition(int64_t position, int32_t last) {
    int64_t whole = position >> 16;
    SamplePosition sample;
    sample.index0 = static_cast<int32_t>(whole < last ? whole : last);
    sample.index1 = static_cast<int32_t>(whole + 1 < last ? whole + 1 : last);
    sample.fraction = static_cast<int32_t>((position >> 8) & 255);
    return sample;
}
static inline SamplePosition SampleAt(int64_t n, int32_t step, int32_t last) {
    return SampleFromPosition(n * step, last);
}

// The rows and columns of the picture a band produces, and the rows it clears.
struct BandExtent {
    int32_t rowBegin; // first produced row (even)
    int32_t rowEnd;   // one past the last produced row
    int32_t colBegin; // left margin (even)
    int32_t colEnd;   // pictureWidth - left
    int32_t clear;    // 1 when the band's rows are cleared first (there are bars)
};
struct ScaleBand;
struct ScaleGeometry;
BandExtent ComputeBandExtent(const ScaleBand *band, const ScaleGeometry *geometry);
// Clears the band's rows to black: Y 0, U and V 128.
void ClearBandRows(const ScaleBand *band);
