#include "eld_signals.h"

#include <cmath>
#include <random>

static constexpr double kRate = 44100.0;

// Whole 480-sample frames, so every input sample reaches the decoder.
static size_t Frames(double seconds) {
    return (size_t)(seconds * kRate) / 480 * 480;
}

std::vector<float> SignalSine(double seconds, double freq, double amplitude) {
    std::vector<float> out(2 * Frames(seconds));
    for (size_t i = 0; i < out.size() / 2; i++) {
        float v = (float)(amplitude * sin(2 * M_PI * freq * i / kRate));
        out[2 * i] = out[2 * i + 1] = v;
    }
    return out;
}

std::vector<float> SignalSweep(double seconds, double f0, double f1, double amplitude) {
    std::vector<float> out(2 * Frames(seconds));
    const double k = log(f1 / f0) / seconds;
    for (size_t i = 0; i < out.size() / 2; i++) {
        double t = i / kRate;
        float v = (float)(amplitude * sin(2 * M_PI * f0 * (exp(k * t) - 1.0) / k));
        out[2 * i] = out[2 * i + 1] = v;
    }
    return out;
}

std::vector<float> SignalWhiteNoise(double seconds, double amplitude, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> out(2 * Frames(seconds));
    for (float &v : out)
        v = (float)amplitude * dist(rng);
    return out;
}

std::vector<float> SignalPinkNoise(double seconds, double amplitude, uint32_t seed) {
    // Sum of octave-spaced random holds: a 1/f-like spectrum.
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> out(2 * Frames(seconds));
    for (int c = 0; c < 2; c++) {
        float rows[12] = {0};
        for (size_t i = 0; i < out.size() / 2; i++) {
            float sum = 0;
            for (int r = 0; r < 12; r++) {
                if ((i & ((1u << r) - 1)) == 0) rows[r] = dist(rng);
                sum += rows[r];
            }
            out[2 * i + c] = (float)amplitude * sum / 12.0f;
        }
    }
    return out;
}

std::vector<float> SignalMultiTone(double seconds) {
    std::vector<float> out(2 * Frames(seconds));
    for (int t = 0; t < 11; t++) {
        double f = 110.0 * pow(100.0, t / 10.0);
        for (int c = 0; c < 2; c++) {
            double a = 0.06 * (c == 0 ? 1.0 : 0.7) * (1.0 - 0.05 * t), ph = 0.7 * t + 1.9 * c;
            for (size_t i = 0; i < out.size() / 2; i++)
                out[2 * i + c] += (float)(a * sin(2 * M_PI * f * i / kRate + ph));
        }
    }
    return out;
}

std::vector<float> SignalMusicLike(double seconds, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> note(0, 24);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    std::vector<float> out(2 * Frames(seconds));
    const size_t noteLength = Frames(0.25);
    double freqs[3] = {220, 277, 330}, bass = 55;
    for (size_t i = 0; i < out.size() / 2; i++) {
        size_t inNote = i % noteLength;
        if (inNote == 0) {
            for (double &f : freqs)
                f = 220.0 * pow(2.0, note(rng) / 12.0);
            bass = 55.0 * pow(2.0, note(rng) / 24.0);
        }
        double env = exp(-3.0 * inNote / noteLength), t = i / kRate;
        double l = 0, r = 0;
        for (int k = 0; k < 3; k++) {
            for (int h = 1; h <= 6; h++) {
                double v = env * 0.08 / h * sin(2 * M_PI * freqs[k] * h * t);
                l += v * (k == 0 ? 1.0 : 0.6);
                r += v * (k == 2 ? 1.0 : 0.6);
            }
        }
        double b = 0.2 * sin(2 * M_PI * bass * t);
        out[2 * i] = (float)(l + b + 0.01 * noise(rng));
        out[2 * i + 1] = (float)(r + b + 0.01 * noise(rng));
    }
    return out;
}

std::vector<float> SignalSplitStereo(double seconds) {
    std::vector<float> out(2 * Frames(seconds));
    for (size_t i = 0; i < out.size() / 2; i++) {
        out[2 * i] = (float)(0.5 * sin(2 * M_PI * 500 * i / kRate));
        out[2 * i + 1] = (float)(0.2 * sin(2 * M_PI * 3000 * i / kRate));
    }
    return out;
}

std::vector<float> SignalClicks(double seconds, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> out(2 * Frames(seconds));
    const size_t period = (size_t)(0.2 * kRate);
    for (size_t i = 0; i < out.size() / 2; i++) {
        // Onsets fall at varying positions within the 480-sample frames.
        size_t t = (i + 137) % period;
        float env = (float)(0.8 * exp(-(double)t / 300.0));
        out[2 * i] = env * dist(rng);
        out[2 * i + 1] = env * dist(rng);
    }
    return out;
}
