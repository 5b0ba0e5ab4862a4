// The x264 implementation of FrameEncoder (EncoderKindLegacy).
//
// init opens an encoder at the output size with the fixed parameter set below and builds
// the avcC header from its parameter sets; encode passes the caller's planes without
// copying and hands every produced picture to onOutput as 4-byte length-prefixed NAL units;
// close releases the encoder and the header. init and close run on the capture thread,
// encode on the encode thread; they never overlap for one encoder.
#pragma once

#include <cstdint>

struct EncoderOps;

// Fills the table's operations (the kind is set by RegisterEncoderOps).
void FillX264EncoderOps(EncoderOps *ops);

// Constant rate factor for an encoder level: 0 -> 36, 2 -> 23, 3 -> 15, others -> 28.
float X264RateFactorForLevel(int level);

// What each Video Quality position (quality = position + 2) means: the bitrate the
// encoder never exceeds, however busy the screen (the link may hold it lower), and the
// rate factor. 2: 2 Mbit/s, factor 32; 3: 5 Mbit/s, 28; 4 (the default): 12 Mbit/s, 28;
// 5: 25 Mbit/s, 23. Other values count as 4, with the level's factor.
int32_t X264MaxKbpsForQuality(int quality);
float X264RateFactorForQuality(int quality, int level);
// The VBV buffer for a ceiling: a quarter second at that rate, so that no one picture takes
// the link longer than that.
int32_t X264VbvBufferKbits(int32_t maxKbps);

// The parameters init uses, applied to a fresh x264_param_t at param (x264.h is kept
// out of this header). Returns 1, or 0 when x264 rejects the preset or the profile.
[[nodiscard]] int X264FillParameters(void *param, int width, int height, int level, int quality);
