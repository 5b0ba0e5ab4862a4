#include "tools/receiver/rx_report.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "tools/receiver/rx_log.h"

void StatsAddAnomaly(ReceiverStats *stats, const std::string &text) {
    if (stats->anomalies.size() < 50) stats->anomalies.push_back(text);
}

void StatsAddHeaderProblem(ReceiverStats *stats, const std::string &text) {
    // Each distinct problem is logged and kept once: a sender repeats its headers.
    for (auto &known : stats->senderHeaderProblems)
        if (known == text) return;
    if (stats->senderHeaderProblems.size() >= 20) return;
    RxLog("Sender header check: %s", text.c_str());
    stats->senderHeaderProblems.push_back(text);
}

double Percentile(std::vector<double> samples, double q) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    size_t rank = (size_t)std::ceil(q * samples.size());
    if (rank < 1) rank = 1;
    if (rank > samples.size()) rank = samples.size();
    return samples[rank - 1];
}

static std::string Quote(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c >= 0x7f) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

static std::string Number(double value) {
    if (!std::isfinite(value)) return "null";
    char text[64];
    snprintf(text, sizeof text, "%.15g", value);
    return text;
}

static std::string Count(uint64_t value) {
    return std::to_string(value);
}

static std::string Bool(bool value) {
    return value ? "true" : "false";
}

static std::string Strings(const std::vector<std::string> &texts) {
    std::string out = "[";
    for (size_t i = 0; i < texts.size(); i++)
        out += (i ? ", " : "") + Quote(texts[i]);
    return out + "]";
}

static std::string GeometryJson(const Geometry &g) {
    if (!g.seen) return "null";
    return "{\"width\": " + Number(g.width) + ", \"height\": " + Number(g.height) +
           ", \"left\": " + Number(g.left) + ", \"top\": " + Number(g.top) +
           ", \"right\": " + Number(g.right) + ", \"bottom\": " + Number(g.bottom) + "}";
}

static std::string Spread(const std::vector<double> &seconds) {
    if (seconds.empty()) return "{\"count\": 0}";
    std::vector<double> ms;
    for (double s : seconds)
        ms.push_back(s * 1e3);
    return "{\"count\": " + Count(ms.size()) +
           ", \"min\": " + Number(*std::min_element(ms.begin(), ms.end())) +
           ", \"p50\": " + Number(Percentile(ms, 0.5)) +
           ", \"p99\": " + Number(Percentile(ms, 0.99)) +
           ", \"max\": " + Number(*std::max_element(ms.begin(), ms.end())) + "}";
}

std::string JsonQuote(const std::string &text) {
    return Quote(text);
}

std::string JsonNumber(double value) {
    return Number(value);
}

std::string JsonSpreadMs(const std::vector<double> &seconds) {
    return Spread(seconds);
}

std::string ReportJson(const ReceiverStats &s, const NtpClient &ntp) {
    std::string j = "{\n";
    j += "  \"durationSeconds\": " + Number(RxMonotonic() - s.startMonotonic) + ",\n";
    j += "  \"connections\": {\"http\": " + Count(s.httpConnections) +
         ", \"mirror\": " + Count(s.mirrorConnections) +
         ", \"withoutRequest\": " + Count(s.connectionsWithoutRequest) + "},\n";
    j += "  \"requestCount\": " + Count(s.requestCount) + ",\n";
    j += "  \"requests\": [";
    for (size_t i = 0; i < s.requests.size(); i++) {
        const RequestRecord &r = s.requests[i];
        j += std::string(i ? ",\n" : "\n") + "    {\"port\": " + std::to_string(r.port) +
             ", \"peer\": " + Quote(r.peer) + ", \"method\": " + Quote(r.method) +
             ", \"uri\": " + Quote(r.uri) + ", \"status\": " + std::to_string(r.status) +
             ", \"headers\": {";
        for (size_t h = 0; h < r.headers.size(); h++) {
            // A repeated name stays visible as "name#2" instead of a duplicate JSON key.
            int seen = 1;
            for (size_t k = 0; k < h; k++)
                seen += strcasecmp(r.headers[k].first.c_str(), r.headers[h].first.c_str()) == 0;
            std::string name = r.headers[h].first;
            if (seen > 1) name += "#" + std::to_string(seen);
            j += (h ? ", " : "") + Quote(name) + ": " + Quote(r.headers[h].second);
        }
        j += "}}";
    }
    j += s.requests.empty() ? "],\n" : "\n  ],\n";
    j += "  \"badRequests\": " + Count(s.badRequests) + ",\n";
    j += "  \"streamXmlServed\": " + Count(s.streamXmlServed) + ",\n";
    j += "  \"busyRefusals\": " + Count(s.busyRefusals) + ",\n";
    j += "  \"notFound\": " + Count(s.notFound) + ",\n";
    std::string authResult = s.authResult.empty() ? "none" : s.authResult;
    j += "  \"auth\": {\"result\": " + Quote(authResult) +
         ", \"challenges\": " + Count(s.challenges) + ", \"accepted\": " + Count(s.authAccepted) +
         ", \"refused\": " + Count(s.authRefused) + ", \"user\": " + Quote(s.authUser) +
         ", \"lastProblem\": " + Quote(s.lastAuthProblem) + "},\n";
    j += "  \"senderHeaders\": {\"checked\": " + Count(s.senderHeadersChecked) +
         ", \"ok\": " + Bool(s.senderHeadersChecked && s.senderHeaderProblems.empty()) +
         ", \"problems\": " + Strings(s.senderHeaderProblems) + "},\n";
    j += "  \"postStream\": {\"received\": " + Count(s.streamPosts) +
         ", \"checked\": " + Bool(s.postChecked) + ", \"ok\": " + Bool(s.postChecked && s.postOk) +
         ", \"bodyLength\": " + Count(s.postBodyLength) +
         ", \"problems\": " + Strings(s.postProblems) + "},\n";
    j += "  \"packets\": {\"total\": " + Count(s.packets) +
         ", \"video\": " + Count(s.videoPackets) + ", \"codec\": " + Count(s.codecPackets) +
         ", \"heartbeat\": " + Count(s.heartbeats) + ", \"unknown\": " + Count(s.unknownPackets) +
         ", \"oversized\": " + Count(s.oversizedPackets) +
         ", \"headerAnomalies\": " + Count(s.headerAnomalies) +
         ", \"badCodecPayloads\": " + Count(s.badCodecPayloads) +
         ", \"badVideoPayloads\": " + Count(s.badVideoPayloads) +
         ", \"picturesBeforeCodec\": " + Count(s.picturesBeforeCodec) +
         ", \"truncatedStreams\": " + Count(s.truncatedStreams) +
         ", \"payloadBytes\": " + Count(s.payloadBytes) + "},\n";
    j += "  \"packetSequence\": " + Quote(s.packetSequence) + ",\n";
    j += "  \"timestampRegressions\": " + Count(s.timestampRegressions) + ",\n";
    j += "  \"heartbeatTiming\": {\"firstAfterSeconds\": " +
         (s.heartbeats ? Number(s.firstHeartbeatAfter) : std::string("null")) +
         ", \"minGapSeconds\": " +
         (s.heartbeatMinGap >= 0 ? Number(s.heartbeatMinGap) : std::string("null")) + "},\n";
    j += "  \"codecPackets\": " + Count(s.codecPackets) + ",\n";
    j += "  \"heartbeats\": " + Count(s.heartbeats) + ",\n";
    j += "  \"framesDecoded\": " + Count(s.video.framesDecoded) + ",\n";
    j += "  \"decodeErrors\": " + Count(s.video.decodeErrors) + ",\n";
    j += "  \"sizeMismatches\": " + Count(s.sizeMismatches) + ",\n";
    j += "  \"decodedSize\": {\"width\": " + std::to_string(s.video.width) +
         ", \"height\": " + std::to_string(s.video.height) + "},\n";
    j += "  \"lastVideoGeometry\": " + GeometryJson(s.lastVideo) + ",\n";
    j += "  \"lastCodecGeometry\": " + GeometryJson(s.lastCodec) + ",\n";
    j += "  \"avc\": {\"profile\": " + std::to_string(s.avcProfile) +
         ", \"level\": " + std::to_string(s.avcLevel) +
         ", \"sps\": " + std::to_string(s.avcSpsCount) +
         ", \"pps\": " + std::to_string(s.avcPpsCount) + "},\n";
    j += "  \"latencyMs\": " + Spread(s.latencies) + ",\n";
    // With another machine's clock, the timing exchange's median offset (sender
    // minus receiver) takes the clock difference out of the latency.
    std::vector<double> corrected;
    if (!ntp.offsets.empty()) {
        double offset = Percentile(ntp.offsets, 0.5);
        for (double latency : s.latencies)
            corrected.push_back(latency + offset);
    }
    j += "  \"latencyCorrectedMs\": " + Spread(corrected) + ",\n";
    // The rate while pictures flowed, start-up and teardown left out.
    double span = s.lastVideoArrival - s.firstVideoArrival;
    j += "  \"videoRate\": {\"spanSeconds\": " + Number(span) + ", \"picturesPerSecond\": " +
         Number(span > 0 && s.videoPackets > 1 ? (double)(s.videoPackets - 1) / span : 0) + "},\n";
    j += "  \"timecode\": {\"screenToArrivalMs\": " + Spread(s.screenToArrival) +
         ", \"screenToPictureMs\": " + Spread(s.screenToPicture) +
         ", \"repeated\": " + Count(s.timecodesRepeated) +
         ", \"unreadable\": " + Count(s.video.timecodesUnreadable) + "},\n";
    std::string target = "";
    if (ntp.target.sin_family == AF_INET) {
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &ntp.target.sin_addr, text, sizeof text);
        target = std::string(text) + ":" + std::to_string(ntohs(ntp.target.sin_port));
    }
    j += "  \"ntp\": {\"target\": " + Quote(target) + ", \"requests\": " + Count(ntp.requests) +
         ", \"replies\": " + Count(ntp.replies) + ", \"badReplies\": " + Count(ntp.badReplies) +
         ", \"stratum\": " + std::to_string(ntp.lastStratum) +
         ", \"refid\": " + Quote(ntp.lastRefid) +
         ",\n    \"roundTripMs\": " + Spread(ntp.roundTrips) +
         ",\n    \"offsetMs\": " + Spread(ntp.offsets) + "},\n";
    j += "  \"audio\": " + (s.audioJson.empty() ? std::string("null") : s.audioJson) + ",\n";
    j += "  \"anomalies\": " + Strings(s.anomalies) + ",\n";
    j += "  \"png\": {\"path\": " + Quote(s.pngPath) + ", \"written\": " + Bool(s.pngWritten) +
         "},\n";
    j += "  \"record\": {\"path\": " + Quote(s.recordPath) +
         ", \"pictures\": " + Count(s.video.framesRecorded) +
         ", \"failed\": " + Bool(s.video.recordFailed) + "}\n";
    j += "}\n";
    return j;
}

bool ReportWrite(const ReceiverStats &stats, const NtpClient &ntp, const std::string &path) {
    std::string text = ReportJson(stats, ntp);
    std::string temporary = path + ".tmp";
    FILE *file = fopen(temporary.c_str(), "wb");
    if (!file) {
        RxLog("Cannot create report %s: %s", temporary.c_str(), strerror(errno));
        return false;
    }
    bool ok = fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = fclose(file) == 0 && ok;
    // Renamed into place so that a reader never sees half a report.
    if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
        RxLog("Writing report %s failed", path.c_str());
        unlink(temporary.c_str());
        return false;
    }
    RxLog("Report written to %s", path.c_str());
    return true;
}
