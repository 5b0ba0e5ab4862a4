// The capture record shared by the portable front (ov_system_audio.cpp) and the two
// platform back ends (ov_pulse.cpp, ov_alsa.cpp). Not for use outside system_audio/.
#pragma once

#include "system_audio/block_stager.h"
#include "system_audio/ov_system_audio.h"
#include "system_audio/sample_rate_converter.h"

#include <atomic>
#include <cstdint>

struct OvPulseCapture;
struct OvAlsaCapture;

struct OvSystemAudio {
    uint32_t sampleRate;            // 44100: the rate of every delivered block
    uint32_t channels;              // set at creation
    uint32_t blockFrames;           // 480
    std::atomic<int> capturing;     // 1 between a successful start and the next stop; written by
                                    // the back end's thread that runs start and stop
    int loopbackMode;               // 1 sound server, 0 ALSA; fixed at creation
    OvPulseCapture *pulse;          // owned; loopback mode only
    OvAlsaCapture *alsa;            // owned; ALSA mode only
    SampleRateConverter *converter; // owned; present when the captured rate is not 44100
    uint8_t *converterOutput;       // owned; one second of output
    int converterOutputBytes;
    AudioBlockStager stager; // capture thread only
    SampleBlockCallback onBlock;
    CaptureLostCallback onLost; // may be null
    void *context;
};

// Sets up the converter when rate is not 44100 (logging as the set-up requires), replacing
// one made for an earlier rate. 1 or 0.
[[nodiscard]] int OvSystemAudioPrepareRate(OvSystemAudio *audio, uint32_t rate);
// Takes one captured packet at the captured rate on the capture thread: converts it when
// needed, stages it and delivers every completed 480-frame block.
void OvSystemAudioDeliver(OvSystemAudio *audio, const int16_t *samples, int frames);

// Sound-server back end (ov_pulse.cpp).
// 1 when a sound server accepts a connection (it is kept for OvPulseOpen), 0 otherwise.
[[nodiscard]] int OvPulseProbe(OvSystemAudio *audio);
[[nodiscard]] int OvPulseOpen(OvSystemAudio *audio);
[[nodiscard]] int OvPulseStart(OvSystemAudio *audio);
int OvPulseStop(OvSystemAudio *audio);
void OvPulseClose(OvSystemAudio *audio);
int OvPulseRestoreStale();

// ALSA back end (ov_alsa.cpp).
[[nodiscard]] int OvAlsaOpen(OvSystemAudio *audio);
[[nodiscard]] int OvAlsaStart(OvSystemAudio *audio);
int OvAlsaStop(OvSystemAudio *audio);
void OvAlsaClose(OvSystemAudio *audio);
