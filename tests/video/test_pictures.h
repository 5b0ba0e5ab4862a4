// Synthetic BGRX sources and I420 helpers shared by the video tests.
#pragma once

#include <cstdint>
#include <vector>

struct I420Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> y, u, v;
    uint8_t *planes[3] = {nullptr, nullptr, nullptr};
};

// Allocates the planes and fills every byte with fill (so unwritten bytes can be found).
void I420Allocate(I420Picture *picture, int width, int height, uint8_t fill);

// Every pixel the same colour.
std::vector<uint8_t> SolidBgrx(int width, int height, uint8_t b, uint8_t g, uint8_t r);
// Random bytes from a fixed seed.
std::vector<uint8_t> RandomBgrx(int width, int height, uint32_t seed);
// Screen-like content: diagonal colour gradients, saturated blocks and thin dark strokes
// in glyph-like clusters, so that both smooth areas and hard edges are present.
std::vector<uint8_t> ScreenLikeBgrx(int width, int height);
// The same image with its rows stored bottom first.
std::vector<uint8_t> FlipRows(const std::vector<uint8_t> &bgrx, int width, int height);

// Peak signal-to-noise ratio in dB of two equal-length byte planes (99 when identical).
double PlanePsnr(const uint8_t *a, const uint8_t *b, int width, int height, int strideA,
                 int strideB);
