// System audio capture: what the PC plays, handed on as blocks of 480 frames of 16-bit
// interleaved samples at 44100 Hz.
//
// With a sound server (PulseAudio, or PipeWire's pulse server) the playback streams are
// sent to a private null sink while capturing, so the PC's own output goes silent, and
// that sink's monitor is recorded; everything is put back at stop. A run that was killed
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

// Creates and opens the capture (channels 1 or 2). Returns 1 with the object, or 0 with none
// after logging the reason.
[[nodiscard]] int OvSystemAudioCreate(OvSystemAudio **out, int channels,
                                      SampleBlockCallback onBlock, void *context);
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
