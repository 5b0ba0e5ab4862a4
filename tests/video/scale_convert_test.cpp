// Scale stage: geometry, colour formulas, bars, row order, and the SSSE3 band against the
// plain reference.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_pictures.h"
#include "video/scale_convert.h"

namespace {

bool HaveSsse3() {
    return ProbeCpuFeatures() != 0;
}

ScaleBand WholeBand(const std::vector<uint8_t> &source, int sourceWidth, int sourceHeight,
                    I420Picture *picture, int bottomUp) {
    ScaleBand band{};
    band.source = source.data();
    band.sourceWidth = sourceWidth;
    band.sourceHeight = sourceHeight;
    band.sourceStride = sourceWidth * 4;
    band.pictureWidth = picture->width;
    band.pictureHeight = picture->height;
    for (int i = 0; i < 3; i++)
        band.planes[i] = picture->planes[i];
    band.firstRow = 0;
    band.rowCount = picture->height;
    band.bottomUp = bottomUp;
    return band;
}

enum class Path { Scalar, Ssse3Band, Ssse3TwoBands, Portable };

// Converts with one of the four paths into a picture prefilled with fill.
I420Picture Convert(Path path, const std::vector<uint8_t> &source, int sourceWidth,
                    int sourceHeight, int width, int height, int bottomUp, uint8_t fill = 0x5A,
                    int redFirst = 0) {
    I420Picture picture;
    I420Allocate(&picture, width, height, fill);
    ScaleBand band = WholeBand(source, sourceWidth, sourceHeight, &picture, bottomUp);
    band.redFirst = redFirst;
    switch (path) {
    case Path::Scalar:
        ScaleBandScalar(&band);
        break;
    case Path::Ssse3Band:
        ScaleBandSsse3(&band);
        break;
    case Path::Ssse3TwoBands:
        ScaleConvertSsse3(source.data(), sourceWidth, sourceHeight, picture.planes, width, height,
                          bottomUp, redFirst);
        break;
    case Path::Portable: {
        std::vector<uint8_t> scratch(static_cast<size_t>(width) * height * 4);
        StretchBgrxBilinear(source.data(), sourceWidth, sourceHeight, bottomUp, scratch.data(),
                            width, height, redFirst);
        ConvertBgrxToI420(scratch.data(), width, height, picture.planes);
        break;
    }
    }
    return picture;
}

// Index of the first differing byte of two planes, or -1.
long FirstDifference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    if (a.size() != b.size()) return 0;
    for (size_t i = 0; i < a.size(); i++) {
        if (a[i] != b[i]) return static_cast<long>(i);
    }
    return -1;
}

void ExpectSamePicture(const I420Picture &a, const I420Picture &b, const std::string &what) {
    EXPECT_EQ(FirstDifference(a.y, b.y), -1) << what << " (Y)";
    EXPECT_EQ(FirstDifference(a.u, b.u), -1) << what << " (U)";
    EXPECT_EQ(FirstDifference(a.v, b.v), -1) << what << " (V)";
}

TEST(ScaleGeometry, FitsAndCentresWithEvenMargins) {
    ScaleGeometry same = ComputeScaleGeometry(1920, 1080, 1280, 720);
    EXPECT_FLOAT_EQ(same.scale, 1.5f);
    EXPECT_EQ(same.step, 98304);
    EXPECT_EQ(same.left, 0);
    EXPECT_EQ(same.top, 0);
    EXPECT_EQ(same.copy, 0);

    ScaleGeometry square = ComputeScaleGeometry(1000, 1000, 1280, 720);
    EXPECT_NEAR(square.scale, 1.3889f, 1e-4);
    EXPECT_EQ(square.left, 280);
    EXPECT_EQ(square.top, 0);

    // 3.25 pixels of margin truncate to 3, which is odd and so becomes 4.
    ScaleGeometry odd = ComputeScaleGeometry(1366, 768, 1280, 716);
    EXPECT_EQ(odd.left, 4);
    EXPECT_EQ(odd.top, 0);

    ScaleGeometry wide = ComputeScaleGeometry(1920, 600, 1280, 720);
    EXPECT_EQ(wide.left, 0);
    EXPECT_EQ(wide.top, 160);

    ScaleGeometry copy = ComputeScaleGeometry(1280, 720, 1280, 720);
    EXPECT_EQ(copy.copy, 1);
    EXPECT_EQ(copy.step, 65536);
}

struct Colour {
    uint8_t b, g, r;
    int y, u, v;
};

TEST(ScaleConvert, PrimaryColoursGiveStudioRangeValuesOnEveryPath) {
    const Colour colours[] = {
        {255, 255, 255, 235, 128, 128}, // white
        {0, 0, 0, 16, 128, 128},        // black
        {0, 0, 255, 82, 90, 240},       // red
    };
    // Same size (copy), downscale and upscale.
    const int sizes[][4] = {{64, 32, 64, 32}, {96, 48, 64, 32}, {40, 20, 64, 32}};
    for (const Colour &c : colours) {
        for (const auto &s : sizes) {
            std::vector<uint8_t> source = SolidBgrx(s[0], s[1], c.b, c.g, c.r);
            for (Path path : {Path::Scalar, Path::Ssse3Band, Path::Ssse3TwoBands, Path::Portable}) {
                if (path != Path::Scalar && path != Path::Portable && !HaveSsse3()) continue;
                I420Picture p = Convert(path, source, s[0], s[1], s[2], s[3], 0);
                std::string what = "path " + std::to_string(static_cast<int>(path)) + " from " +
                                   std::to_string(s[0]) + "x" + std::to_string(s[1]);
                for (uint8_t y : p.y)
                    ASSERT_EQ(y, c.y) << what;
                for (size_t i = 0; i < p.u.size(); i++) {
                    ASSERT_EQ(p.u[i], c.u) << what;
                    ASSERT_EQ(p.v[i], c.v) << what;
                }
            }
        }
    }
}

TEST(ScaleConvert, ChromaAveragesTheFourPixelsOfABlock) {
    // One 2x2 block: red, green, blue, white. Fitted path: per-pixel terms >> 2, summed.
    std::vector<uint8_t> source = {0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 255, 255, 255, 0};
    I420Picture fitted = Convert(Path::Scalar, source, 2, 2, 2, 2, 0);
    // U terms: red -2391, green (-74*255+128)>>2 = -4686, blue 7172, white 32.
    EXPECT_EQ(fitted.u[0], ((-2391 - 4686 + 7172 + 32) >> 8) + 128);
    // V terms: red 7172, green (-94*255+128)>>2 = -5961, blue (-18*255+128)>>2 = -1116, white 32.
    EXPECT_EQ(fitted.v[0], ((7172 - 5961 - 1116 + 32) >> 8) + 128);
    EXPECT_EQ(fitted.y[1], ((129 * 255 + 128) >> 8) + 16);
    EXPECT_EQ(fitted.y[2], ((25 * 255 + 128) >> 8) + 16);

    // Portable path: sums first, one rounding.
    I420Picture plain;
    I420Allocate(&plain, 2, 2, 0);
    ConvertBgrxToI420(source.data(), 2, 2, plain.planes);
    int sumB = 510, sumG = 510, sumR = 510;
    EXPECT_EQ(plain.u[0], ((112 * sumB - 74 * sumG - 38 * sumR + 512) >> 10) + 128);
    EXPECT_EQ(plain.v[0], ((112 * sumR - 94 * sumG - 18 * sumB + 512) >> 10) + 128);
}

TEST(ScaleConvert, DownscaleSamplesThePositionsOfTheStep) {
    // Scale 2: every output pixel is exactly the source pixel at twice its coordinates.
    const int w = 32, h = 16;
    std::vector<uint8_t> source(w * h * 4);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            uint8_t *p = &source[(y * w + x) * 4];
            p[0] = p[1] = p[2] = static_cast<uint8_t>(x * 3 + y * 5);
        }
    }
    I420Picture p = Convert(Path::Scalar, source, w, h, w / 2, h / 2, 0);
    for (int y = 0; y < h / 2; y++) {
        for (int x = 0; x < w / 2; x++) {
            int grey = (2 * x) * 3 + (2 * y) * 5;
            ASSERT_EQ(p.y[y * (w / 2) + x], ((220 * grey + 128) >> 8) + 16) << x << "," << y;
        }
    }
    // Scale 1.5: odd output columns fall half-way between two source columns.
    std::vector<uint8_t> stripes(12 * 2 * 4, 0);
    for (int x = 0; x < 12; x++) {
        for (int y = 0; y < 2; y++) {
            uint8_t *px = &stripes[(y * 12 + x) * 4];
            px[0] = px[1] = px[2] = static_cast<uint8_t>(x % 2 ? 200 : 100);
        }
    }
    I420Picture half = Convert(Path::Scalar, stripes, 12, 2, 8, 2, 0);
    // Column 1 samples x = 1.5: (200 * 128 + 100 * 128) >> 8 = 150.
    EXPECT_EQ(half.y[1], ((220 * 150 + 128) >> 8) + 16);
    EXPECT_EQ(half.y[0], ((220 * 100 + 128) >> 8) + 16);
    // Column 2 samples x = 3.0 exactly: source column 3.
    EXPECT_EQ(half.y[2], ((220 * 200 + 128) >> 8) + 16);
}

TEST(ScaleConvert, SquareWindowIn720pGetsBlackSideBars) {
    std::vector<uint8_t> source = SolidBgrx(1000, 1000, 255, 255, 255);
    for (Path path : {Path::Scalar, Path::Ssse3TwoBands}) {
        if (path == Path::Ssse3TwoBands && !HaveSsse3()) continue;
        I420Picture p = Convert(path, source, 1000, 1000, 1280, 720, 0, 0x77);
        for (int y = 0; y < 720; y++) {
            for (int x = 0; x < 1280; x++) {
                bool bar = x < 280 || x >= 1000;
                ASSERT_EQ(p.y[y * 1280 + x], bar ? 0 : 235) << x << "," << y;
            }
        }
        for (int y = 0; y < 360; y++) {
            for (int x = 0; x < 640; x++) {
                ASSERT_EQ(p.u[y * 640 + x], 128) << x << "," << y;
                ASSERT_EQ(p.v[y * 640 + x], 128) << x << "," << y;
            }
        }
    }
}

TEST(ScaleConvert, WideSourceGetsBarsAboveAndBelowInBothBands) {
    std::vector<uint8_t> source = SolidBgrx(1920, 600, 0, 0, 0);
    if (!HaveSsse3()) GTEST_SKIP() << "no SSSE3";
    I420Picture p = Convert(Path::Ssse3TwoBands, source, 1920, 600, 1280, 720, 0, 0x77);
    for (int y = 0; y < 720; y++) {
        bool bar = y < 160 || y >= 560;
        ASSERT_EQ(p.y[y * 1280 + 640], bar ? 0 : 16) << y;
    }
}

TEST(ScaleConvert, NoMarginsMeansEveryByteIsWritten) {
    // 1920x1080 into 1280x720 has no bars, so nothing is cleared and nothing is skipped.
    std::vector<uint8_t> source = SolidBgrx(1920, 1080, 0, 0, 0);
    if (!HaveSsse3()) GTEST_SKIP() << "no SSSE3";
    I420Picture p = Convert(Path::Ssse3TwoBands, source, 1920, 1080, 1280, 720, 0, 0x77);
    for (uint8_t y : p.y)
        ASSERT_EQ(y, 16);
    for (uint8_t u : p.u)
        ASSERT_EQ(u, 128);
}

TEST(ScaleConvert, Ssse3MatchesTheReferenceExactly) {
    if (!HaveSsse3()) GTEST_SKIP() << "no SSSE3";
    // Same size, down, up, bars on either axis, odd sizes, tiny sizes.
    const int sizes[][4] = {
        {64, 48, 64, 48},
        {1920, 1080, 1280, 720},
        {1280, 720, 1920, 1080},
        {1000, 1000, 1280, 720},
        {1920, 600, 1280, 720},
        {1366, 768, 1280, 716},
        {101, 77, 63, 41},
        {63, 41, 101, 77},
        {17, 9, 17, 9},
        {95, 10, 95, 10}, // 16-pixel steps, then 8, then single pixels
        {2, 2, 8, 6},
        {1, 5, 4, 4},
        {333, 3, 18, 10},
        {7, 300, 30, 22},
        {99, 99, 99, 98},
        // Steps of exactly 1.5, with bars and with the last columns at the row end.
        {303, 150, 202, 100},
        {30, 60, 20, 50},
        {30, 9, 20, 6},
        {33, 22, 22, 16},
        {25, 30, 20, 20},
    };
    for (const auto &s : sizes) {
        std::vector<uint8_t> random = RandomBgrx(s[0], s[1], s[0] * 31 + s[1]);
        // Extremes: alternating black and white pixels, and saturated primaries,
        // to push every intermediate to its limits.
        std::vector<uint8_t> extreme(static_cast<size_t>(s[0]) * s[1] * 4);
        for (size_t i = 0; i < extreme.size(); i += 4) {
            size_t pixel = i / 4;
            int kind = static_cast<int>((pixel + pixel / s[0]) % 4);
            extreme[i] = kind == 1 || kind == 3 ? 255 : 0;
            extreme[i + 1] = kind == 2 || kind == 3 ? 255 : 0;
            extreme[i + 2] = kind == 0 || kind == 3 ? 255 : 0;
            extreme[i + 3] = 255;
        }
        for (const auto *source : {&random, &extreme}) {
            for (int bottomUp = 0; bottomUp < 2; bottomUp++) {
                I420Picture reference =
                    Convert(Path::Scalar, *source, s[0], s[1], s[2], s[3], bottomUp);
                I420Picture band =
                    Convert(Path::Ssse3Band, *source, s[0], s[1], s[2], s[3], bottomUp);
                I420Picture two =
                    Convert(Path::Ssse3TwoBands, *source, s[0], s[1], s[2], s[3], bottomUp);
                std::string what = std::to_string(s[0]) + "x" + std::to_string(s[1]) + " -> " +
                                   std::to_string(s[2]) + "x" + std::to_string(s[3]) +
                                   (bottomUp ? " bottom-up" : "") +
                                   (source == &random ? " random" : " extreme");
                ExpectSamePicture(reference, band, what + " one band");
                ExpectSamePicture(reference, two, what + " two bands");
            }
        }
    }
}

// Redoing only the picture pixels a change reaches gives the picture a whole conversion of
// the changed source gives, while reading no source row outside the ones said to be needed
// (a capture refreshes only those): they are the only fresh ones, every other row holds
// stale bytes here.
TEST(ScaleConvert, ConvertingOnlyTheChangedAreaGivesTheWholePicture) {
    if (!HaveSsse3()) GTEST_SKIP() << "no SSSE3";
    const int sizes[][4] = {
        {1920, 1080, 1280, 720}, // the 1.5 step
        {1366, 768, 1280, 720},  // a general step, bars left and right
        {1000, 1000, 1280, 720}, // upscale with side bars
        {640, 360, 640, 360},    // same size
        {1920, 600, 1280, 720},  // bars above and below
        {101, 77, 63, 41},       // odd sizes
    };
    uint32_t seed = 7;
    auto next = [&seed](int range) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<int>((seed >> 8) % static_cast<uint32_t>(range));
    };
    for (const auto &s : sizes) {
        int sw = s[0], sh = s[1], pw = s[2], ph = s[3];
        std::vector<uint8_t> before = ScreenLikeBgrx(sw, sh);
        for (int trial = 0; trial < 12; trial++) {
            // A changed rectangle, sometimes at an edge or one pixel wide.
            PixelArea changed;
            changed.left = trial == 0 ? 0 : next(sw);
            changed.top = trial == 1 ? sh - 1 : next(sh);
            changed.right = trial == 2 ? changed.left + 1 : changed.left + 1 + next(sw / 3 + 1);
            changed.bottom = trial == 0 ? sh : changed.top + 1 + next(sh / 3 + 1);
            if (changed.right > sw) changed.right = sw;
            if (changed.bottom > sh) changed.bottom = sh;
            std::vector<uint8_t> after = before;
            std::vector<uint8_t> noise = RandomBgrx(sw, sh, seed);
            for (int y = changed.top; y < changed.bottom; y++) {
                size_t at = (static_cast<size_t>(y) * sw + changed.left) * 4;
                memcpy(&after[at], &noise[at], static_cast<size_t>(changed.right - changed.left) * 4);
            }
            PixelArea area = PictureAreaOfChange(sw, sh, pw, ph, changed);
            int32_t first = 0, end = 0;
            SourceRowsOfPictureArea(sw, sh, pw, ph, area, &first, &end);
            std::string what = std::to_string(sw) + "x" + std::to_string(sh) + " -> " +
                               std::to_string(pw) + "x" + std::to_string(ph) + " change " +
                               std::to_string(changed.left) + "," + std::to_string(changed.top) +
                               " " + std::to_string(changed.right) + "," +
                               std::to_string(changed.bottom);
            ASSERT_FALSE(area.right <= area.left || area.bottom <= area.top) << what;
            EXPECT_EQ(area.left % 2, 0) << what;
            EXPECT_EQ(area.top % 2, 0) << what;
            EXPECT_LE(first, changed.top) << what;
            EXPECT_GE(end, changed.bottom) << what;
            // What a partial capture leaves in the slot: fresh rows first .. end - 1 only.
            std::vector<uint8_t> slot = RandomBgrx(sw, sh, seed + 1);
            memcpy(&slot[static_cast<size_t>(first) * sw * 4],
                   &after[static_cast<size_t>(first) * sw * 4],
                   static_cast<size_t>(end - first) * sw * 4);

            I420Picture expected = Convert(Path::Scalar, after, sw, sh, pw, ph, 0);
            I420Picture updated = Convert(Path::Ssse3TwoBands, before, sw, sh, pw, ph, 0);
            ScaleConvertSsse3Area(slot.data(), sw, sh, updated.planes, pw, ph, 0, 0, &area);
            ExpectSamePicture(expected, updated, what + " two bands");

            I420Picture reference = Convert(Path::Scalar, before, sw, sh, pw, ph, 0);
            ScaleBand band = WholeBand(slot, sw, sh, &reference, 0);
            band.firstRow = area.top;
            band.rowCount = area.bottom - area.top;
            band.firstColumn = area.left;
            band.columnCount = area.right - area.left;
            ScaleBandScalar(&band);
            ExpectSamePicture(expected, reference, what + " reference");
            if (testing::Test::HasFailure()) return;
        }
    }
}

TEST(ScaleConvert, BottomUpSourcesComeOutUpright) {
    const int sizes[][4] = {{64, 48, 64, 48}, {96, 54, 64, 36}, {50, 50, 64, 36}};
    for (const auto &s : sizes) {
        std::vector<uint8_t> image = ScreenLikeBgrx(s[0], s[1]);
        std::vector<uint8_t> flipped = FlipRows(image, s[0], s[1]);
        for (Path path : {Path::Scalar, Path::Ssse3TwoBands, Path::Portable}) {
            if (path == Path::Ssse3TwoBands && !HaveSsse3()) continue;
            I420Picture upright = Convert(path, image, s[0], s[1], s[2], s[3], 0);
            I420Picture fromFlipped = Convert(path, flipped, s[0], s[1], s[2], s[3], 1);
            ExpectSamePicture(upright, fromFlipped,
                              "path " + std::to_string(static_cast<int>(path)) + " size " +
                                  std::to_string(s[0]));
        }
    }
    // The image must not be symmetric for the comparison to mean anything.
    std::vector<uint8_t> image = ScreenLikeBgrx(64, 48);
    I420Picture wrongWay = Convert(Path::Scalar, image, 64, 48, 64, 48, 1);
    I420Picture upright = Convert(Path::Scalar, image, 64, 48, 64, 48, 0);
    EXPECT_NE(FirstDifference(wrongWay.y, upright.y), -1);
}

TEST(ScaleConvert, RedFirstSourcesGiveThePictureOfTheSameColours) {
    // An RGBx image converts exactly like the BGRx image of the same colours, on every
    // path: copy, fitted bilinear (general and 1.5 steps), bars, odd sizes, bottom-up.
    const int sizes[][4] = {{64, 48, 64, 48},    {1920, 1080, 1280, 720}, {1000, 1000, 1280, 720},
                            {101, 77, 63, 41},   {17, 9, 17, 9},          {95, 10, 95, 10},
                            {303, 150, 202, 100}};
    for (const auto &s : sizes) {
        std::vector<uint8_t> bgrx = RandomBgrx(s[0], s[1], s[0] * 7 + s[1]);
        std::vector<uint8_t> rgbx = bgrx;
        for (size_t i = 0; i < rgbx.size(); i += 4)
            std::swap(rgbx[i], rgbx[i + 2]);
        for (Path path : {Path::Scalar, Path::Ssse3Band, Path::Ssse3TwoBands, Path::Portable}) {
            if (path != Path::Scalar && path != Path::Portable && !HaveSsse3()) continue;
            for (int bottomUp = 0; bottomUp < 2; bottomUp++) {
                I420Picture expected = Convert(path, bgrx, s[0], s[1], s[2], s[3], bottomUp);
                I420Picture got = Convert(path, rgbx, s[0], s[1], s[2], s[3], bottomUp, 0x5A, 1);
                ExpectSamePicture(expected, got,
                                  "path " + std::to_string(static_cast<int>(path)) + " " +
                                      std::to_string(s[0]) + "x" + std::to_string(s[1]) +
                                      (bottomUp ? " bottom-up" : ""));
            }
        }
    }
    // Red read as blue would change the picture: the comparison can fail.
    std::vector<uint8_t> red = SolidBgrx(16, 16, 0, 0, 255);
    I420Picture asBgrx = Convert(Path::Scalar, red, 16, 16, 16, 16, 0);
    I420Picture asRgbx = Convert(Path::Scalar, red, 16, 16, 16, 16, 0, 0x5A, 1);
    EXPECT_EQ(asBgrx.v[0], 240);
    EXPECT_EQ(asRgbx.u[0], 240); // pure blue
}

TEST(ScaleConvert, PortableStretchFillsTheWholePicture) {
    // A left half black, right half white source stays split at the middle when stretched.
    const int w = 40, h = 10;
    std::vector<uint8_t> source(w * h * 4, 0);
    for (int y = 0; y < h; y++) {
        for (int x = w / 2; x < w; x++)
            memset(&source[(y * w + x) * 4], 255, 4);
    }
    std::vector<uint8_t> out(100 * 30 * 4, 0x33);
    StretchBgrxBilinear(source.data(), w, h, 0, out.data(), 100, 30);
    for (int y = 0; y < 30; y++) {
        EXPECT_EQ(out[(y * 100 + 0) * 4], 0);
        EXPECT_EQ(out[(y * 100 + 47) * 4], 0);
        EXPECT_EQ(out[(y * 100 + 52) * 4], 255);
        EXPECT_EQ(out[(y * 100 + 99) * 4], 255);
        // The transition is monotonic.
        for (int x = 1; x < 100; x++) {
            ASSERT_GE(out[(y * 100 + x) * 4], out[(y * 100 + x - 1) * 4]);
        }
    }
}

TEST(ScaleConvert, OddPictureSizesWriteOnlyInsideThePlanes) {
    // The planes are allocated exactly; AddressSanitizer or valgrind catch any overrun,
    // and the trailing column and row still get their luma.
    std::vector<uint8_t> source = SolidBgrx(31, 17, 255, 255, 255);
    for (Path path : {Path::Scalar, Path::Ssse3TwoBands, Path::Portable}) {
        if (path == Path::Ssse3TwoBands && !HaveSsse3()) continue;
        I420Picture p = Convert(path, source, 31, 17, 23, 13, 0);
        EXPECT_EQ(p.y[12 * 23 + 22], 235);
        EXPECT_EQ(p.y[22], 235);
        EXPECT_EQ(p.u[5 * 11 + 10], 128);
    }
}

} // namespace
