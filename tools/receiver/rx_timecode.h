// Reads the time code a benchmark paints at the top-left corner of the mirrored screen:
// two rows of 24 square cells, the first holding the low 24 bits of the sender's
// CLOCK_MONOTONIC milliseconds (most significant bit first, white = 1), the second the
// same bits inverted, so a cell caught half-painted or blurred by the encoder is noticed
// instead of read as a wrong time.
#pragma once

#include <cstdint>

constexpr int kTimecodeBits = 24;
constexpr uint32_t kTimecodeMask = (1u << kTimecodeBits) - 1;

// luma: the decoded picture's Y plane. cellPixels and screenWidth are in screen pixels;
// the picture is the screen scaled to width. False when the code is absent or unreadable.
bool ReadTimecode(const uint8_t *luma, int stride, int width, int height, int cellPixels,
                  int screenWidth, uint32_t *code);

// Milliseconds from code to nowMs on the 24-bit wheel; negative when the code is later
// than now (not a time this run painted).
int64_t TimecodeAgeMs(uint32_t code, uint64_t nowMs);
