#include "mirroring/picture_delay.h"

#include <algorithm>

void PictureDelayAdd(PictureDelay *delay, int64_t ageMicros) {
    if (delay->pictures++ == 0) return;
    delay->ages[delay->next] = ageMicros < 0 ? 0 : ageMicros;
    delay->next = (delay->next + 1) % kPictureDelayWindow;
    if (delay->count < kPictureDelayWindow) delay->count++;
}

int64_t PictureDelayMedian(const PictureDelay *delay) {
    if (delay->count < kPictureDelayMinCount) return -1;
    int64_t sorted[kPictureDelayWindow];
    std::copy(delay->ages, delay->ages + delay->count, sorted);
    std::nth_element(sorted, sorted + delay->count / 2, sorted + delay->count);
    return sorted[delay->count / 2];
}
