// Test signals, interleaved stereo floats at 44.1 kHz in [-1, 1].
#pragma once

#include <cstdint>
#include <vector>

std::vector<float> SignalSine(double seconds, double freq,
                              double amplitude); // same on both channels
std::vector<float> SignalSweep(double seconds, double f0, double f1, double amplitude);
std::vector<float> SignalWhiteNoise(double seconds, double amplitude, uint32_t seed);
std::vector<float> SignalPinkNoise(double seconds, double amplitude, uint32_t seed);
// 11 tones from 110 Hz to 11 kHz, different phases and levels per channel.
std::vector<float> SignalMultiTone(double seconds);
// Notes that change every 250 ms with decaying envelopes, a bass line and light noise.
std::vector<float> SignalMusicLike(double seconds, uint32_t seed);
// Left a 500 Hz tone, right a 3 kHz tone at another level.
std::vector<float> SignalSplitStereo(double seconds);
// Short decaying noise bursts every 200 ms over near silence: attacks.
std::vector<float> SignalClicks(double seconds, uint32_t seed);
