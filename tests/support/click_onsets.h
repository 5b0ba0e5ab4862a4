// Finding clicks in recorded sound, for measuring how long a sound takes from the PC to a
// receiver's output: a click is a sample at or above a level after a stretch of quiet.
// Shared by the tests and the speaker benchmark; no program code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ClickOnsetFinder {
    int channels = 2;
    int level = 3277;            // |sample| that counts as sound: -20 dBFS
    int64_t quietFrames = 13230; // quiet before a new click: 300 ms at 44100 Hz
    // State across pushes.
    int64_t frames = 0;    // frames seen so far
    int64_t lastLoud = -1; // frame index of the last loud sample, -1 before any
};

// Adds frames of interleaved 16-bit samples; appends the frame index (counted from the first
// frame ever pushed) of every click that begins in them to onsets.
void ClickOnsetsPush(ClickOnsetFinder *finder, const int16_t *samples, size_t frames,
                     std::vector<int64_t> *onsets);

// Writes a click train into interleaved 16-bit stereo: count clicks of 5 ms of a 1 kHz tone at
// half of full scale, periodFrames apart, the first at firstFrame. Returns the samples.
std::vector<int16_t> MakeClickTrain(int count, int64_t firstFrame, int64_t periodFrames, int rate);
