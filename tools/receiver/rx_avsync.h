// The audio-to-video offset of a sync test: screen flashes found in the decoded pictures,
// clicks found in the decoded sound, both on the stream clock, paired up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// One sync packet's tie between RTP time and the stream clock (seconds).
struct RtpClockPoint {
    uint32_t rtpTime;
    double streamSeconds;
};

// Stream-clock seconds of an RTP time through the latest tie at or before it (the first
// tie when all come later). False without any tie.
bool RtpToStreamClock(const std::vector<RtpClockPoint> &ties, uint32_t rtpTime, double *seconds);

// Times of the pictures where the mean luma jumps up by at least 40 (of 255) over the
// picture before, at least 300 ms after the previous such jump. luma: (seconds, mean).
std::vector<double> FindFlashes(const std::vector<std::pair<double, double>> &luma);

struct AvSyncResult {
    size_t flashes;
    size_t clicks;
    std::vector<double> offsets; // seconds, click minus flash, one per pair
};
// Pairs each flash with the nearest click within maxDistance seconds; each click is used
// once.
AvSyncResult AvSyncPair(const std::vector<double> &flashes, const std::vector<double> &clicks,
                        double maxDistance);
