// Connects the controller to the audio stream: the ops it toggles a live connection's
// audio with, and the stream table every mirroring connection starts its audio with.
#pragma once

#include "shell/controller.h"

extern const ControllerAudioOps kAudioStreamOps;
// The audio stream's own table (MirroringAudioOps) for ControllerSetAudio.
const MirroringAudioOps *AudioStreamTable();
