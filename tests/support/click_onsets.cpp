#include "tests/support/click_onsets.h"

#include <cmath>
#include <cstdlib>

void ClickOnsetsPush(ClickOnsetFinder *f, const int16_t *samples, size_t frames,
                     std::vector<int64_t> *onsets) {
    for (size_t i = 0; i < frames; i++) {
        bool loud = false;
        for (int c = 0; c < f->channels; c++)
            loud = loud || std::abs((int)samples[i * (size_t)f->channels + (size_t)c]) >= f->level;
        int64_t index = f->frames + (int64_t)i;
        if (!loud) continue;
        if (f->lastLoud < 0 || index - f->lastLoud > f->quietFrames) onsets->push_back(index);
        f->lastLoud = index;
    }
    f->frames += (int64_t)frames;
}

std::vector<int16_t> MakeClickTrain(int count, int64_t firstFrame, int64_t periodFrames, int rate) {
    const int64_t clickFrames = rate / 200;
    std::vector<int16_t> out((size_t)(firstFrame + periodFrames * count) * 2, 0);
    for (int k = 0; k < count; k++) {
        int64_t start = firstFrame + periodFrames * k;
        for (int64_t i = 0; i < clickFrames; i++) {
            // Starts at its peak so that the onset is the click's first sample.
            int16_t v =
                (int16_t)std::lrint(16384.0 * std::cos(2 * M_PI * 1000.0 * (double)i / rate));
            out[(size_t)(start + i) * 2] = v;
            out[(size_t)(start + i) * 2 + 1] = v;
        }
    }
    return out;
}
