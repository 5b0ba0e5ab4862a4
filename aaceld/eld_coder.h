// The frame coder: keeps the input history, runs the analysis filterbank, estimates the
// noise each band may carry, shapes the noise in time on attacks, chooses mid/side per
// band, and searches the quantiser step so that every access unit fits its budget. The
// budget is the mean share of the bit rate plus a draw on a reservoir of unused bits
// (held about half full, at most two frames' worth), so single frames may exceed the
// mean while the average keeps to the rate. One instance per stream; not thread-safe.
#pragma once

#include <cstdint>

#include "aaceld/eld_bitstream.h"
#include "aaceld/eld_filterbank.h"

struct EldCoder {
    int sampleRate;                      // 44100 or 48000
    int bitRate;                         // bit/s
    int channels;                        // 1 or 2
    int bandLimit;                       // bands coded at most (the audio bandwidth)
    float history[2][kEldHistoryLength]; // newest samples last, 16-bit PCM units
    double meanBits;                     // bits per frame the rate allows
    double reservoir;                    // bits saved by earlier frames, 0..reservoirMax
    double reservoirMax;
    double demandAverage;         // running mean of the frames' estimated bit demand
    int maxFrameBits;             // hard limit per access unit
    int lastOffset;               // step offset of the previous frame, where the search starts
    double bitsSlope;             // log2 of the bit ratio per offset step, learnt
    float athLine[kEldBandCount]; // lowest audible noise power per line, spectrum units
    EldFrameData frame[2];        // search scratch: trial and best
};

// Sets up a coder; returns 1, or 0 for an unsupported rate, channel count or bit rate.
[[nodiscard]] int EldCoderInit(EldCoder *coder, int sampleRate, int bitRate, int channels);
// Codes one frame: `pcm` holds 480 interleaved sample frames in 16-bit units (any float;
// NaN becomes 0, values are clipped to the 16-bit range). Writes one access unit to `out`
// and returns its length, or -1 if `capacity` is too small.
[[nodiscard]] int EldCoderEncode(EldCoder *coder, const float *pcm, uint8_t *out, int capacity);
// Band count coded at a bit rate per channel (the bandwidth choice).
[[nodiscard]] int EldBandLimitForRate(int bitsPerSecondPerChannel);
