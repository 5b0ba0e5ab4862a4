#include "system_audio/audio_encoder_driver.h"

#include "aaceld/aaceld.h"
#include "base/log.h"
#include "system_audio/ov_system_audio.h"

#include <ctime>
#include <new>

static constexpr int kMaxBlockFrames = 4096;
static constexpr int kOutputCapacity = 8000;

struct AudioEncoderDriver {
    int active;             // 1 from a successful start until the stop
    OvSystemAudio *capture; // owned; closed in StopSystemAudio
    int channels;           // 2
    AacEldEncoder *encoder; // owned; closed in StopSystemAudio
    EncoderSlot slot;       // the core's; used on the capture thread once started
    EncodedAudioHandler onEncodedAudio;
    void *context;
};

// The one driver, written only by the audio connection's thread (start and stop).
static AudioEncoderDriver *gDriver;

void AudioEncoderDefaultConfig(EncoderConfig *config) {
    *config = EncoderConfig{};
    config->objectType = 39;
    config->bitRate = 128000;
    config->mode = 3;
    config->channelMode = 2;
    config->sampleRate = 44100;
    config->outputRate = 44100;
    config->setting = 5;
    config->frameLength = 480;
    config->reserved[0] = 0;
    config->reserved[1] = 1;
    config->reserved[2] = 0;
    config->reserved[3] = 1;
    config->reserved[4] = 1;
}

void AudioSamplesToFloat(const int16_t *samples, int count, float *out) {
    for (int i = 0; i < count; i++) {
        float value = static_cast<float>(samples[i]) / 32768.0f;
        out[i] = value < -1.0f ? -1.0f : (value > 1.0f ? 1.0f : value);
    }
}

// Whole Unix seconds in the low half, microseconds in the high half.
static uint64_t CaptureTimeNow() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t seconds = static_cast<uint32_t>(now.tv_sec);
    const uint64_t micros = static_cast<uint32_t>(now.tv_nsec / 1000);
    return seconds | (micros << 32);
}

// The capture's block callback: one 480-frame block in, one AAC-ELD frame out.
static void EncodeAudioBlock(OvSystemAudio *, const int16_t *samples, int frames, int,
                             void *context) {
    AudioEncoderDriver *driver = static_cast<AudioEncoderDriver *>(context);
    const uint64_t captureTime = CaptureTimeNow();
    if (frames <= 0 || frames > kMaxBlockFrames) {
        DebugLog(2, "Failed to encode audio frame\n");
        return;
    }
    float floats[kMaxBlockFrames * 2];
    uint8_t output[kOutputCapacity];
    const int count = frames * driver->channels;
    AudioSamplesToFloat(samples, count, floats);
    const int32_t bytes =
        EncoderEncode(driver->encoder, floats, count, &driver->slot, output, kOutputCapacity);
    if (bytes == 0)
        DebugLog(1, "Priming encoder...\n");
    else if (bytes < 0)
        DebugLog(2, "Failed to encode audio frame\n");
    else
        driver->onEncodedAudio(driver, output, bytes, captureTime, driver->context);
}

static void DiscardDriver(AudioEncoderDriver *driver) {
    EncoderClose(driver->encoder);
    delete driver;
}

// Builds the driver into gDriver, or leaves none. A configuration the core refuses, or a
// failed initialisation, fails the audio start only: mirroring goes on without sound.
static void AudioEncoderCreate(const EncoderConfig *config, void *context,
                               EncodedAudioHandler onEncodedAudio) {
    AudioEncoderDriver *driver = new (std::nothrow) AudioEncoderDriver{};
    if (!driver) return;
    driver->channels = 2;
    driver->onEncodedAudio = onEncodedAudio;
    driver->context = context;

    int32_t lowest = 0, preferred = 0, highest = 0;
    if (EncoderQueryRateRange(39, 128000, 2, 1, &lowest, &preferred, &highest) != kEncoderOk) {
        DebugLog(2, "Sampling Rate Range Information could not be retrieved!\n");
        lowest = preferred = highest = 0;
    }
    DebugLog(1, "Allowed Sampling Rate Range: [%d %d], Preferred: %d \n", lowest, highest,
             preferred);

    if (EncoderOpen(config, &driver->encoder) != kEncoderOk || !driver->encoder) {
        DebugLog(2, "Configuration not supported!\n");
        DiscardDriver(driver);
        return;
    }
    const int32_t init = EncoderInit(driver->encoder, &driver->slot);
    if (init >= 128) {
        DebugLog(2, "\nEncoder Initialisation warning: %d!", init);
    } else if (init != 0) {
        DebugLog(2, "DbgEncoder Initialization failed!");
        DiscardDriver(driver);
        return;
    }
    if (EncoderGetInfo(driver->encoder, nullptr) != kEncoderOk) {
        DebugLog(2, "\nEncoder Info could not be retrieved!\n");
        DiscardDriver(driver);
        return;
    }
    if (!OvSystemAudioCreate(&driver->capture, driver->channels, EncodeAudioBlock, driver)) {
        DiscardDriver(driver);
        return;
    }
    gDriver = driver;
}

void StartSystemAudioWithConfig(const EncoderConfig *config, void *context,
                                EncodedAudioHandler onEncodedAudio) {
    if (!gDriver) AudioEncoderCreate(config, context, onEncodedAudio);
    if (!gDriver) {
        DebugLog(2, "Audio Device Unavailable, disconnecting...\n");
        return;
    }
    if (gDriver->active) {
        DebugLog(2, "Audio Device Unavailable, disconnecting...\n");
        return;
    }
    gDriver->active = 1;
    if (!OvSystemAudioStart(gDriver->capture))
        DebugLog(2, "Failed to start system audio capture\n");
}

void StartSystemAudio(void *context, EncodedAudioHandler onEncodedAudio) {
    EncoderConfig config;
    AudioEncoderDefaultConfig(&config);
    StartSystemAudioWithConfig(&config, context, onEncodedAudio);
}

void StopSystemAudio() {
    AudioEncoderDriver *driver = gDriver;
    if (!driver) return;
    if (driver->active) {
        driver->active = 0;
        DebugLog(2, "CaptureAudio: Stopping...\n");
        if (driver->capture) {
            // Closing ends the capture thread, so no block reaches the encoder after this.
            OvSystemAudioClose(driver->capture);
            driver->capture = nullptr;
            DebugLog(2, "CaptureAudio: System Audio closed...\n");
        }
        if (driver->encoder) {
            // Closed after either kind of capture: keeping it would leak one per stream.
            DebugLog(2, "CaptureAudio: About to close audio encoder...\n");
            EncoderClose(driver->encoder);
            driver->encoder = nullptr;
        }
        DebugLog(2, "CaptureAudio: Encoder was closed...\n");
    }
    OvSystemAudioClose(driver->capture);
    EncoderClose(driver->encoder);
    delete driver;
    gDriver = nullptr;
}

int SystemAudioIsActive() {
    return gDriver && gDriver->active ? 1 : 0;
}
