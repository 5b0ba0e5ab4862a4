// Minimal reader for RIFF/WAVE files with 16-bit PCM samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct WavData {
    int sampleRate;
    int channels;
    std::vector<int16_t> samples; // interleaved
};

// Reads `path`; returns 1, or 0 with a reason in `error` (a short English sentence).
[[nodiscard]] int WavRead(const char *path, WavData *wav, char *error, int errorSize);
// Parses a file image already in memory; same results as WavRead.
[[nodiscard]] int WavParse(const uint8_t *data, size_t size, WavData *wav, char *error,
                           int errorSize);
