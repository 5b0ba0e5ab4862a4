#include "tools/receiver/rx_timecode.h"

#include <cstddef>

namespace {

// Mean luma of the middle half of a cell, or -1 when the cell is outside the picture.
int CellLuma(const uint8_t *luma, int stride, int width, int height, double left, double top,
             double size) {
    int x0 = (int)(left + size / 4), x1 = (int)(left + size * 3 / 4);
    int y0 = (int)(top + size / 4), y1 = (int)(top + size * 3 / 4);
    if (x1 <= x0) x1 = x0 + 1;
    if (y1 <= y0) y1 = y0 + 1;
    if (x0 < 0 || y0 < 0 || x1 > width || y1 > height) return -1;
    uint64_t sum = 0;
    for (int y = y0; y < y1; y++)
        for (int x = x0; x < x1; x++)
            sum += luma[(size_t)y * stride + x];
    return (int)(sum / ((uint64_t)(x1 - x0) * (y1 - y0)));
}

} // namespace

bool ReadTimecode(const uint8_t *luma, int stride, int width, int height, int cellPixels,
                  int screenWidth, uint32_t *code) {
    if (!luma || cellPixels <= 0 || screenWidth <= 0 || width <= 0) return false;
    double size = (double)cellPixels * width / screenWidth;
    if (size < 2) return false;
    uint32_t value = 0;
    for (int bit = 0; bit < kTimecodeBits; bit++) {
        int upper = CellLuma(luma, stride, width, height, bit * size, 0, size);
        int lower = CellLuma(luma, stride, width, height, bit * size, size, size);
        if (upper < 0 || lower < 0) return false;
        // Video-range white and black are 235 and 16: demand most of that distance.
        if (upper - lower > 120) value = (value << 1) | 1;
        else if (lower - upper > 120) value <<= 1;
        else return false;
    }
    *code = value;
    return true;
}

int64_t TimecodeAgeMs(uint32_t code, uint64_t nowMs) {
    uint32_t now = (uint32_t)(nowMs & kTimecodeMask);
    uint32_t age = (now - code) & kTimecodeMask;
    // Ages past half the wheel are codes from the future (or garbage).
    if (age > kTimecodeMask / 2) return -(int64_t)(((code - now) & kTimecodeMask));
    return age;
}
