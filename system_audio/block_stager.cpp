#include "system_audio/block_stager.h"

#include <cstring>

void AudioBlockStagerInit(AudioBlockStager *stager, int channels) {
    stager->channels = channels;
    stager->frames = 0;
}

void AudioBlockStagerPush(AudioBlockStager *stager, const int16_t *samples, int frames,
                          StagedBlockFn onBlock, void *context) {
    const int channels = stager->channels;
    while (frames > 0) {
        int take = kAudioBlockFrames - stager->frames;
        if (take > frames) take = frames;
        memcpy(stager->samples + stager->frames * channels, samples,
               sizeof(int16_t) * take * channels);
        stager->frames += take;
        samples += take * channels;
        frames -= take;
        if (stager->frames == kAudioBlockFrames) {
            stager->frames = 0;
            onBlock(context, stager->samples, kAudioBlockFrames);
        }
    }
}
