// Streaming sample-rate conversion of interleaved 16-bit PCM, used by the system audio
// capture when the sound server mixes at another rate than 44100 Hz. The converter keeps
// its filter state between packets, so packets must be passed in capture order. One
// thread at a time; it has no lock.
#pragma once

#include <cstdint>

// The PCM format of one side of the conversion.
struct PcmFormat {
    uint32_t sampleRate;    // Hz
    uint16_t channels;      // interleaved
    uint16_t bitsPerSample; // only 16 is accepted
};

struct SampleRateConverter;

// Returns 1 with a converter, or 0 with none after logging the reason.
[[nodiscard]] int SampleRateConverterCreate(SampleRateConverter **out, const PcmFormat *input,
                                            const PcmFormat *output);
// Converts frameCount frames of input. Returns the bytes written to output (> 0), 0 when
// the converter holds the input but has nothing to give yet ("Need more input"), or -1
// on failure. A capacity below the output format's frame size times frameCount is refused
// with -1 before the converter sees any input, so its state is unchanged.
[[nodiscard]] int SampleRateConverterConvert(SampleRateConverter *converter, const void *input,
                                             int frameCount, void *output, int capacity);
// Null is ignored.
void SampleRateConverterDestroy(SampleRateConverter *converter);
