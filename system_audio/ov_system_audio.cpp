#include "system_audio/ov_capture_internal.h"

#include "base/log.h"

#include <cstdlib>
#include <new>

static constexpr uint32_t kDeliveredRate = 44100;
// Packets go through the converter in pieces no longer than this, so that one second of
// output always holds a piece's result whatever the server's fragment size.
static constexpr int kConvertChunkFrames = 4096;

static void DeliverBlock(void *context, const int16_t *block, int frames) {
    OvSystemAudio *audio = static_cast<OvSystemAudio *>(context);
    audio->onBlock(audio, block, frames, frames * static_cast<int>(audio->channels) * 2,
                   audio->context);
}

int OvSystemAudioPrepareRate(OvSystemAudio *audio, uint32_t rate) {
    SampleRateConverterDestroy(audio->converter);
    audio->converter = nullptr;
    free(audio->converterOutput);
    audio->converterOutput = nullptr;
    if (rate == kDeliveredRate) return 1;
    DebugLog(2, "Need to create samplerate converter due to designated format not matching "
                "preferred samplerate!\n");
    const uint16_t channels = static_cast<uint16_t>(audio->channels);
    PcmFormat input = {rate, channels, 16};
    PcmFormat output = {kDeliveredRate, channels, 16};
    if (!SampleRateConverterCreate(&audio->converter, &input, &output)) {
        DebugLog(2, "Failed to initialize sample rate converter\n");
        return 0;
    }
    audio->converterOutputBytes = static_cast<int>(kDeliveredRate * channels * 2);
    audio->converterOutput = static_cast<uint8_t *>(malloc(audio->converterOutputBytes));
    if (!audio->converterOutput) {
        DebugLog(2, "Failed to initialize sample rate converter\n");
        return 0;
    }
    return 1;
}

void OvSystemAudioDeliver(OvSystemAudio *audio, const int16_t *samples, int frames) {
    if (!audio->converter) {
        AudioBlockStagerPush(&audio->stager, samples, frames, DeliverBlock, audio);
        return;
    }
    const int channels = static_cast<int>(audio->channels);
    while (frames > 0) {
        const int take = frames < kConvertChunkFrames ? frames : kConvertChunkFrames;
        const int bytes = SampleRateConverterConvert(
            audio->converter, samples, take, audio->converterOutput, audio->converterOutputBytes);
        // When the converter gives nothing it still holds the input in its filter and gives
        // it out later; staging the unconverted samples as well would play them twice, at
        // the wrong rate.
        if (bytes > 0)
            AudioBlockStagerPush(&audio->stager,
                                 reinterpret_cast<const int16_t *>(audio->converterOutput),
                                 bytes / (channels * 2), DeliverBlock, audio);
        samples += take * channels;
        frames -= take;
    }
}

static void Discard(OvSystemAudio *audio) {
    SampleRateConverterDestroy(audio->converter);
    free(audio->converterOutput);
    delete audio;
}

int OvSystemAudioCreate(OvSystemAudio **out, int channels, SampleBlockCallback onBlock,
                        void *context) {
    *out = nullptr;
    if ((channels != 1 && channels != 2) || !onBlock) return 0;
    OvSystemAudio *audio = new (std::nothrow) OvSystemAudio{};
    if (!audio) return 0;
    audio->sampleRate = kDeliveredRate;
    audio->channels = static_cast<uint32_t>(channels);
    audio->blockFrames = kAudioBlockFrames;
    audio->capturing.store(0);
    audio->onBlock = onBlock;
    audio->context = context;
    AudioBlockStagerInit(&audio->stager, channels);

    if (OvPulseProbe(audio)) {
        audio->loopbackMode = 1;
        if (OvPulseOpen(audio)) {
            *out = audio;
            return 1;
        }
        DebugLog(2, "Failed init loop-back based System Audio Capture\n");
        OvPulseClose(audio);
        Discard(audio);
        return 0;
    }
    DebugLog(2, "Loopback unavailable (Windows XP?) - trying for Stereo Mix\n");
    audio->loopbackMode = 0;
    if (OvAlsaOpen(audio)) {
        *out = audio;
        return 1;
    }
    DebugLog(2, "Failed init wave-in based System Audio Capture\n");
    OvAlsaClose(audio);
    Discard(audio);
    return 0;
}

void OvSystemAudioSetLostCallback(OvSystemAudio *capture, CaptureLostCallback onLost) {
    if (capture) capture->onLost = onLost;
}

int OvSystemAudioStart(OvSystemAudio *capture) {
    if (!capture) return 0;
    return capture->loopbackMode ? OvPulseStart(capture) : OvAlsaStart(capture);
}

int OvSystemAudioStop(OvSystemAudio *capture) {
    if (!capture) return 0;
    return capture->loopbackMode ? OvPulseStop(capture) : OvAlsaStop(capture);
}

void OvSystemAudioClose(OvSystemAudio *capture) {
    if (!capture) return;
    OvSystemAudioStop(capture);
    if (capture->loopbackMode)
        OvPulseClose(capture);
    else
        OvAlsaClose(capture);
    Discard(capture);
}

int OvSystemAudioIsLoopback(const OvSystemAudio *capture) {
    return capture ? capture->loopbackMode : 0;
}

int OvSystemAudioRestoreStale() {
    return OvPulseRestoreStale();
}
