// Test helper: decodes access units with the reference decoder in libavcodec and
// collects any warning or error it logs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct EldDecodeResult {
    std::vector<float> samples; // interleaved, in [-1, 1]
    int channels = 0;
    int framesDecoded = 0;
    int errors = 0;  // packets the decoder refused
    std::string log; // every warning or error line it logged
};

// Decodes each packet as one access unit of a stream with the given AudioSpecificConfig.
EldDecodeResult EldDecodePackets(const std::vector<std::vector<uint8_t>> &packets,
                                 const uint8_t *asc, int ascLength, int sampleRate, int channels);

// Encodes interleaved float input with the core (default configuration unless told) and
// returns one packet per access unit.
std::vector<std::vector<uint8_t>> EldEncodeSignal(const std::vector<float> &interleaved,
                                                  int channels, int bitRate,
                                                  int sampleRate = 44100);

// Delay (in samples) that best aligns `decoded` with `input` on channel `channel`, searched
// over 0..maxDelay by cross-correlation.
int EldFindDelay(const std::vector<float> &input, const std::vector<float> &decoded, int channels,
                 int channel, int maxDelay);

// SNR in dB of channel `channel` after shifting by `delay`, over input samples [from, to).
double EldSnrDb(const std::vector<float> &input, const std::vector<float> &decoded, int channels,
                int channel, int delay, size_t from, size_t to);
