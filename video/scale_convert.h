// Scaling and BGRX -> I420 conversion of the pipeline's scale stage.
//
// Source images are 32-bit BGRX (B in the lowest byte), or RGBX where a caller says so
// (redFirst): the channel order is taken care of while converting, without a copy. Pictures are
// I420: a Y plane of width x height bytes and U, V planes of (width / 2) x (height / 2) bytes,
// strides width, width / 2, width / 2. A trailing odd row or column gets Y only.
//
// Two paths produce a picture:
//  - ScaleConvertSsse3: one pass that fits the source into the picture keeping its aspect
//    ratio (black bars), bilinear, split into two row bands over two threads. Only for
//    processors with SSSE3 (ProbeCpuFeatures).
//  - StretchBgrxBilinear into a BGRX scratch picture (stretching, no bars), then
//    ConvertBgrxToI420; portable.
#pragma once

#include <cstdint>

// One band of rows of the fitted picture.
struct ScaleBand {
    const uint8_t *source; // BGRX
    int32_t sourceWidth;
    int32_t sourceHeight;
    int32_t sourceStride; // bytes per source row
    int32_t pictureWidth;
    int32_t pictureHeight;
    uint8_t *planes[3]; // Y, U, V with strides pictureWidth, pictureWidth / 2, pictureWidth / 2
    int32_t firstRow;   // even
    int32_t rowCount;
    int32_t bottomUp; // 1: source rows are stored bottom first
    int32_t redFirst; // 1: source pixels are R, G, B, X in memory (RGBx) instead of BGRx
    // Columns firstColumn .. firstColumn + columnCount - 1 only (firstColumn even), the rest
    // of the rows left as they are, bars included; columnCount 0: whole rows.
    int32_t firstColumn;
    int32_t columnCount;
};

// Pixels of a picture or a source image: columns left .. right - 1, rows top .. bottom - 1.
// Empty when right <= left or bottom <= top.
struct PixelArea {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// Geometry shared by both band implementations.
struct ScaleGeometry {
    float scale;  // max(sourceWidth / pictureWidth, sourceHeight / pictureHeight)
    int32_t step; // scale in 16.16 fixed point
    int32_t left; // even margins that centre the fitted image
    int32_t top;
    int32_t copy; // 1 when source and picture have the same size
};
ScaleGeometry ComputeScaleGeometry(int sourceWidth, int sourceHeight, int pictureWidth,
                                   int pictureHeight);

// Reference implementation of one band, plain C++.
void ScaleBandScalar(const ScaleBand *band);
// The same results with SSSE3; falls back to the reference where SSSE3 is not compiled in.
// The caller must have checked ProbeCpuFeatures.
void ScaleBandSsse3(const ScaleBand *band);

// Fits source into the picture: band A (rows 0 .. half - 1, half = pictureHeight / 2
// rounded down to even) on the process-wide band thread, band B on the calling thread;
// a caller done first takes over the rows of band A not yet started. Returns when both
// are done. Any thread; concurrent callers take turns. Allocates nothing after the first
// frame of a size.
void ScaleConvertSsse3(const uint8_t *source, int sourceWidth, int sourceHeight,
                       uint8_t *const planes[3], int pictureWidth, int pictureHeight, int bottomUp,
                       int redFirst = 0);

bool PixelAreaIsEmpty(const PixelArea &area);
// The smallest area holding both (an empty one adds nothing).
PixelArea PixelAreaUnion(const PixelArea &a, const PixelArea &b);

// The same, for the picture pixels of area only (from PictureAreaOfChange); the rest of
// the planes is left as it is. Null area: the whole picture.
void ScaleConvertSsse3Area(const uint8_t *source, int sourceWidth, int sourceHeight,
                           uint8_t *const planes[3], int pictureWidth, int pictureHeight,
                           int bottomUp, int redFirst, const PixelArea *area);

// The picture pixels of the fitted conversion that read any source pixel of changed
// (source coordinates): even bounds, inside the fitted image, empty when none does.
PixelArea PictureAreaOfChange(int sourceWidth, int sourceHeight, int pictureWidth,
                              int pictureHeight, PixelArea changed);
// The source rows the picture rows of area are made from: [*first, *end), top-down.
void SourceRowsOfPictureArea(int sourceWidth, int sourceHeight, int pictureWidth,
                             int pictureHeight, PixelArea area, int32_t *first, int32_t *end);

// Portable path: stretches the whole source over the whole BGRX destination (stride
// destinationWidth * 4) with bilinear filtering; bottomUp flips the source upright and
// redFirst reads an RGBx source, writing BGRX all the same.
void StretchBgrxBilinear(const uint8_t *source, int sourceWidth, int sourceHeight, int bottomUp,
                         uint8_t *destination, int destinationWidth, int destinationHeight,
                         int redFirst = 0);
// Portable path: BGRX picture (stride width * 4) to the three I420 planes.
void ConvertBgrxToI420(const uint8_t *source, int width, int height, uint8_t *const planes[3]);

// Answers whether the processor has SSSE3; the first call in the process logs the features.
[[nodiscard]] int ProbeCpuFeatures();
