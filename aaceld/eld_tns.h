// Temporal noise shaping: a prediction filter run across the spectrum of a frame whose
// signal changes sharply in time (an attack), so that the decoder's inverse filter shapes
// the quantisation noise like the signal's envelope instead of spreading it over the
// whole window.
#pragma once

#include "aaceld/eld_bitstream.h"

// First band the filter covers (about 1.4 kHz at 44.1 kHz).
constexpr int kEldTnsStartBand = 8;

// Highest band (exclusive) a decoder filters in 480-line frames: 32 at 44.1 kHz, 31 at
// 48 kHz. Filtering lines beyond it would leave them distorted after decoding.
[[nodiscard]] int EldTnsTopBand(int sampleRate, int bandLimit);

// Decides whether a filter pays off for this spectrum; if so filters `spectrum` in place
// over bands kEldTnsStartBand..topBand-1 and describes the filter in `filter` (order 0
// when no filter is used). Returns 1 when a filter is used.
int EldTnsAnalyze(float *spectrum, int topBand, EldTnsFilter *filter);

// What the decoder does: the inverse (all-pole) filter over the same lines. For tests.
void EldTnsSynthesize(float *spectrum, int topBand, const EldTnsFilter *filter);
