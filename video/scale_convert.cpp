// Scale stage: geometry, the plain reference of the fitted conversion, the two-band
// driver with its process-wide band thread, the portable stretch and conversion, and the
// processor probe.
#include "video/scale_convert.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/event.h"
#include "base/log.h"
#include "base/thread.h"
#include "video/scale_convert_internal.h"

// ---------------------------------------------------------------------------------------
// Geometry

ScaleGeometry ComputeScaleGeometry(int sourceWidth, int sourceHeight, int pictureWidth,
                                   int pictureHeight) {
    ScaleGeometry geometry{};
    float scaleX = static_cast<float>(sourceWidth) / static_cast<float>(pictureWidth);
    float scaleY = static_cast<float>(sourceHeight) / static_cast<float>(pictureHeight);
    geometry.scale = scaleX > scaleY ? scaleX : scaleY;
    geometry.step = static_cast<int32_t>(geometry.scale * 65536.0f);
    float left =
        (static_cast<float>(pictureWidth) - static_cast<float>(sourceWidth) / geometry.scale) *
        0.5f;
    float top =
        (static_cast<float>(pictureHeight) - static_cast<float>(sourceHeight) / geometry.scale) *
        0.5f;
    geometry.left = left > 0.0f ? static_cast<int32_t>(left) : 0;
    geometry.top = top > 0.0f ? static_cast<int32_t>(top) : 0;
    // Even margins keep every 2x2 chroma block inside the image or inside a bar.
    if (geometry.left & 1) geometry.left++;
    if (geometry.top & 1) geometry.top++;
    geometry.copy = sourceWidth == pictureWidth && sourceHeight == pictureHeight;
    return geometry;
}

BandExtent ComputeBandExtent(const ScaleBand *band, const ScaleGeometry *geometry) {
    BandExtent extent{};
    int bandEnd = band->firstRow + band->rowCount;
    if (bandEnd > band->pictureHeight) bandEnd = band->pictureHeight;
    extent.rowBegin = band->firstRow > geometry->top ? band->firstRow : geometry->top;
    int imageEnd = band->pictureHeight - geometry->top;
    extent.rowEnd = imageEnd < bandEnd ? imageEnd : bandEnd;
    extent.colBegin = geometry->left;
    extent.colEnd = band->pictureWidth - geometry->left;
    extent.clear = geometry->left != 0 || geometry->top != 0;
    if (band->columnCount > 0) {
        // Part of the rows: the bars and the other columns already hold their pixels.
        if (band->firstColumn > extent.colBegin) extent.colBegin = band->firstColumn;
        int end = band->firstColumn + band->columnCount;
        if (end < extent.colEnd) extent.colEnd = end;
        extent.clear = 0;
    }
    return extent;
}

namespace {

// Picture indexes (from the fitted image's edge) whose bilinear pair touches source indexes
// [s0, s1): index0 is not decreasing, so they form one run, [*j0, *j1) within [0, count).
void PictureRunOfChange(int32_t s0, int32_t s1, int32_t step, int32_t last, int32_t count,
                        int32_t *j0, int32_t *j1) {
    auto index0 = [&](int64_t j) { return SampleAt(j, step, last).index0; };
    // Index j reads index0(j) and index0(j) + 1, so it is touched when
    // s0 - 1 <= index0(j) <= s1 - 1.
    int64_t begin = (static_cast<int64_t>(s0 - 1) << 16) / step;
    if (begin < 0) begin = 0;
    if (begin > count) begin = count;
    while (begin > 0 && index0(begin - 1) >= s0 - 1)
        begin--;
    while (begin < count && index0(begin) < s0 - 1)
        begin++;
    int64_t end = (static_cast<int64_t>(s1) << 16) / step + 1;
    if (end < begin) end = begin;
    if (end > count) end = count;
    while (end > begin && index0(end - 1) > s1 - 1)
        end--;
    while (end < count && index0(end) <= s1 - 1)
        end++;
    *j0 = static_cast<int32_t>(begin);
    *j1 = static_cast<int32_t>(end);
}

} // namespace

bool PixelAreaIsEmpty(const PixelArea &area) {
    return area.right <= area.left || area.bottom <= area.top;
}

PixelArea PixelAreaUnion(const PixelArea &a, const PixelArea &b) {
    if (PixelAreaIsEmpty(a)) return b;
    if (PixelAreaIsEmpty(b)) return a;
    return PixelArea{a.left < b.left ? a.left : b.left, a.top < b.top ? a.top : b.top,
                     a.right > b.right ? a.right : b.right,
                     a.bottom > b.bottom ? a.bottom : b.bottom};
}

PixelArea PictureAreaOfChange(int sourceWidth, int sourceHeight, int pictureWidth,
                              int pictureHeight, PixelArea changed) {
    PixelArea none{0, 0, 0, 0};
    if (sourceWidth <= 0 || sourceHeight <= 0 || pictureWidth <= 0 || pictureHeight <= 0)
        return none;
    if (changed.left < 0) changed.left = 0;
    if (changed.top < 0) changed.top = 0;
    if (changed.right > sourceWidth) changed.right = sourceWidth;
    if (changed.bottom > sourceHeight) changed.bottom = sourceHeight;
    if (changed.right <= changed.left || changed.bottom <= changed.top) return none;
    ScaleGeometry g = ComputeScaleGeometry(sourceWidth, sourceHeight, pictureWidth, pictureHeight);
    int32_t imageRight = pictureWidth - g.left, imageBottom = pictureHeight - g.top;
    PixelArea area;
    if (g.copy) {
        area = changed;
    } else {
        int32_t j0, j1, i0, i1;
        PictureRunOfChange(changed.left, changed.right, g.step, sourceWidth - 1,
                           imageRight - g.left, &j0, &j1);
        PictureRunOfChange(changed.top, changed.bottom, g.step, sourceHeight - 1,
                           imageBottom - g.top, &i0, &i1);
        area = PixelArea{g.left + j0, g.top + i0, g.left + j1, g.top + i1};
    }
    // Whole 2x2 chroma blocks: a block is computed from all four of its pixels.
    area.left &= ~1;
    area.top &= ~1;
    area.right += area.right & 1;
    area.bottom += area.bottom & 1;
    if (area.left < g.left) area.left = g.left;
    if (area.top < g.top) area.top = g.top;
    if (area.right > imageRight) area.right = imageRight;
    if (area.bottom > imageBottom) area.bottom = imageBottom;
    if (area.right <= area.left || area.bottom <= area.top) return none;
    return area;
}

void SourceRowsOfPictureArea(int sourceWidth, int sourceHeight, int pictureWidth,
                             int pictureHeight, PixelArea area, int32_t *first, int32_t *end) {
    *first = *end = 0;
    if (area.bottom <= area.top || area.right <= area.left || sourceHeight <= 0) return;
    ScaleGeometry g = ComputeScaleGeometry(sourceWidth, sourceHeight, pictureWidth, pictureHeight);
    if (g.copy) {
        *first = area.top < 0 ? 0 : area.top;
        *end = area.bottom > sourceHeight ? sourceHeight : area.bottom;
        return;
    }
    int32_t last = sourceHeight - 1;
    int32_t top = area.top - g.top < 0 ? 0 : area.top - g.top;
    *first = SampleAt(top, g.step, last).index0;
    *end = SampleAt(area.bottom - 1 - g.top, g.step, last).index1 + 1;
    if (*end < *first) *end = *first;
}

void ClearBandRows(const ScaleBand *band) {
    int first = band->firstRow;
    int end = first + band->rowCount;
    if (end > band->pictureHeight) end = band->pictureHeight;
    if (first >= end) return;
    int width = band->pictureWidth;
    memset(band->planes[0] + static_cast<size_t>(first) * width, 0,
           static_cast<size_t>(end - first) * width);
    int chromaWidth = width / 2;
    int chromaFirst = first / 2;
    int chromaEnd = end / 2;
    if (chromaEnd > band->pictureHeight / 2) chromaEnd = band->pictureHeight / 2;
    if (chromaFirst >= chromaEnd || chromaWidth == 0) return;
    size_t offset = static_cast<size_t>(chromaFirst) * chromaWidth;
    size_t bytes = static_cast<size_t>(chromaEnd - chromaFirst) * chromaWidth;
    memset(band->planes[1] + offset, 128, bytes);
    memset(band->planes[2] + offset, 128, bytes);
}

// ---------------------------------------------------------------------------------------
// Reference: every output pixel computed on its own from the defining formulas.

namespace {

struct Rgb {
    int b, g, r;
};

Rgb FittedPixel(const ScaleBand *band, const ScaleGeometry *geometry, int row, int column) {
    int stride = band->sourceStride;
    int height = band->sourceHeight;
    int blue = band->redFirst ? 2 : 0;
    if (geometry->copy) {
        const uint8_t *p =
            SourceRow(band->source, stride, height, band->bottomUp, row) + column * 4;
        return Rgb{p[blue], p[1], p[2 - blue]};
    }
    SamplePosition y = SampleAt(row - geometry->top, geometry->step, height - 1);
    SamplePosition x = SampleAt(column - geometry->left, geometry->step, band->sourceWidth - 1);
    const uint8_t *row0 = SourceRow(band->source, stride, height, band->bottomUp, y.index0);
    const uint8_t *row1 = SourceRow(band->source, stride, height, band->bottomUp, y.index1);
    int channel[3];
    for (int c = 0; c < 3; c++) {
        int top =
            (row0[x.index0 * 4 + c] * (256 - x.fraction) + row0[x.index1 * 4 + c] * x.fraction) >>
            8;
        int bottom =
            (row1[x.index0 * 4 + c] * (256 - x.fraction) + row1[x.index1 * 4 + c] * x.fraction) >>
            8;
        channel[c] = (top * (256 - y.fraction) + bottom * y.fraction) >> 8;
    }
    return Rgb{channel[blue], channel[1], channel[2 - blue]};
}

uint8_t LumaOf(Rgb p) {
    return static_cast<uint8_t>(((66 * p.r + 129 * p.g + 25 * p.b + 128) >> 8) + 16);
}

// Chroma terms of the fitted path: each pixel's term is scaled down before the block sum.
int FittedUTerm(Rgb p) {
    return (112 * p.b - 74 * p.g - 38 * p.r + 128) >> 2;
}
int FittedVTerm(Rgb p) {
    return (112 * p.r - 94 * p.g - 18 * p.b + 128) >> 2;
}

} // namespace

void ScaleBandScalar(const ScaleBand *band) {
    ScaleGeometry geometry = ComputeScaleGeometry(band->sourceWidth, band->sourceHeight,
                                                  band->pictureWidth, band->pictureHeight);
    BandExtent extent = ComputeBandExtent(band, &geometry);
    if (extent.clear) ClearBandRows(band);
    if (extent.rowBegin >= extent.rowEnd || extent.colBegin >= extent.colEnd) return;
    int width = band->pictureWidth;
    int chromaWidth = width / 2;
    for (int row = extent.rowBegin; row < extent.rowEnd; row += 2) {
        int rows = row + 1 < extent.rowEnd ? 2 : 1;
        for (int column = extent.colBegin; column < extent.colEnd; column += 2) {
            int columns = column + 1 < extent.colEnd ? 2 : 1;
            int uSum = 0;
            int vSum = 0;
            for (int dy = 0; dy < rows; dy++) {
                for (int dx = 0; dx < columns; dx++) {
                    Rgb p = FittedPixel(band, &geometry, row + dy, column + dx);
                    band->planes[0][static_cast<size_t>(row + dy) * width + column + dx] =
                        LumaOf(p);
                    uSum += FittedUTerm(p);
                    vSum += FittedVTerm(p);
                }
            }
            if (rows == 2 && columns == 2) {
                size_t at = static_cast<size_t>(row / 2) * chromaWidth + column / 2;
                band->planes[1][at] = static_cast<uint8_t>((uSum >> 8) + 128);
                band->planes[2][at] = static_cast<uint8_t>((vSum >> 8) + 128);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// Scratch memory

namespace {

struct ThreadScratch {
    uint8_t *memory = nullptr;
    size_t size = 0;
    ~ThreadScratch() { free(memory); }
};
thread_local ThreadScratch threadScratch;

} // namespace

uint8_t *ScaleScratchReserve(size_t bytes) {
    if (bytes <= threadScratch.size) return threadScratch.memory;
    size_t rounded = (bytes + 63) & ~static_cast<size_t>(63);
    void *memory = aligned_alloc(64, rounded);
    if (memory == nullptr) return nullptr;
    free(threadScratch.memory);
    threadScratch.memory = static_cast<uint8_t *>(memory);
    threadScratch.size = rounded;
    return threadScratch.memory;
}

// ---------------------------------------------------------------------------------------
// Two bands: band A on the process-wide band thread, band B on the caller's.
//
// Band A is cut into chunks of rows that either thread may claim, so that a caller done
// with band B first (the band thread may be waiting for a processor on a busy machine)
// finishes band A itself instead of waiting idle. The output does not depend on who
// converts which chunk.

namespace {

constexpr int kChunkRows = 32;

struct BandWorker {
    std::mutex callLock; // one caller at a time owns the band record and the counters
    Event *start;        // manual reset; the band thread resets it before working
    Event *done;         // manual reset; set when the band thread completes the last chunk
    ScaleBand band;      // band A of the current call
    // Generation in bits 32..63, chunk count in 16..31, next chunk to claim in 0..15. Only a
    // claim of the current generation below its count succeeds, and the caller rewrites
    // band only after every chunk of the previous call is done, so whoever holds a claim
    // reads a stable band; a late-waking band thread never touches a newer call.
    std::atomic<uint64_t> claim;
    std::atomic<int32_t> chunksDone;
    bool started;
};

BandWorker bandWorker;

ScaleBand ChunkOf(const ScaleBand &band, int chunk) {
    ScaleBand part = band;
    part.firstRow = band.firstRow + chunk * kChunkRows;
    int remaining = band.firstRow + band.rowCount - part.firstRow;
    part.rowCount = remaining < kChunkRows ? remaining : kChunkRows;
    return part;
}

// Claims and converts chunks of generation until none is left. Returns true when this
// thread completed the last chunk.
bool ConvertChunks(uint32_t generation) {
    bool completedLast = false;
    for (;;) {
        uint64_t word = bandWorker.claim.load(std::memory_order_acquire);
        if (static_cast<uint32_t>(word >> 32) != generation) return completedLast;
        int count = static_cast<int>((word >> 16) & 0xFFFF);
        int chunk = static_cast<int>(word & 0xFFFF);
        if (chunk >= count) return completedLast;
        if (!bandWorker.claim.compare_exchange_weak(word, word + 1, std::memory_order_acq_rel)) {
            continue;
        }
        ScaleBand part = ChunkOf(bandWorker.band, chunk);
        ScaleBandSsse3(&part);
        int done = bandWorker.chunksDone.fetch_add(1, std::memory_order_acq_rel) + 1;
        completedLast = done == count;
    }
}

void BandThreadMain(void *) {
    for (;;) {
        if (EventWait(bandWorker.start, -1) != 1) continue;
        EventReset(bandWorker.start);
        uint32_t generation =
            static_cast<uint32_t>(bandWorker.claim.load(std::memory_order_acquire) >> 32);
        if (ConvertChunks(generation)) EventSet(bandWorker.done);
    }
}

// Makes the events and the thread on first use. Returns false when that is impossible.
bool StartBandThread() {
    // start is made set: the thread works on the band posted before it existed.
    bandWorker.start = EventCreate(true, true);
    bandWorker.done = EventCreate(true, false);
    if (bandWorker.start == nullptr || bandWorker.done == nullptr) {
        if (bandWorker.start != nullptr) EventClose(bandWorker.start);
        if (bandWorker.done != nullptr) EventClose(bandWorker.done);
        bandWorker.start = bandWorker.done = nullptr;
        return false;
    }
    // The thread lives for the rest of the process.
    static Thread bandThread;
    if (!ThreadStart(&bandThread, "Scale Band", BandThreadMain, nullptr)) {
        EventClose(bandWorker.start);
        EventClose(bandWorker.done);
        bandWorker.start = bandWorker.done = nullptr;
        return false;
    }
    bandWorker.started = true;
    return true;
}

} // namespace

void ScaleConvertSsse3(const uint8_t *source, int sourceWidth, int sourceHeight,
                       uint8_t *const planes[3], int pictureWidth, int pictureHeight, int bottomUp,
                       int redFirst) {
    ScaleConvertSsse3Area(source, sourceWidth, sourceHeight, planes, pictureWidth, pictureHeight,
                          bottomUp, redFirst, nullptr);
}

void ScaleConvertSsse3Area(const uint8_t *source, int sourceWidth, int sourceHeight,
                           uint8_t *const planes[3], int pictureWidth, int pictureHeight,
                           int bottomUp, int redFirst, const PixelArea *area) {
    ScaleBand whole{};
    whole.source = source;
    whole.sourceWidth = sourceWidth;
    whole.sourceHeight = sourceHeight;
    whole.sourceStride = sourceWidth * 4;
    whole.pictureWidth = pictureWidth;
    whole.pictureHeight = pictureHeight;
    whole.planes[0] = planes[0];
    whole.planes[1] = planes[1];
    whole.planes[2] = planes[2];
    whole.bottomUp = bottomUp;
    whole.redFirst = redFirst;
    int rowBegin = 0, rowEnd = pictureHeight;
    if (area != nullptr) {
        if (area->right <= area->left || area->bottom <= area->top) return;
        rowBegin = area->top & ~1;
        rowEnd = area->bottom;
        whole.firstColumn = area->left & ~1;
        whole.columnCount = area->right - whole.firstColumn;
    }
    int half = rowBegin + (((rowEnd - rowBegin) / 2) & ~1);
    ScaleBand bandA = whole;
    bandA.firstRow = rowBegin;
    bandA.rowCount = half - rowBegin;
    ScaleBand bandB = whole;
    bandB.firstRow = half;
    bandB.rowCount = rowEnd - half;

    if (bandA.rowCount < kChunkRows || bandA.rowCount > 0xFFFF * kChunkRows) {
        // A few rows are not worth waking the band thread for; beyond any real picture
        // the chunk count would not fit its field.
        ScaleBandSsse3(&bandA);
        ScaleBandSsse3(&bandB);
        return;
    }
    std::lock_guard<std::mutex> hold(bandWorker.callLock);
    // Every chunk of the previous call is complete, so nobody reads these now.
    bandWorker.band = bandA;
    int chunkCount = (bandA.rowCount + kChunkRows - 1) / kChunkRows;
    bandWorker.chunksDone.store(0, std::memory_order_relaxed);
    uint32_t generation =
        static_cast<uint32_t>(bandWorker.claim.load(std::memory_order_relaxed) >> 32) + 1;
    bandWorker.claim.store((static_cast<uint64_t>(generation) << 32) |
                               (static_cast<uint64_t>(chunkCount) << 16),
                           std::memory_order_release);
    if (!bandWorker.started) {
        if (!StartBandThread()) {
            // No second thread to be had: do both bands here.
            ScaleBandSsse3(&bandB);
            (void)ConvertChunks(generation);
            return;
        }
    } else {
        EventSet(bandWorker.start);
    }
    ScaleBandSsse3(&bandB);
    (void)ConvertChunks(generation);
    // The band thread finishes every chunk it claimed; the bound only guards against a
    // lost wake-up, the count is what ends the wait.
    while (bandWorker.chunksDone.load(std::memory_order_acquire) != chunkCount) {
        (void)EventWait(bandWorker.done, 100);
        EventReset(bandWorker.done);
    }
}

// ---------------------------------------------------------------------------------------
// Portable path

namespace {

// Where one destination column samples the source: byte offsets of its two neighbours and
// the 8-bit fraction. Rebuilt only when the sizes change.
struct StretchColumn {
    int32_t left;
    int32_t right;
    int32_t fraction;
};

struct StretchColumns {
    std::vector<StretchColumn> columns;
    int sourceWidth = 0;
};

thread_local StretchColumns stretchColumns;

// Pixel centres map onto pixel centres; positions are 16.16 fixed point.
SamplePosition StretchSample(int64_t index, int64_t step, int last) {
    int64_t position = (2 * index + 1) * step / 2 - 32768;
    if (position < 0) position = 0;
    return SampleFromPosition(position, last);
}

} // namespace

void StretchBgrxBilinear(const uint8_t *source, int sourceWidth, int sourceHeight, int bottomUp,
                         uint8_t *destination, int destinationWidth, int destinationHeight,
                         int redFirst) {
    if (sourceWidth <= 0 || sourceHeight <= 0 || destinationWidth <= 0 || destinationHeight <= 0) {
        return;
    }
    int stride = sourceWidth * 4;
    // Output channel c reads source channel channelOf[c].
    const int channelOf[3] = {redFirst ? 2 : 0, 1, redFirst ? 0 : 2};
    if (sourceWidth == destinationWidth && sourceHeight == destinationHeight && redFirst) {
        for (int row = 0; row < destinationHeight; row++) {
            const uint8_t *in = SourceRow(source, stride, sourceHeight, bottomUp, row);
            uint8_t *out = destination + static_cast<size_t>(row) * stride;
            for (int column = 0; column < destinationWidth; column++, in += 4, out += 4) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
                out[3] = 0;
            }
        }
        return;
    }
    if (sourceWidth == destinationWidth && sourceHeight == destinationHeight) {
        // Every fraction is 0: the stretch is a copy (X is ignored downstream).
        for (int row = 0; row < destinationHeight; row++) {
            memcpy(destination + static_cast<size_t>(row) * stride,
                   SourceRow(source, stride, sourceHeight, bottomUp, row), stride);
        }
        return;
    }
    int64_t stepX = (static_cast<int64_t>(sourceWidth) << 16) / destinationWidth;
    int64_t stepY = (static_cast<int64_t>(sourceHeight) << 16) / destinationHeight;
    StretchColumns &table = stretchColumns;
    if (table.sourceWidth != sourceWidth ||
        table.columns.size() != static_cast<size_t>(destinationWidth)) {
        table.columns.resize(static_cast<size_t>(destinationWidth));
        for (int column = 0; column < destinationWidth; column++) {
            SamplePosition x = StretchSample(column, stepX, sourceWidth - 1);
            table.columns[column] = StretchColumn{x.index0 * 4, x.index1 * 4, x.fraction};
        }
        table.sourceWidth = sourceWidth;
    }
    const StretchColumn *columns = table.columns.data();
    for (int row = 0; row < destinationHeight; row++) {
        SamplePosition y = StretchSample(row, stepY, sourceHeight - 1);
        const uint8_t *row0 = SourceRow(source, stride, sourceHeight, bottomUp, y.index0);
        const uint8_t *row1 = SourceRow(source, stride, sourceHeight, bottomUp, y.index1);
        int fy = y.fraction;
        uint8_t *out = destination + static_cast<size_t>(row) * destinationWidth * 4;
        for (int column = 0; column < destinationWidth; column++, out += 4) {
            const StretchColumn &x = columns[column];
            int w1 = x.fraction, w0 = 256 - w1;
            for (int c = 0; c < 3; c++) {
                int k = channelOf[c];
                int top = (row0[x.left + k] * w0 + row0[x.right + k] * w1) >> 8;
                int bottom = (row1[x.left + k] * w0 + row1[x.right + k] * w1) >> 8;
                out[c] = static_cast<uint8_t>((top * (256 - fy) + bottom * fy) >> 8);
            }
            out[3] = 0;
        }
    }
}

namespace {

inline uint8_t LumaAt(const uint8_t *p) {
    return static_cast<uint8_t>(((66 * p[2] + 129 * p[1] + 25 * p[0] + 128) >> 8) + 16);
}

// One 2x2 block: four lumas and the chroma of the block sums.
inline void ConvertBlock(const uint8_t *top, const uint8_t *bottom, uint8_t *yTop, uint8_t *yBottom,
                         uint8_t *u, uint8_t *v) {
    yTop[0] = LumaAt(top);
    yTop[1] = LumaAt(top + 4);
    yBottom[0] = LumaAt(bottom);
    yBottom[1] = LumaAt(bottom + 4);
    int sumB = top[0] + top[4] + bottom[0] + bottom[4];
    int sumG = top[1] + top[5] + bottom[1] + bottom[5];
    int sumR = top[2] + top[6] + bottom[2] + bottom[6];
    *u = static_cast<uint8_t>(((112 * sumB - 74 * sumG - 38 * sumR + 512) >> 10) + 128);
    *v = static_cast<uint8_t>(((112 * sumR - 94 * sumG - 18 * sumB + 512) >> 10) + 128);
}

} // namespace

void ConvertBgrxToI420(const uint8_t *source, int width, int height, uint8_t *const planes[3]) {
    int chromaWidth = width / 2;
    size_t stride = static_cast<size_t>(width) * 4;
    int row = 0;
    for (; row + 1 < height; row += 2) {
        const uint8_t *top = source + row * stride;
        const uint8_t *bottom = top + stride;
        uint8_t *yTop = planes[0] + static_cast<size_t>(row) * width;
        uint8_t *yBottom = yTop + width;
        uint8_t *u = planes[1] + static_cast<size_t>(row / 2) * chromaWidth;
        uint8_t *v = planes[2] + static_cast<size_t>(row / 2) * chromaWidth;
        for (int block = 0; block < chromaWidth; block++) {
            ConvertBlock(top + block * 8, bottom + block * 8, yTop + block * 2, yBottom + block * 2,
                         u + block, v + block);
        }
        // An odd last column has no chroma of its own.
        if (width & 1) {
            yTop[width - 1] = LumaAt(top + (width - 1) * 4);
            yBottom[width - 1] = LumaAt(bottom + (width - 1) * 4);
        }
    }
    if (row < height) {
        const uint8_t *last = source + row * stride;
        for (int column = 0; column < width; column++) {
            planes[0][static_cast<size_t>(row) * width + column] = LumaAt(last + column * 4);
        }
    }
}

// ---------------------------------------------------------------------------------------
// Processor features

int ProbeCpuFeatures() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    int mmx = __builtin_cpu_supports("mmx") ? 1 : 0;
    int sse = __builtin_cpu_supports("sse") ? 1 : 0;
    int sse2 = __builtin_cpu_supports("sse2") ? 1 : 0;
    int sse3 = __builtin_cpu_supports("sse3") ? 1 : 0;
    int ssse3 = __builtin_cpu_supports("ssse3") ? 1 : 0;
    int sse41 = __builtin_cpu_supports("sse4.1") ? 1 : 0;
    int sse42 = __builtin_cpu_supports("sse4.2") ? 1 : 0;
#else
    int mmx = 0, sse = 0, sse2 = 0, sse3 = 0, ssse3 = 0, sse41 = 0, sse42 = 0;
#endif
    static std::once_flag logged;
    std::call_once(logged, [&] {
        DebugLog(2,
                 "CPU Features: MMX %i, SSE %i, SSE2 %i, SSE3 %i, SSSE3 %i, SSE41 %i, SSE42 %i\n",
                 mmx, sse, sse2, sse3, ssse3, sse41, sse42);
    });
    return ssse3;
}
