#include "test_pictures.h"

#include <cmath>
#include <cstring>

void I420Allocate(I420Picture *picture, int width, int height, uint8_t fill) {
    picture->width = width;
    picture->height = height;
    picture->y.assign(static_cast<size_t>(width) * height, fill);
    picture->u.assign(static_cast<size_t>(width / 2) * (height / 2), fill);
    picture->v.assign(static_cast<size_t>(width / 2) * (height / 2), fill);
    picture->planes[0] = picture->y.data();
    picture->planes[1] = picture->u.data();
    picture->planes[2] = picture->v.data();
}

std::vector<uint8_t> SolidBgrx(int width, int height, uint8_t b, uint8_t g, uint8_t r) {
    std::vector<uint8_t> out(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < out.size(); i += 4) {
        out[i] = b;
        out[i + 1] = g;
        out[i + 2] = r;
        out[i + 3] = 0xFF;
    }
    return out;
}

std::vector<uint8_t> RandomBgrx(int width, int height, uint32_t seed) {
    std::vector<uint8_t> out(static_cast<size_t>(width) * height * 4);
    uint32_t state = seed * 2654435761u + 1;
    for (auto &byte : out) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state >> 7);
    }
    return out;
}

std::vector<uint8_t> ScreenLikeBgrx(int width, int height) {
    std::vector<uint8_t> out(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            uint8_t *p = &out[(static_cast<size_t>(y) * width + x) * 4];
            p[0] = static_cast<uint8_t>(40 + 180 * x / width);
            p[1] = static_cast<uint8_t>(30 + 200 * y / height);
            p[2] = static_cast<uint8_t>(220 - 160 * (x + y) / (width + height));
            p[3] = 0;
            // Saturated panels in the upper third.
            if (y < height / 3 && (x / (width / 8)) % 2 == 1) {
                int panel = x / (width / 8);
                p[0] = panel & 2 ? 255 : 0;
                p[1] = panel & 4 ? 255 : 0;
                p[2] = 255;
            }
            // Text-like strokes: 2-pixel dark lines in 8x12 cells on a light band.
            if (y >= height / 2 && y < height / 2 + height / 4) {
                p[0] = p[1] = p[2] = 235;
                int cx = x % 10, cy = (y - height / 2) % 16;
                int glyph = (x / 10 * 7 + (y - height / 2) / 16 * 3) % 5;
                bool stroke = (cy >= 2 && cy < 14) &&
                              ((glyph != 1 && cx < 2) || (glyph >= 2 && cx >= 6 && cx < 8) ||
                               (glyph % 2 == 0 && (cy == 2 || cy == 3)) ||
                               (glyph == 3 && (cy == 8 || cy == 9)) ||
                               (glyph != 4 && (cy == 12 || cy == 13) && cx < 8));
                if (stroke) p[0] = p[1] = p[2] = 20;
            }
        }
    }
    return out;
}

std::vector<uint8_t> FlipRows(const std::vector<uint8_t> &bgrx, int width, int height) {
    std::vector<uint8_t> out(bgrx.size());
    size_t row = static_cast<size_t>(width) * 4;
    for (int y = 0; y < height; y++) {
        memcpy(&out[(height - 1 - y) * row], &bgrx[y * row], row);
    }
    return out;
}

double PlanePsnr(const uint8_t *a, const uint8_t *b, int width, int height, int strideA,
                 int strideB) {
    double squared = 0;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            double d = static_cast<double>(a[y * strideA + x]) - b[y * strideB + x];
            squared += d * d;
        }
    }
    if (squared == 0) return 99.0;
    double mse = squared / (static_cast<double>(width) * height);
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}
