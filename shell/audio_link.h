// Connects the controller to the audio stream: the ops it toggles a live connection's
// audio with, and the stream table every mirroring connection starts its audio with.
#pragma once

#include "shell/controller.h"

extern const ControllerAudioOps kAudioStreamOps;
// The audio stream's table (MirroringAudioOps) for ControllerSetAudio. The state reads above
// go through the audio stream's own slot lock, so the menu never reads a connection another
// thread is freeing.
const MirroringAudioOps *AudioStreamTable();
