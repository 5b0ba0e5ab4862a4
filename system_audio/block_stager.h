// Gathers captured packets of any length into fixed blocks of 480 frames, the encoder's
// frame length. Portable; used on the capture thread only.
#pragma once

#include <cstdint>

constexpr int kAudioBlockFrames = 480;

struct AudioBlockStager {
    int channels;                           // 1 or 2
    int frames;                             // frames staged, 0..479 between pushes
    int16_t samples[kAudioBlockFrames * 2]; // interleaved
};

typedef void (*StagedBlockFn)(void *context, const int16_t *block, int frames);

void AudioBlockStagerInit(AudioBlockStager *stager, int channels);
// Appends frames and calls onBlock for every block of 480 frames completed, in order; the
// remainder stays staged for the next push.
void AudioBlockStagerPush(AudioBlockStager *stager, const int16_t *samples, int frames,
                          StagedBlockFn onBlock, void *context);
