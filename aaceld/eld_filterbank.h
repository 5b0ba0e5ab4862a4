// Low-delay analysis filterbank of the encoder: 1920-sample window, 480 lines per frame.
// Stateless apart from constant tables built on first use (thread-safe static init).
#pragma once

// Spectrum of one frame. `history` holds the last 1800 input samples, oldest first, in
// 16-bit PCM units; the window's final 120 taps are zero, so the block is taken that much
// later and the 120 newest positions are never read. `spectrum` receives 480 lines scaled
// so that the decoder's synthesis restores the input.
void EldAnalyze(const float *history, float *spectrum);

// Forward complex DFT of 240 points, in place: out[k] = sum in[n] exp(-2 pi i n k / 240).
// `re` and `im` hold 240 values each. Exposed for testing the fast transform.
void EldFft240(float *re, float *im);

// Type-IV cosine transform of 480 points: out[k] = scale * sum in[n] cos(pi/480 (n+1/2)(k+1/2)).
void EldDct4(const float *in, float *out, float scale);

constexpr int kEldHistoryLength = 1800;
