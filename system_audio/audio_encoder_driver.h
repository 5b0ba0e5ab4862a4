// The audio encoder driver: captures the PC's sound as 480-frame blocks of 16-bit stereo at
// 44100 Hz, encodes them in the format the stream plays (each block one AAC-ELD frame, or
// packets of the stream's own size in Apple Lossless or 16-bit samples) and hands every
// encoded frame to the stream's sender. One process-wide driver, so at most one audio stream
// at a time.
#pragma once

#include <cstdint>

// Receives every encoded frame on the capture thread. payload is valid only during the
// call; length is 1..8000. captureTime holds whole Unix seconds in the low 32 bits and the
// microseconds (0..999999) in the high 32 bits. driver is the driver's own record and
// context the pointer given to StartSystemAudio.
typedef void (*EncodedAudioHandler)(void *driver, const uint8_t *payload, int64_t length,
                                    uint64_t captureTime, void *context);

// Runs on the capture thread, once, when the capture has ended for good (the sound server
// went away and did not come back in time); no frame follows. context is the pointer given
// to StartSystemAudio. It must not call StartSystemAudio or StopSystemAudio.
typedef void (*SystemAudioLostHandler)(void *context);

// Creates the driver (encoder and capture) for the stream context and starts capturing;
// frames then reach onEncodedAudio(…, context). A driver held by another stream is closed
// first: streams can overlap while one stops and the next starts, and the newest one gets
// the sound. Returns 1 when the capture runs (or already ran for context); 0, logged, when
// it could not start, leaving no driver and the PC's output as it was. Never ends the
// process. Start and stop may come from any threads; they run one at a time.
[[nodiscard]] int StartSystemAudio(void *context, EncodedAudioHandler onEncodedAudio,
                                   SystemAudioLostHandler onLost);
// Stops the capture, closes the encoder and discards the driver when context still holds
// it; no frame reaches context after it returns. Otherwise (no driver, or another stream's)
// it does nothing.
void StopSystemAudio(void *context);
// 1 while a started driver exists.
int SystemAudioIsActive();

// The formats the driver encodes, numbered as receivers announce what they play.
enum SystemAudioEncoding : int32_t {
    kSystemAudioPcm = 0,    // 16-bit big-endian interleaved samples
    kSystemAudioAlac = 1,   // Apple Lossless (libavcodec's encoder)
    kSystemAudioAacEld = 3, // the AAC-ELD core: always 480 samples per frame
};

struct SystemAudioFormat {
    int32_t encoding;        // SystemAudioEncoding
    int32_t framesPerPacket; // samples per channel in each encoded frame (480 for AAC-ELD)
};

// StartSystemAudio for a stream that plays format (AAC-ELD with the default configuration).
[[nodiscard]] int StartSystemAudioAs(const SystemAudioFormat *format, void *context,
                                     EncodedAudioHandler onEncodedAudio,
                                     SystemAudioLostHandler onLost);

struct EncoderConfig;

// The configuration the driver opens the encoder with: AAC-ELD (object type 39) at
// 128000 bit/s, two channels, 44100 Hz, 480 samples per frame.
void AudioEncoderDefaultConfig(EncoderConfig *config);
// StartSystemAudio with another encoder configuration (a rejected one leaves no driver).
[[nodiscard]] int StartSystemAudioWithConfig(const EncoderConfig *config, void *context,
                                             EncodedAudioHandler onEncodedAudio,
                                             SystemAudioLostHandler onLost);
// Converts count 16-bit samples to floats: sample / 32768, within [-1, 1].
void AudioSamplesToFloat(const int16_t *samples, int count, float *out);
