#include "tools/receiver/rx_avsync.h"

#include <cmath>

#include "tools/receiver/rx_audio_packets.h"

bool RtpToStreamClock(const std::vector<RtpClockPoint> &ties, uint32_t rtpTime, double *seconds) {
    if (ties.empty()) return false;
    const RtpClockPoint *best = nullptr;
    int32_t bestDelta = 0;
    for (const RtpClockPoint &tie : ties) {
        int32_t delta = (int32_t)(rtpTime - tie.rtpTime);
        if (delta >= 0 && (!best || bestDelta < 0 || delta < bestDelta)) {
            best = &tie;
            bestDelta = delta;
        } else if (delta < 0 && (!best || (bestDelta < 0 && delta > bestDelta))) {
            best = &tie;
            bestDelta = delta;
        }
    }
    *seconds = best->streamSeconds + (double)bestDelta / kAudioSampleRate;
    return true;
}

std::vector<double> FindFlashes(const std::vector<std::pair<double, double>> &luma) {
    std::vector<double> flashes;
    for (size_t i = 1; i < luma.size(); i++) {
        if (luma[i].second - luma[i - 1].second < 40) continue;
        if (!flashes.empty() && luma[i].first - flashes.back() < 0.3) continue;
        flashes.push_back(luma[i].first);
    }
    return flashes;
}

AvSyncResult AvSyncPair(const std::vector<double> &flashes, const std::vector<double> &clicks,
                        double maxDistance) {
    AvSyncResult result{flashes.size(), clicks.size(), {}};
    std::vector<bool> used(clicks.size(), false);
    for (double flash : flashes) {
        size_t best = clicks.size();
        for (size_t i = 0; i < clicks.size(); i++) {
            if (used[i] || std::fabs(clicks[i] - flash) > maxDistance) continue;
            if (best == clicks.size() ||
                std::fabs(clicks[i] - flash) < std::fabs(clicks[best] - flash))
                best = i;
        }
        if (best == clicks.size()) continue;
        used[best] = true;
        result.offsets.push_back(clicks[best] - flash);
    }
    return result;
}
