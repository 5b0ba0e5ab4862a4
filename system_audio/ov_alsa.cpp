// ALSA capture for machines without a sound server. It records 480-frame blocks of 16-bit
// stereo at 44100 Hz (ALSA's plug layer converts) from the snd-aloop loopback card when one
// exists (its capture side carries what is played into it), otherwise from the first
// card, after selecting that card's "Stereo Mix"-like capture source in its mixer.
//
// A reader thread (started at open, recording between start and stop) plays the part of
// the recorded-buffer callback: each block goes straight to the sample callback.
#include "system_audio/ov_capture_internal.h"

#include "base/log.h"
#include "base/thread.h"

#include <alsa/asoundlib.h>
#include <cstdio>
#include <cstring>
#include <new>

static constexpr int kQueuedBlocks = 8; // about 87 ms of recording in flight
static constexpr int kMaxMixerItems = 32;

struct OvAlsaCapture {
    snd_pcm_t *pcm; // owned; none when the machine has no capture card
    char cardName[128];
    Thread thread;
    std::atomic<int> running; // run flag of the reader thread; written by close
};

static const char *const kStereoMixNames[] = {"Stereo Mix", "Waveout Mix", "Mixed Output",
                                              "What You Hear", "Loopback"};

static bool IsStereoMixName(const char *name) {
    for (const char *candidate : kStereoMixNames)
        if (strcmp(name, candidate) == 0) return true;
    return false;
}

// Selects the card's "Stereo Mix"-like recording source. Cards expose it either as one
// capture-switch element per source (the "mixer" form) or as one enumerated capture
// source (the "mux" form). Any failure leaves the current source selected.
static void SelectStereoMixInput(int card) {
    DebugLog(2, "Checking for Stereo Mix or similar...\n");
    char device[32];
    snprintf(device, sizeof device, "hw:%d", card);
    snd_mixer_t *mixer = nullptr;
    if (snd_mixer_open(&mixer, 0) < 0 || snd_mixer_attach(mixer, device) < 0 ||
        snd_mixer_selem_register(mixer, nullptr, nullptr) < 0 || snd_mixer_load(mixer) < 0) {
        DebugLog(2, "Failed to get wave-in mixer line info\n");
        if (mixer) snd_mixer_close(mixer);
        return;
    }
    char *cardName = nullptr;
    snd_card_get_name(card, &cardName);
    DebugLog(2, "Found wave-in mixer line info:%s\n", cardName ? cardName : device);
    free(cardName);

    snd_mixer_elem_t *switches[kMaxMixerItems];
    int switchCount = 0;
    snd_mixer_elem_t *mux = nullptr;
    for (snd_mixer_elem_t *elem = snd_mixer_first_elem(mixer); elem;
         elem = snd_mixer_elem_next(elem)) {
        if (!snd_mixer_selem_is_active(elem)) continue;
        if (snd_mixer_selem_is_enum_capture(elem) && !mux)
            mux = elem;
        else if (snd_mixer_selem_has_capture_switch(elem) && switchCount < kMaxMixerItems)
            switches[switchCount++] = elem;
    }

    if (switchCount > 0) {
        DebugLog(2, "Got mixer control ID: %s\n", "Capture Switch");
        for (int i = 0; i < switchCount; i++) {
            const char *name = snd_mixer_selem_get_name(switches[i]);
            DebugLog(2, "Control %i: %s: Type: %i\n", i, name, 0);
            if (!IsStereoMixName(name)) continue;
            int ok = 1;
            for (int j = 0; j < switchCount; j++)
                if (snd_mixer_selem_set_capture_switch_all(switches[j], j == i) < 0) ok = 0;
            if (!ok) {
                DebugLog(2, "Failed to set control to select Stereo Mix\n");
            } else {
                DebugLog(2,
                         "Successfully located and selected %s as system audio output for "
                         "input\n",
                         name);
            }
            snd_mixer_close(mixer);
            return;
        }
    } else {
        DebugLog(2, "Failed to get mixer control ID, trying a different way...\n");
    }

    if (!mux) {
        if (switchCount == 0) DebugLog(2, "Still failed to get mixer/mux control\n");
        snd_mixer_close(mixer);
        return;
    }
    DebugLog(2, "Got mux control ID: %s\n", snd_mixer_selem_get_name(mux));
    const int items = snd_mixer_selem_get_enum_items(mux);
    if (items < 0) {
        DebugLog(2, "Failed to get mixer control details\n");
        snd_mixer_close(mixer);
        return;
    }
    for (int i = 0; i < items && i < kMaxMixerItems; i++) {
        char name[128];
        if (snd_mixer_selem_get_enum_item_name(mux, static_cast<unsigned>(i), sizeof name, name) <
            0) {
            DebugLog(2, "Failed to get line info of mixer control %i\n", i);
            break;
        }
        DebugLog(2, "Control %i: %s: Type: %i\n", i, name, 1);
        if (!IsStereoMixName(name)) continue;
        if (snd_mixer_selem_set_enum_item(mux, SND_MIXER_SCHN_MONO, static_cast<unsigned>(i)) < 0)
            DebugLog(2, "Failed to set control to select Stereo Mix\n");
        else
            DebugLog(2, "Successfully located and selected %s as system audio output for input\n",
                     name);
        break;
    }
    snd_mixer_close(mixer);
}

static void ReaderThreadMain(void *arg) {
    OvSystemAudio *audio = static_cast<OvSystemAudio *>(arg);
    OvAlsaCapture *alsa = audio->alsa;
    const int channels = static_cast<int>(audio->channels);
    int16_t block[kAudioBlockFrames * 2];
    while (alsa->running.load()) {
        if (!audio->capturing.load()) {
            // Stopped: nothing is recorded; look at the flags again shortly.
            struct timespec pause = {0, 20 * 1000 * 1000};
            nanosleep(&pause, nullptr);
            continue;
        }
        if (snd_pcm_wait(alsa->pcm, 100) <= 0) continue;
        const snd_pcm_sframes_t frames = snd_pcm_readi(alsa->pcm, block, kAudioBlockFrames);
        if (frames == -EAGAIN) continue;
        if (frames < 0) {
            // An overrun or a suspend: recover and go on with the next block.
            if (snd_pcm_recover(alsa->pcm, static_cast<int>(frames), 1) < 0)
                DebugLog(2, "Failed to get audio capture buffer: %s\n",
                         snd_strerror(static_cast<int>(frames)));
            continue;
        }
        if (frames > 0 && audio->capturing.load())
            audio->onBlock(audio, block, static_cast<int>(frames),
                           static_cast<int>(frames) * channels * 2, audio->context);
    }
}

int OvAlsaOpen(OvSystemAudio *audio) {
    OvAlsaCapture *alsa = new (std::nothrow) OvAlsaCapture{};
    if (!alsa) return 0;
    audio->alsa = alsa;
    int card = -1;
    if (snd_card_next(&card) < 0 || card < 0)
        return 1; // no capture card at all: start fails for want of a device
    const int loopbackCard = snd_card_get_index("Loopback");
    if (loopbackCard >= 0) card = loopbackCard;
    char *longName = nullptr;
    snd_card_get_longname(card, &longName);
    snprintf(alsa->cardName, sizeof alsa->cardName, "%s", longName ? longName : "unknown");
    free(longName);
    DebugLogAlways("Connecting audio to %s\n", alsa->cardName);

    char device[32];
    if (loopbackCard >= 0)
        snprintf(device, sizeof device, "plughw:%d,1", loopbackCard);
    else
        snprintf(device, sizeof device, "plughw:%d", card);
    int error = snd_pcm_open(&alsa->pcm, device, SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (error >= 0)
        error = snd_pcm_set_params(alsa->pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                                   audio->channels, 44100, 1,
                                   kQueuedBlocks * kAudioBlockFrames * 1000000u / 44100);
    if (error < 0) {
        DebugLog(2, "Failed to open wave input device: %s\n", snd_strerror(error));
        if (alsa->pcm) snd_pcm_close(alsa->pcm);
        alsa->pcm = nullptr;
        return 0;
    }
    if (loopbackCard < 0) SelectStereoMixInput(card);
    alsa->running.store(1);
    if (!ThreadStart(&alsa->thread, "ostrel-alsacap", ReaderThreadMain, audio)) {
        DebugLog(2, "Failed to start the audio capture thread\n");
        alsa->running.store(0);
        return 0;
    }
    return 1;
}

int OvAlsaStart(OvSystemAudio *audio) {
    OvAlsaCapture *alsa = audio->alsa;
    if (!alsa || !alsa->pcm) return 0;
    int error = snd_pcm_prepare(alsa->pcm);
    if (error >= 0) error = snd_pcm_start(alsa->pcm);
    if (error < 0) {
        DebugLog(2, "Failed to start waveIn system audio: %s\n", snd_strerror(error));
        return 0;
    }
    audio->capturing.store(1);
    return 1;
}

int OvAlsaStop(OvSystemAudio *audio) {
    OvAlsaCapture *alsa = audio->alsa;
    if (!alsa || !alsa->pcm) return 0;
    audio->capturing.store(0);
    const int error = snd_pcm_drop(alsa->pcm);
    if (error < 0) {
        DebugLog(2, "Failed to stop waveIn system audio: %s\n", snd_strerror(error));
        return 0;
    }
    DebugLog(2, "WaveIn was stopped\n");
    return 1;
}

void OvAlsaClose(OvSystemAudio *audio) {
    OvAlsaCapture *alsa = audio->alsa;
    if (!alsa) return;
    alsa->running.store(0);
    ThreadJoin(&alsa->thread);
    if (alsa->pcm) {
        snd_pcm_close(alsa->pcm);
        DebugLog(2, "WaveIn was closed\n");
    }
    delete alsa;
    audio->alsa = nullptr;
}
