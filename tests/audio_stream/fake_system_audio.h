// A system-audio driver for tests: StartSystemAudio and StopSystemAudio record what the
// stream asks for, and the test plays the capture thread by pushing frames it chooses.
#pragma once

#include <cstdint>

// Delivers one frame to the started stream's handler on the calling thread, as the capture
// thread would. Returns false when no driver is started.
bool FakeSystemAudioPush(const uint8_t *payload, int64_t length, uint64_t captureTime);
int FakeSystemAudioStarts();
int FakeSystemAudioStops();
