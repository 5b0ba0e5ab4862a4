// How old a picture is when the mirroring connection stamps it: the time from reading the
// screen to the stream clock read for its packet (waiting in the pipeline, scaling,
// encoding, queueing). The receiver shows a picture at its stamp, so the picture's content
// is late by this much; the sound is timed that much later to stay with it. A median of the
// recent pictures keeps one slow picture from moving it; the stream's first picture, made
// while the encoder starts up, does not count, and a median of fewer than
// kPictureDelayMinCount pictures is not believed. Pure; the owner serialises.
#pragma once

#include <cstdint>

constexpr int kPictureDelayWindow = 31;
constexpr int kPictureDelayMinCount = 5;

struct PictureDelay {
    int64_t ages[kPictureDelayWindow]; // microseconds, the last pictures in arrival order
    int32_t count;                     // filled entries, up to the window
    int32_t next;                      // slot of the next age
    int64_t pictures;                  // ages offered, the first included
};

// Adds the age of one picture (negative ages count as 0), except the first one offered.
void PictureDelayAdd(PictureDelay *delay, int64_t ageMicros);
// Median of the ages held; -1 while fewer than kPictureDelayMinCount are held.
int64_t PictureDelayMedian(const PictureDelay *delay);
