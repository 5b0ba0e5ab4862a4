// What the receiver saw, and the JSON report written at exit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/receiver/rx_ntp.h"
#include "tools/receiver/rx_video.h"

struct RequestRecord {
    int port;
    std::string peer;
    std::string method;
    std::string uri;
    int status;
    std::vector<std::pair<std::string, std::string>> headers;
};

struct Geometry {
    bool seen;
    float width, height, left, top, right, bottom;
};

struct ReceiverStats {
    double startMonotonic;
    // Connections.
    uint64_t httpConnections;   // on the first (7000) port
    uint64_t mirrorConnections; // on the second (7100) port
    uint64_t connectionsWithoutRequest;
    // HTTP.
    std::vector<RequestRecord> requests; // the first 64
    uint64_t requestCount;
    uint64_t badRequests;
    uint64_t streamXmlServed;
    uint64_t busyRefusals;
    uint64_t notFound;
    // Authentication.
    uint64_t challenges;
    uint64_t authAccepted;
    uint64_t authRefused;
    std::string authUser;
    std::string authResult; // outcome of the last check: "accepted" or "refused"
    std::string lastAuthProblem;
    // Headers of the sender's GET /stream.xml and POST /stream.
    uint64_t senderHeadersChecked;
    std::vector<std::string> senderHeaderProblems; // the first 20
    // POST /stream.
    uint64_t streamPosts;
    bool postChecked;
    bool postOk;
    size_t postBodyLength;
    std::vector<std::string> postProblems;
    // Stream packets.
    uint64_t packets;
    uint64_t videoPackets;
    uint64_t codecPackets;
    uint64_t heartbeats;
    uint64_t unknownPackets;
    uint64_t oversizedPackets; // payload beyond the limit: the connection was dropped
    uint64_t headerAnomalies;  // packets whose header deviated from the expected layout
    uint64_t badCodecPayloads;
    uint64_t badVideoPayloads;
    uint64_t picturesBeforeCodec;
    uint64_t payloadBytes;
    uint64_t truncatedStreams;
    uint64_t sizeMismatches; // decoded pictures whose size differs from their header's  //
                             // connection closed in the middle of a packet
    std::vector<std::string> anomalies; // the first 50 texts
    std::string packetSequence;    // first 200 packet types: C codec, V video, H heartbeat, ? other
    uint64_t timestampRegressions; // video timestamps earlier than the one before
    double firstHeartbeatAfter;    // seconds from the connection's opening to its first heartbeat
    double heartbeatMinGap;        // shortest time between two heartbeats; -1 before two
    Geometry lastVideo;
    Geometry lastCodec;
    int avcProfile, avcLevel, avcSpsCount, avcPpsCount;
    std::vector<double> latencies; // seconds, packet timestamp to arrival, per video packet
    // With a benchmark's time code on the screen: seconds from painting to the arrival of
    // the packet that carried the picture, and to the decoded picture; pictures whose code
    // repeated the previous one (a screen that did not change) are counted, not timed.
    double firstVideoArrival; // monotonic seconds; 0 before the first video packet
    double lastVideoArrival;
    std::vector<double> screenToArrival;
    std::vector<double> screenToPicture;
    uint64_t timecodesRepeated;
    uint32_t lastTimecode;
    // Filled at exit.
    VideoStats video;
    bool pngWritten;
    std::string pngPath;
    std::string recordPath;
    std::string audioJson; // the audio side's report object, filled at exit; empty: null
};

void StatsAddAnomaly(ReceiverStats *stats, const std::string &text);
void StatsAddHeaderProblem(ReceiverStats *stats, const std::string &text);

// Writes the report; false with a log line on failure.
[[nodiscard]] bool ReportWrite(const ReceiverStats &stats, const NtpClient &ntp,
                               const std::string &path);
// The same document as text.
std::string ReportJson(const ReceiverStats &stats, const NtpClient &ntp);

// Pieces of the JSON document, for the parts other modules write.
std::string JsonQuote(const std::string &text);
std::string JsonNumber(double value);
// {"count", "min", "p50", "p99", "max"} in milliseconds of samples given in seconds.
std::string JsonSpreadMs(const std::vector<double> &seconds);

// Value at fraction q (0..1) of the sorted samples, nearest rank; 0 when empty.
double Percentile(std::vector<double> samples, double q);
