#include "system_audio/audio_encoder_driver.h"

#include "aaceld/aaceld.h"
#include "base/log.h"
#include "system_audio/lossless_encoder.h"
#include "system_audio/ov_system_audio.h"

#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

static constexpr int kMaxBlockFrames = 4096;
static constexpr int kOutputCapacity = 8000;

struct AudioEncoderDriver {
    int active;             // 1 from a successful start until the stop
    OvSystemAudio *capture; // owned; closed in StopSystemAudio
    int channels;           // 2
    AacEldEncoder *encoder; // owned; closed in StopSystemAudio; null for the other formats
    EncoderSlot slot;       // the core's; used on the capture thread once started
    // Apple Lossless and 16-bit samples: packets of framesPerPacket gathered from the
    // capture's blocks (capture thread only).
    LosslessEncoder *lossless; // owned; closed in StopSystemAudio
    int framesPerPacket;
    int stagedFrames;
    int16_t staged[kLosslessMaxPacketFrames * 2];
    EncodedAudioHandler onEncodedAudio;
    SystemAudioLostHandler onLost;
    void *context; // the stream that holds the driver
};

// The one driver. Starts and stops come from every audio connection's threads (an older
// connection may still be stopping while a newer one starts), so both run under the lock.
static std::mutex gDriverLock;
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

// The other formats: the block's samples join the staged ones and every packet completed is
// encoded and handed on with the block's capture time.
static void EncodeLosslessBlock(AudioEncoderDriver *driver, const int16_t *samples, int frames,
                                uint64_t captureTime) {
    uint8_t output[kOutputCapacity];
    while (frames > 0) {
        int take = driver->framesPerPacket - driver->stagedFrames;
        if (take > frames) take = frames;
        memcpy(driver->staged + driver->stagedFrames * driver->channels, samples,
               sizeof(int16_t) * (size_t)(take * driver->channels));
        driver->stagedFrames += take;
        samples += take * driver->channels;
        frames -= take;
        if (driver->stagedFrames < driver->framesPerPacket) break;
        driver->stagedFrames = 0;
        const int32_t bytes = LosslessEncoderEncode(
            driver->lossless, driver->staged, driver->framesPerPacket, output, kOutputCapacity);
        if (bytes <= 0)
            DebugLog(2, "Failed to encode audio frame\n");
        else
            driver->onEncodedAudio(driver, output, bytes, captureTime, driver->context);
    }
}

// The capture's block callback: one 480-frame block in, one AAC-ELD frame out (or the
// packets of the other formats it completes).
static void EncodeAudioBlock(OvSystemAudio *, const int16_t *samples, int frames, int,
                             void *context) {
    AudioEncoderDriver *driver = static_cast<AudioEncoderDriver *>(context);
    const uint64_t captureTime = CaptureTimeNow();
    if (frames <= 0 || frames > kMaxBlockFrames) {
        DebugLog(2, "Failed to encode audio frame\n");
        return;
    }
    if (driver->lossless) {
        EncodeLosslessBlock(driver, samples, frames, captureTime);
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

// The capture gave up (its sound server is gone): the stream is told, on this thread.
static void CaptureLost(OvSystemAudio *, void *context) {
    AudioEncoderDriver *driver = static_cast<AudioEncoderDriver *>(context);
    DebugLog(2, "Audio: the system audio capture has ended\n");
    if (driver->onLost) driver->onLost(driver->context);
}

static void DiscardDriver(AudioEncoderDriver *driver) {
    EncoderClose(driver->encoder);
    LosslessEncoderClose(driver->lossless);
    delete driver;
}

// Stops the capture (giving the PC its output back), closes the encoder, frees the driver.
static void CloseDriver(AudioEncoderDriver *driver) {
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
        LosslessEncoderClose(driver->lossless);
        driver->lossless = nullptr;
        DebugLog(2, "CaptureAudio: Encoder was closed...\n");
    }
    OvSystemAudioClose(driver->capture);
    DiscardDriver(driver);
}

// Builds a driver, or returns null. A configuration the core refuses, or a failed
// initialisation, fails the audio start only: mirroring goes on without sound.
// Opens the AAC-ELD core with config; false (logged) when it refuses.
static bool OpenAacEld(AudioEncoderDriver *driver, const EncoderConfig *config) {

    int32_t lowest = 0, preferred = 0, highest = 0;
    if (EncoderQueryRateRange(39, 128000, 2, 1, &lowest, &preferred, &highest) != kEncoderOk) {
        DebugLog(2, "Sampling Rate Range Information could not be retrieved!\n");
        lowest = preferred = highest = 0;
    }
    DebugLog(1, "Allowed Sampling Rate Range: [%d %d], Preferred: %d \n", lowest, highest,
             preferred);

    if (EncoderOpen(config, &driver->encoder) != kEncoderOk || !driver->encoder) {
        DebugLog(2, "Configuration not supported!\n");
        return false;
    }
    const int32_t init = EncoderInit(driver->encoder, &driver->slot);
    if (init >= 128) {
        DebugLog(2, "\nEncoder Initialisation warning: %d!", init);
    } else if (init != 0) {
        DebugLog(2, "DbgEncoder Initialization failed!");
        return false;
    }
    if (EncoderGetInfo(driver->encoder, nullptr) != kEncoderOk) {
        DebugLog(2, "\nEncoder Info could not be retrieved!\n");
        return false;
    }
    return true;
}

// Builds a driver for config (AAC-ELD) or, without one, for format; or returns null.
static AudioEncoderDriver *AudioEncoderCreate(const EncoderConfig *config,
                                              const SystemAudioFormat *format, void *context,
                                              EncodedAudioHandler onEncodedAudio,
                                              SystemAudioLostHandler onLost) {
    AudioEncoderDriver *driver = new (std::nothrow) AudioEncoderDriver{};
    if (!driver) return nullptr;
    driver->channels = 2;
    driver->onEncodedAudio = onEncodedAudio;
    driver->onLost = onLost;
    driver->context = context;
    if (config) {
        if (!OpenAacEld(driver, config)) {
            DiscardDriver(driver);
            return nullptr;
        }
    } else {
        driver->framesPerPacket = format->framesPerPacket;
        driver->lossless = LosslessEncoderOpen(format->encoding, format->framesPerPacket);
        if (!driver->lossless) {
            DiscardDriver(driver);
            return nullptr;
        }
        DebugLog(2, "Audio: encoding %s, %i samples per packet\n",
                 format->encoding == kSystemAudioAlac ? "Apple Lossless" : "16-bit samples",
                 (int)format->framesPerPacket);
    }
    if (!OvSystemAudioCreate(&driver->capture, driver->channels, EncodeAudioBlock, driver)) {
        DiscardDriver(driver);
        return nullptr;
    }
    OvSystemAudioSetLostCallback(driver->capture, CaptureLost);
    return driver;
}

static int StartDriver(const EncoderConfig *config, const SystemAudioFormat *format, void *context,
                       EncodedAudioHandler onEncodedAudio, SystemAudioLostHandler onLost) {
    std::lock_guard<std::mutex> hold(gDriverLock);
    if (gDriver && gDriver->context == context) return 1;
    if (gDriver) {
        // An older stream still holds the sound while it stops: the newer one takes it.
        DebugLog(2, "Audio: handing the system audio capture over to the new stream\n");
        CloseDriver(gDriver);
        gDriver = nullptr;
    }
    AudioEncoderDriver *driver =
        AudioEncoderCreate(config, format, context, onEncodedAudio, onLost);
    if (!driver) {
        DebugLog(2, "Audio Device Unavailable, disconnecting...\n");
        return 0;
    }
    driver->active = 1;
    if (!OvSystemAudioStart(driver->capture)) {
        // Closing now gives back the output the capture took over at its creation.
        DebugLog(2, "Failed to start system audio capture\n");
        CloseDriver(driver);
        return 0;
    }
    gDriver = driver;
    return 1;
}

int StartSystemAudioWithConfig(const EncoderConfig *config, void *context,
                               EncodedAudioHandler onEncodedAudio, SystemAudioLostHandler onLost) {
    return StartDriver(config, nullptr, context, onEncodedAudio, onLost);
}

int StartSystemAudioAs(const SystemAudioFormat *format, void *context,
                       EncodedAudioHandler onEncodedAudio, SystemAudioLostHandler onLost) {
    if (format->encoding == kSystemAudioAacEld)
        return StartSystemAudio(context, onEncodedAudio, onLost);
    return StartDriver(nullptr, format, context, onEncodedAudio, onLost);
}

int StartSystemAudio(void *context, EncodedAudioHandler onEncodedAudio,
                     SystemAudioLostHandler onLost) {
    EncoderConfig config;
    AudioEncoderDefaultConfig(&config);
    return StartSystemAudioWithConfig(&config, context, onEncodedAudio, onLost);
}

void StopSystemAudio(void *context) {
    std::lock_guard<std::mutex> hold(gDriverLock);
    if (!gDriver || gDriver->context != context) return;
    CloseDriver(gDriver);
    gDriver = nullptr;
}

int SystemAudioIsActive() {
    std::lock_guard<std::mutex> hold(gDriverLock);
    return gDriver && gDriver->active ? 1 : 0;
}
