// Encoders for receivers that play Apple Lossless or plain 16-bit samples: a packet of
// interleaved 16-bit stereo samples at 44100 Hz in, one RTP payload out. Apple Lossless goes
// through libavcodec's encoder, whose raw frames the receivers decode as they come.
#pragma once

#include <cstdint>

struct LosslessEncoder;

// The most samples per channel one packet may carry.
constexpr int kLosslessMaxPacketFrames = 4096;

// encoding: 1 Apple Lossless, 0 16-bit big-endian samples (the numbers receivers announce).
// Null, logged, for another encoding, a packet size outside 1..kLosslessMaxPacketFrames or
// an encoder libavcodec cannot open.
LosslessEncoder *LosslessEncoderOpen(int32_t encoding, int framesPerPacket);
// Encodes frames (at most the packet size) sample frames into out. Returns the bytes
// written, or -1 (logged) when the encoder fails or out is too small.
int32_t LosslessEncoderEncode(LosslessEncoder *encoder, const int16_t *interleaved, int frames,
                              uint8_t *out, int32_t capacity);
void LosslessEncoderClose(LosslessEncoder *encoder);
