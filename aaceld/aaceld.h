// AAC-ELD encoder core: low-delay AAC with 480-sample frames, one channel or a channel
// pair, at 44.1 or 48 kHz. The six entries below are what the audio encoder driver calls.
//
// Ownership: EncoderOpen returns an encoder that the caller releases with EncoderClose.
// The 16-byte slot is caller memory that the core fills in EncoderInit and updates in
// every EncoderEncode. One encoder serves one thread at a time; separate encoders are
// independent.
#pragma once

#include <cstdint>

// Status codes of the entries (the driver ends the process with a non-zero open status).
enum EncoderStatus : int32_t {
    kEncoderOk = 0,
    kEncoderBadArgument = 1, // null pointer, wrong slot, bad sample count
    kEncoderUnsupported = 2, // object type, rate, channels, frame length or bit rate
    kEncoderNoMemory = 3,
};

// The configuration record, 32-bit integers in this order.
struct EncoderConfig {
    int32_t objectType;  // 39: ER AAC ELD
    int32_t bitRate;     // bit/s, 16000..1152000 for two channels
    int32_t mode;        // accepted and ignored (3 in practice)
    int32_t channelMode; // 1 or 2 channels
    int32_t sampleRate;  // input rate, 44100 or 48000
    int32_t outputRate;  // 0 or equal to sampleRate (no resampling in the core)
    int32_t setting;     // accepted and ignored (5 in practice)
    int32_t frameLength; // 480
    int32_t reserved[5]; // accepted and ignored
};

// Caller-provided state passed to EncoderInit and every EncoderEncode.
struct EncoderSlot {
    uint8_t bytes[16];
};

struct EncoderInfo {
    uint8_t audioSpecificConfig[8]; // for the container or the session description
    int32_t audioSpecificConfigLength;
    int32_t frameLength; // samples per channel per access unit
    int32_t channels;
    int32_t sampleRate;
    int32_t bitRate;
    int32_t delay;          // samples from input to the first matching sample a decoder outputs
    int32_t maxOutputBytes; // largest access unit
};

struct AacEldEncoder;

// Sample rates the core accepts for the object type, bit rate and channel count.
[[nodiscard]] int32_t EncoderQueryRateRange(int32_t objectType, int32_t bitRate, int32_t channels,
                                            int32_t flags, int32_t *lowest, int32_t *preferred,
                                            int32_t *highest);
// Validates the configuration and creates an encoder (null on failure).
[[nodiscard]] int32_t EncoderOpen(const EncoderConfig *config, AacEldEncoder **encoder);
// Resets the stream state and fills the slot. 0 on success.
[[nodiscard]] int32_t EncoderInit(AacEldEncoder *encoder, EncoderSlot *slot);
// Reports the configuration; `info` may be null when only the status is wanted.
[[nodiscard]] int32_t EncoderGetInfo(const AacEldEncoder *encoder, EncoderInfo *info);
// Takes `count` interleaved float samples in [-1, 1] (a multiple of the channel count; NaN,
// infinities and out-of-range values are made safe). Returns the bytes of one access unit
// written to `out` once 480 sample frames have gathered, 0 while fewer have, or a negative
// value on error (bad arguments, output too small, or more input queued than the core
// holds: it keeps up to 8192 sample frames, and each call emits at most one frame).
[[nodiscard]] int32_t EncoderEncode(AacEldEncoder *encoder, const float *samples, int32_t count,
                                    EncoderSlot *slot, uint8_t *out, int32_t capacity);
// Releases the encoder; null is ignored.
void EncoderClose(AacEldEncoder *encoder);
