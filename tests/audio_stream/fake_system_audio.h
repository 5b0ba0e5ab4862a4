// A system-audio driver for tests: StartSystemAudio and StopSystemAudio record what the
// stream asks for, and the test plays the capture thread by pushing frames it chooses.
#pragma once

#include <cstdint>

// Delivers one frame to the started stream's handler on the calling thread, as the capture
// thread would. Returns false when no driver is started.
bool FakeSystemAudioPush(const uint8_t *payload, int64_t length, uint64_t captureTime);
int FakeSystemAudioStarts();
int FakeSystemAudioStops();
// From now on a start stops in the middle (before the stream has the driver) until
// FakeSystemAudioReleaseStarts, as a real start does while it takes the output over.
void FakeSystemAudioHoldStarts();
// Waits up to timeoutMs for a start to be held; true when one is.
bool FakeSystemAudioWaitStartHeld(int timeoutMs);
void FakeSystemAudioReleaseStarts();
// While fail is set, starts fail as a capture that cannot start does.
void FakeSystemAudioFailStarts(bool fail);
// Reports the started capture lost, as its thread does once the sound server is gone for
// good. False when no driver is started.
bool FakeSystemAudioLose();
