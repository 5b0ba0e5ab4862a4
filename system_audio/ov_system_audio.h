// System audio capture: what the PC plays, handed on as blocks of 480 frames of 16-bit
// interleaved samples at 44100 Hz.
//
// With a sound server (PulseAudio, or PipeWire's pulse server) the playback streams are
// sent to a private null sink while capturing, so the PC's own output goes silent, and
// that sink's monitor is recorded; everything is put back at stop. A lost connection to
// the server (the server crashed or restarted, or dropped this client) is mended: the
// capture connects again, puts back what the old connection left and takes the output
// over anew. A run that was killed
// leaves its private sink marked with what to restore; the next create puts it back.
// Without a sound server, ALSA records from a loopback device or from the card's "Stereo
// Mix"-like capture source.
//
// The object is created, started, stopped and closed by one thread at a time; blocks
// arrive on the capture thread, concurrently with that caller.
#pragma once

#include <cstdint>

struct OvSystemAudio;

// samples: frames × channels interleaved 16-bit values; bytes: the byte count of the block.
// Runs on the capture thread and must not block for long.
typedef void (*SampleBlockCallback)(OvSystemAudio *capture, const int16_t *samples, int frames,
                                    int bytes, void *context);

// Runs on the capture thread, once, when the capture gives up: its sound server went away
// and did not come back within kOvCaptureReconnectMs. No block follows.
typedef void (*CaptureLostCallback)(OvSystemAudio *capture, void *context);

// How long a sound-server capture tries to connect again after losing its server (crashed,
// restarted, or dropped the connection) before it gives up. A service manager's restart of
// PulseAudio or PipeWire takes one to two seconds; longer than this, the listener has had
// silence long enough that ending the sound, visibly, serves them better than waiting.
constexpr int kOvCaptureReconnectMs = 5000;

// Creates and opens the capture (channels 1 or 2). Returns 1 with the object, or 0 with none
// after logging the reason.
[[nodiscard]] int OvSystemAudioCreate(OvSystemAudio **out, int channels,
                                      SampleBlockCallback onBlock, void *context);
// onLost (with the creation's context) is called when the capture gives up; set it before
// the start.
void OvSystemAudioSetLostCallback(OvSystemAudio *capture, CaptureLostCallback onLost);
// 1 when blocks flow (or will once there is a device), 0 on failure.
[[nodiscard]] int OvSystemAudioStart(OvSystemAudio *capture);
// Stops delivering blocks and gives the PC its output back. 1, or 0 when an ALSA stop fails.
int OvSystemAudioStop(OvSystemAudio *capture);
// Stops, ends the capture thread and releases everything; null is ignored.
void OvSystemAudioClose(OvSystemAudio *capture);
// 1 when the capture runs through the sound server, 0 through ALSA.
int OvSystemAudioIsLoopback(const OvSystemAudio *capture);

// Puts back what a killed run left in its private sink: the default sink and the streams
// it held. Create runs it too; the program may call it at start-up. Returns the number of
// private sinks removed, or -1 when no sound server answers.
int OvSystemAudioRestoreStale();
