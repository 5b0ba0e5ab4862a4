#include "tools/receiver/rx_audio_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "tools/receiver/rx_audio.h"
#include "tools/receiver/rx_audio_packets.h"
#include "tools/receiver/rx_avsync.h"
#include "tools/receiver/rx_conn.h"
#include "tools/receiver/rx_control.h"
#include "tools/receiver/rx_http.h"
#include "tools/receiver/rx_log.h"
#include "tools/receiver/rx_rtsp.h"
#include "tools/receiver/rx_video.h"

namespace {

constexpr size_t kMaxRtspConnections = 16;
constexpr size_t kMaxTies = 100000;
// The sender's own latency when the receiver names none.
constexpr int kDefaultSenderLatency = 2205;
// A late request goes out this many packets after the packet it asks for.
constexpr int kLateDistance = 40;

struct RtspConnection : RxConn {
    bool setup;    // SETUP came on this connection: the stream's session ends with it
    bool recorded; // RECORD was answered: later OPTIONS are keep-alives
};

struct AudioCounts {
    uint64_t rtspConnections;
    uint64_t rtspRequests;
    std::map<std::string, uint64_t> methods;
    uint64_t busyRefusals;
    uint64_t badRequests;
    uint64_t keepAlives;
    uint64_t teardowns;
    uint64_t closedByReceiver; // --close-audio-after-packets
    // ANNOUNCE.
    uint64_t announces;
    bool sdpChecked;
    std::vector<std::string> sdpProblems;
    int codec;               // of the last description taken: kRxAacEld, kRxAlac, kRxPcm
    int framesPerPacket;     // its samples per packet
    uint64_t refusedFormats; // descriptions of a format this receiver was told not to play
    // SETUP.
    std::string clientTransport;
    int senderTimingPort;
    int senderControlPort;
    // RECORD.
    uint64_t records;
    std::string recordRtpInfo;
    // SET_PARAMETER.
    bool haveVolume;
    double volume;
    uint64_t volumeRequests;
    uint64_t artworkRequests;
    size_t artworkBytes;
    bool artworkPng;
    uint64_t trackRequests;
    bool haveTrack;
    TrackInfo track;
    std::vector<std::string> trackProblems;
    uint64_t otherParameters;
    // UDP.
    uint64_t dataPackets;
    uint64_t badDataPackets;
    bool haveFirst;
    uint32_t firstSequence;
    uint32_t firstTimestamp;
    uint64_t nonZeroSsrc;
    uint64_t markerSet;
    uint64_t timestampMismatches; // RTP time not one packet's samples per sequence step
    uint64_t syncPackets;
    uint64_t syncFirstFlags; // 0x90 sync packets
    uint64_t syncFlagProblems;
    uint64_t syncLatencyMismatches;
    uint64_t syncBadPackets;
    uint64_t controlUnknown;
    uint64_t retransmitRequests; // datagrams sent
    uint64_t retransmitAsked;    // packets asked for
    uint64_t retransmitBadAnswers;
    uint64_t lateRequests;
    uint64_t lateAnswered;
    uint64_t eventConnections;
    uint64_t eventBytes;
    // Timing.
    uint64_t timingRequests;
    uint64_t timingReplies;
    uint64_t timingBadReplies;
    std::string transmitSecondsForm; // "stream clock" or "unix"
    std::vector<double> timingOffsets;
    std::vector<double> timingRoundTrips;
    std::vector<std::string> anomalies; // the first 30
};

} // namespace

struct AudioServer {
    const ReceiverConfig *config;
    const RxControl *control; // run-time switches; null without a control socket
    ReceiverStats *stats;
    int listener;
    int port;
    int dataFd, controlFd, timingFd, eventListener;
    int dataPort, controlPort, timingPort, eventPort;
    std::vector<std::unique_ptr<RtspConnection>> connections;
    std::vector<int> eventFds;
    std::vector<std::string> issuedNonces;
    // The session.
    bool haveSender;
    in_addr sender;
    double nextTiming;
    uint64_t timingSent[8];
    int timingNext;
    AudioReorder reorder;
    AudioSink *sink;
    uint16_t retransmitCounter;
    std::set<uint16_t> lateWanted;
    std::set<uint16_t> lateSent;
    bool havePrevious;
    uint16_t previousSequence;
    uint32_t previousTimestamp;
    std::vector<RtpClockPoint> ties; // of the current stream
    uint64_t syncsThisStream;
    std::vector<double> clicks; // stream-clock seconds of the onsets mapped so far
    size_t onsetsMapped;
    AudioCounts counts;
    uint64_t framesAtSummary;
};

namespace {

void Anomaly(AudioServer *a, const std::string &text) {
    RxLog("Audio: %s", text.c_str());
    if (a->counts.anomalies.size() < 30) a->counts.anomalies.push_back(text);
}

void Respond(RtspConnection *c, const HttpRequest &request, RequestRecord *record, int status,
             const char *reason, HttpHeaders headers, const std::string &body = "") {
    // Senders of this protocol send no CSeq; one that does gets it back.
    const std::string *cseq = HttpFindHeader(request, "CSeq");
    if (cseq) headers.insert(headers.begin(), {"CSeq", *cseq});
    headers.push_back({"Server", "ostrel-receiver"});
    RxConnRespond(c, request, record, status, reason, headers, body);
}

void SendDatagram(AudioServer *a, int fd, uint16_t port, const uint8_t *bytes, size_t length) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = a->sender;
    to.sin_port = htons(port);
    if (sendto(fd, bytes, length, 0, (sockaddr *)&to, sizeof to) != (ssize_t)length)
        RxLog("Audio: sending a %zu-byte datagram to port %u failed: %s", length, port,
              strerror(errno));
}

void SendRetransmitRequest(AudioServer *a, uint16_t first, uint16_t count, bool late) {
    if (!a->haveSender || a->counts.senderControlPort <= 0) {
        Anomaly(a, "a packet is missing but the sender named no control port to ask");
        return;
    }
    uint8_t request[64];
    size_t length = BuildRetransmitRequest(request, (size_t)a->config->retransmitRequestBytes,
                                           ++a->retransmitCounter, first, count);
    SendDatagram(a, a->controlFd, (uint16_t)a->counts.senderControlPort, request, length);
    a->counts.retransmitRequests++;
    if (!late) a->counts.retransmitAsked += count;
    RxLog("Audio: asked for %s%u packet%s from sequence %u again", late ? "(late) " : "", count,
          count == 1 ? "" : "s", first);
}

void ReleaseFrames(AudioServer *a, double now, bool flush) {
    for (ReleasedFrame &frame : AudioReorderRelease(&a->reorder, now, flush)) {
        if (frame.lost) {
            RxLog("Audio: packet %u never came; silence in its place", (uint16_t)frame.sequence);
            AudioSinkLost(a->sink, frame.timestamp);
        } else {
            AudioSinkFrame(a->sink, frame.timestamp, frame.payload.data(), frame.payload.size());
        }
    }
}

// Clicks heard so far onto the stream clock, through the current stream's sync packets
// (a new stream starts its RTP time afresh).
void MapOnsets(AudioServer *a) {
    const std::vector<uint32_t> &onsets = AudioSinkOnsets(a->sink);
    for (; a->onsetsMapped < onsets.size(); a->onsetsMapped++) {
        double seconds = 0;
        if (RtpToStreamClock(a->ties, onsets[a->onsetsMapped], &seconds))
            a->clicks.push_back(seconds);
    }
}

void StartAudioStream(AudioServer *a) {
    ReleaseFrames(a, RxMonotonic(), true);
    MapOnsets(a);
    a->ties.clear();
    a->syncsThisStream = 0;
    AudioReorderReset(&a->reorder);
    AudioSinkStartStream(a->sink);
    a->havePrevious = false;
    a->lateWanted.clear();
    a->lateSent.clear();
    for (uint16_t sequence : a->config->lateRequests)
        a->lateWanted.insert(sequence);
}

void EndSession(AudioServer *a) {
    ReleaseFrames(a, RxMonotonic(), true);
    if (a->haveSender) RxLog("Audio: session ended; timing requests stopped");
    a->haveSender = false;
}

// --- RTSP requests -------------------------------------------------------------------

bool Authorize(AudioServer *a, RtspConnection *c, const HttpRequest &request,
               RequestRecord *record) {
    HttpHeaders challenge;
    const ReceiverConfig &config = *a->config;
    const std::string &password =
        config.audioPassword.empty() ? config.password : config.audioPassword;
    if (RxConnAuthorize(c, request, password, &a->issuedNonces, a->stats, &challenge)) return true;
    Respond(c, request, record, 401, "Unauthorized", challenge);
    return false;
}

const char *CodecName(int codec) {
    return codec == kRxAlac ? "Apple Lossless" : codec == kRxPcm ? "16-bit samples" : "AAC-ELD";
}

void HandleAnnounce(AudioServer *a, RtspConnection *c, const HttpRequest &request,
                    RequestRecord *record) {
    a->counts.announces++;
    SdpFormat format;
    std::vector<std::string> problems = SdpCheck(request.body, &format);
    const std::string *type = HttpFindHeader(request, "Content-Type");
    if (!type || strcasecmp(type->c_str(), "application/sdp") != 0)
        problems.push_back("Content-Type is \"" + (type ? *type : std::string("(none)")) +
                           "\", expected \"application/sdp\"");
    a->counts.sdpChecked = true;
    a->counts.sdpProblems = problems;
    const std::vector<int> &accepted = a->config->audioCodecs;
    if (format.codec >= 0 &&
        std::find(accepted.begin(), accepted.end(), format.codec) == accepted.end()) {
        // A format this receiver does not play, as a speaker that announced its own refuses it.
        a->counts.refusedFormats++;
        RxLog("%s: session description in %s, which this receiver does not play: 415",
              c->peerText.c_str(), CodecName(format.codec));
        Respond(c, request, record, 415, "Unsupported Media Type", {});
        return;
    }
    if (problems.empty()) {
        a->counts.codec = format.codec;
        a->counts.framesPerPacket = format.framesPerPacket;
        a->reorder.frameSamples = (uint32_t)format.framesPerPacket;
        AudioSinkSetFormat(a->sink, format.codec, format.framesPerPacket, format.alac);
        RxLog("%s: session description: %s, 44100 Hz, 2 channels, %d samples per packet",
              c->peerText.c_str(), CodecName(format.codec), format.framesPerPacket);
    }
    for (auto &problem : problems)
        Anomaly(a, "ANNOUNCE: " + problem);
    Respond(c, request, record, 200, "OK", {});
}

void HandleSetup(AudioServer *a, RtspConnection *c, const HttpRequest &request,
                 RequestRecord *record) {
    const std::string *transport = HttpFindHeader(request, "Transport");
    a->counts.clientTransport = transport ? transport->substr(0, 300) : "";
    long timing = transport ? HeaderParameter(*transport, "timing_port", 65535) : -1;
    long control = transport ? HeaderParameter(*transport, "control_port", 65535) : -1;
    if (!transport) Anomaly(a, "SETUP without a Transport header");
    if (timing <= 0) Anomaly(a, "SETUP Transport names no timing_port");
    if (control <= 0) Anomaly(a, "SETUP Transport names no control_port");
    a->counts.senderTimingPort = (int)timing;
    a->counts.senderControlPort = (int)control;
    for (auto &other : a->connections)
        other->setup = false;
    c->setup = true;
    a->haveSender = true;
    a->sender = c->peer.sin_addr;
    a->nextTiming = 0;
    Respond(c, request, record, 200, "OK",
            {{"Transport",
              "RTP/AVP/UDP;unicast;mode=record;server_port=" + std::to_string(a->dataPort) +
                  ";control_port=" + std::to_string(a->controlPort) + ";timing_port=" +
                  std::to_string(a->timingPort) + ";event_port=" + std::to_string(a->eventPort)},
             {"Session", "1"}});
    RxLog("%s: audio ports: data %d, control %d, timing %d, event %d; the sender's timing %ld, "
          "control %ld",
          c->peerText.c_str(), a->dataPort, a->controlPort, a->timingPort, a->eventPort, timing,
          control);
}

void HandleRecord(AudioServer *a, RtspConnection *c, const HttpRequest &request,
                  RequestRecord *record) {
    a->counts.records++;
    const std::string *info = HttpFindHeader(request, "RTP-Info");
    a->counts.recordRtpInfo = info ? info->substr(0, 200) : "";
    HttpHeaders headers;
    if (a->config->audioLatency > 0)
        headers.push_back({"Audio-Latency", std::to_string(a->config->audioLatency)});
    c->recorded = true;
    StartAudioStream(a);
    Respond(c, request, record, 200, "OK", headers);
}

void HandleSetParameter(AudioServer *a, RtspConnection *c, const HttpRequest &request,
                        RequestRecord *record) {
    const std::string *type = HttpFindHeader(request, "Content-Type");
    std::string kind = type ? *type : "";
    if (strcasecmp(kind.c_str(), "text/parameters") == 0) {
        a->counts.volumeRequests++;
        double volume = 0;
        if (ParseVolume(request.body, &volume)) {
            a->counts.haveVolume = true;
            a->counts.volume = volume;
            RxLog("%s: volume %g", c->peerText.c_str(), volume);
        } else {
            Anomaly(a, "SET_PARAMETER text/parameters without a readable volume line");
        }
    } else if (strcasecmp(kind.c_str(), "image/png") == 0) {
        a->counts.artworkRequests++;
        a->counts.artworkBytes = request.body.size();
        a->counts.artworkPng = LooksLikePng(request.body);
        RxLog("%s: artwork, %zu bytes%s", c->peerText.c_str(), request.body.size(),
              a->counts.artworkPng ? ", PNG" : ", not a PNG");
        if (!a->counts.artworkPng) Anomaly(a, "artwork is not a PNG");
    } else if (strcasecmp(kind.c_str(), "application/x-dmap-tagged") == 0) {
        a->counts.trackRequests++;
        std::vector<std::string> problems;
        TrackInfo track;
        DmapParseTrack((const uint8_t *)request.body.data(), request.body.size(), &track,
                       &problems);
        a->counts.haveTrack = true;
        a->counts.track = track;
        a->counts.trackProblems = problems;
        RxLog("%s: track information: name \"%s\", artist \"%s\", album \"%s\"",
              c->peerText.c_str(), track.name.c_str(), track.artist.c_str(), track.album.c_str());
        for (auto &problem : problems)
            Anomaly(a, "track information: " + problem);
    } else {
        a->counts.otherParameters++;
        Anomaly(a, "SET_PARAMETER with Content-Type \"" + kind.substr(0, 60) + "\"");
    }
    Respond(c, request, record, 200, "OK", {});
}

void HandleRequest(AudioServer *a, RtspConnection *c, const HttpRequest &request) {
    if (RxConnStaysSilent(c, a->config->silentAt, request, c->recorded)) return;
    a->counts.rtspRequests++;
    if (a->counts.methods.size() < 32 || a->counts.methods.count(request.method))
        a->counts.methods[request.method]++;
    RequestRecord record = RxConnBeginRequest(c, a->port, request, a->stats);
    if (request.version != "RTSP/1.0")
        Anomaly(a, request.method + " with version \"" + request.version.substr(0, 20) +
                       "\", expected RTSP/1.0");
    if (Authorize(a, c, request, &record)) {
        const std::string &method = request.method;
        const std::string &busy =
            a->control && !a->control->busyAudio.empty() ? a->control->busyAudio
                                                         : a->config->busyAudio;
        if (!busy.empty() && method == busy) {
            a->counts.busyRefusals++;
            Respond(c, request, &record, 453, "Not Enough Bandwidth", {});
        } else if (method == "OPTIONS") {
            if (c->recorded) a->counts.keepAlives++;
            Respond(c, request, &record, 200, "OK",
                    {{"Public", "ANNOUNCE, SETUP, RECORD, PAUSE, FLUSH, TEARDOWN, OPTIONS, "
                                "GET_PARAMETER, SET_PARAMETER"}});
        } else if (method == "ANNOUNCE") {
            HandleAnnounce(a, c, request, &record);
        } else if (method == "SETUP") {
            HandleSetup(a, c, request, &record);
        } else if (method == "RECORD") {
            HandleRecord(a, c, request, &record);
        } else if (method == "SET_PARAMETER") {
            HandleSetParameter(a, c, request, &record);
        } else if (method == "GET_PARAMETER" || method == "FLUSH") {
            Respond(c, request, &record, 200, "OK", {});
        } else if (method == "TEARDOWN") {
            a->counts.teardowns++;
            Respond(c, request, &record, 200, "OK", {});
            EndSession(a);
        } else {
            Respond(c, request, &record, 501, "Not Implemented", {});
        }
    }
    RxConnKeepRequest(a->stats, &record);
}

void ProcessInput(void *owner, RxConn *conn) {
    AudioServer *a = static_cast<AudioServer *>(owner);
    RtspConnection *c = static_cast<RtspConnection *>(conn);
    size_t position = 0;
    while (!c->dead && !c->closeWhenSent && position < c->in.size()) {
        if (c->silent) {
            position = c->in.size();
            break;
        }
        HttpRequest request;
        std::string error;
        HttpParseResult result = RxConnNextRequest(c, &position, "RTSP/1.0", &request, &error);
        if (result == kHttpIncomplete) break;
        if (result == kHttpBad) {
            a->counts.badRequests++;
            Anomaly(a, "bad RTSP request: " + error + "; answering 400 and closing");
            break;
        }
        HandleRequest(a, c, request);
    }
    RxConnConsume(c, position);
}

void ConnectionEnded(void *, RxConn *c, int error) {
    RxLog("%s: audio connection %s", c->peerText.c_str(),
          error ? strerror(error) : "closed by the peer");
}

constexpr RxConnReader kRtspReader = {ProcessInput, ConnectionEnded};

void Accept(AudioServer *a) {
    for (int budget = 0; budget < 8; budget++) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd = accept4(a->listener, (sockaddr *)&peer, &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (a->connections.size() >= kMaxRtspConnections) {
            RxLog("Audio: refusing a connection: %zu are open already", a->connections.size());
            close(fd);
            continue;
        }
        auto c = std::make_unique<RtspConnection>();
        RxConnInit(c.get(), fd, peer, a->port);
        a->counts.rtspConnections++;
        RxLog("%s: connection accepted on the audio port", c->peerText.c_str());
        a->connections.push_back(std::move(c));
    }
}

// --- UDP ---------------------------------------------------------------------------

void HandleAudioPacket(AudioServer *a, const RtpAudioView &packet, bool retransmit, double now) {
    AudioCounts &k = a->counts;
    if (retransmit && a->lateSent.count(packet.sequence)) {
        k.lateAnswered++;
        Anomaly(a, "packet " + std::to_string(packet.sequence) +
                       " arrived although it had left the sender's history when asked for");
        return;
    }
    if (!retransmit) {
        k.dataPackets++;
        if (!k.haveFirst) {
            k.haveFirst = true;
            k.firstSequence = packet.sequence;
            k.firstTimestamp = packet.timestamp;
            RxLog("Audio: first packet: sequence %u, RTP time %u, %zu bytes", packet.sequence,
                  packet.timestamp, packet.payloadLength);
        }
        if (a->config->closeAudioAfterPackets &&
            k.dataPackets == a->config->closeAudioAfterPackets) {
            RxLog("Audio: closing the audio connection after %llu packets, as asked",
                  (unsigned long long)k.dataPackets);
            for (auto &c : a->connections)
                if (c->recorded) c->dead = true;
            k.closedByReceiver++;
        }
        if (packet.ssrc != 0) k.nonZeroSsrc++;
        if (packet.marker) k.markerSet++;
    }
    int64_t highestBefore = a->reorder.started ? a->reorder.highest : -1;
    uint64_t dropsBefore = a->reorder.deliberateDrops;
    AudioPacketVerdict verdict =
        AudioReorderPacket(&a->reorder, packet.sequence, packet.timestamp, packet.payload,
                           packet.payloadLength, retransmit, now);
    if (a->reorder.deliberateDrops > dropsBefore)
        RxLog("Audio: packet %u refused on purpose", packet.sequence);
    if (retransmit && verdict == kAudioAccepted)
        RxLog("Audio: packet %u arrived again as asked", packet.sequence);
    if (retransmit && verdict == kAudioLate)
        Anomaly(a, "packet " + std::to_string(packet.sequence) +
                       " was answered after its place had been given up");
    // Every new packet is one packet's samples after the one before it.
    if (!retransmit && a->reorder.highest > highestBefore && verdict != kAudioDuplicate) {
        if (a->havePrevious) {
            uint16_t steps = (uint16_t)(packet.sequence - a->previousSequence);
            if (packet.timestamp - a->previousTimestamp !=
                    (uint32_t)steps * a->counts.framesPerPacket &&
                k.timestampMismatches++ < 3)
                Anomaly(a, "packet " + std::to_string(packet.sequence) + " has RTP time " +
                               std::to_string(packet.timestamp) + ", " + std::to_string(steps) +
                               " frames after " + std::to_string(a->previousTimestamp));
        }
        a->havePrevious = true;
        a->previousSequence = packet.sequence;
        a->previousTimestamp = packet.timestamp;
        for (uint16_t wanted : a->lateWanted) {
            if ((uint16_t)(wanted + kLateDistance) != packet.sequence) continue;
            a->lateWanted.erase(wanted);
            a->lateSent.insert(wanted);
            k.lateRequests++;
            SendRetransmitRequest(a, wanted, 1, true);
            break;
        }
    }
    for (auto &[first, count] : AudioReorderTakeRequests(&a->reorder))
        SendRetransmitRequest(a, first, count, false);
    ReleaseFrames(a, now, false);
}

void HandleRetransmitAnswer(AudioServer *a, const uint8_t *data, size_t length, double now) {
    RtpAudioView packet;
    std::string error;
    if (!RetransmitReplyParse(data, length, &packet, &error)) {
        a->counts.retransmitBadAnswers++;
        Anomaly(a, error);
        return;
    }
    HandleAudioPacket(a, packet, true, now);
}

void HandleSync(AudioServer *a, const uint8_t *data, size_t length) {
    AudioCounts &k = a->counts;
    SyncPacket sync;
    std::string error;
    if (!SyncParse(data, length, &sync, &error)) {
        k.syncBadPackets++;
        Anomaly(a, error);
        return;
    }
    bool expectFirst = a->syncsThisStream++ == 0;
    k.syncPackets++;
    if (sync.first) k.syncFirstFlags++;
    if (sync.first != expectFirst && k.syncFlagProblems++ < 3)
        Anomaly(a, std::string("sync packet ") + std::to_string(k.syncPackets) + " starts 0x" +
                       (sync.first ? "90" : "80") + ", expected 0x" + (expectFirst ? "90" : "80"));
    if (sync.field2 != 4 && k.syncFlagProblems++ < 3)
        Anomaly(a, "sync packet with " + std::to_string(sync.field2) + " at bytes 2-3, expected 4");
    int latency = a->config->audioLatency > 0 ? a->config->audioLatency : kDefaultSenderLatency;
    // With a picture the latency is the answer's, for lip sync; a speaker's sender may ask
    // for more than the answer (its output buffer), never less.
    uint32_t asked = sync.rtpTime - sync.rtpMinusLatency;
    bool latencyOk = k.codec == kRxAacEld ? asked == (uint32_t)latency
                                          : asked >= (uint32_t)latency && asked <= 441000;
    if (!latencyOk && k.syncLatencyMismatches++ < 3)
        Anomaly(a, "sync packet: RTP time " + std::to_string(sync.rtpTime) + " minus " +
                       std::to_string(sync.rtpMinusLatency) + " is not the latency " +
                       std::to_string(latency));
    if (a->ties.size() < kMaxTies)
        a->ties.push_back({sync.rtpTime, StreamFixedToSeconds(sync.streamTime)});
    if (k.syncPackets <= 2)
        RxLog("Audio: sync packet: RTP time %u at stream clock %.6f", sync.rtpTime,
              StreamFixedToSeconds(sync.streamTime));
}

void ReadUdp(AudioServer *a, int fd, double now) {
    for (int budget = 0; budget < 256; budget++) {
        uint8_t datagram[65536];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = recvfrom(fd, datagram, sizeof datagram, 0, (sockaddr *)&from, &fromLength);
        if (n < 0) return;
        size_t length = (size_t)n;
        if (fd == a->timingFd) {
            TimingReply reply;
            std::string error;
            uint64_t arrival = StreamClockNowFixed();
            if (!TimingReplyParse(datagram, length, &reply, &error)) {
                a->counts.timingBadReplies++;
                Anomaly(a, error);
                continue;
            }
            int match = -1;
            for (int i = 0; i < 8; i++)
                if (a->timingSent[i] && a->timingSent[i] == reply.originate) match = i;
            if (match < 0) {
                a->counts.timingBadReplies++;
                Anomaly(a, "timing reply echoes a send time never sent");
                continue;
            }
            a->counts.timingReplies++;
            double t1 = StreamFixedToSeconds(reply.originate);
            double t2 = StreamFixedToSeconds(reply.receive);
            double t4 = StreamFixedToSeconds(arrival);
            // The transmit time's seconds may be Unix seconds rather than stream seconds.
            int64_t transmitSeconds = (int64_t)(reply.transmit >> 32);
            int64_t receiveSeconds = (int64_t)(reply.receive >> 32);
            a->counts.transmitSecondsForm =
                std::llabs(transmitSeconds - receiveSeconds) < 5 ? "stream clock"
                : std::llabs(transmitSeconds - receiveSeconds - kStreamClockEpoch) < 5 ? "unix"
                                                                                       : "other";
            if (a->counts.timingOffsets.size() < 100000) {
                a->counts.timingOffsets.push_back(t2 - (t1 + t4) / 2);
                a->counts.timingRoundTrips.push_back(t4 - t1);
            }
            if (a->counts.timingReplies <= 2)
                RxLog("Audio: timing reply, offset %.3f ms, transmit seconds in %s form",
                      (t2 - (t1 + t4) / 2) * 1e3, a->counts.transmitSecondsForm.c_str());
            continue;
        }
        if (length >= 2 && datagram[0] == 0x80 && datagram[1] == 0xD6) {
            HandleRetransmitAnswer(a, datagram, length, now);
        } else if (fd == a->controlFd) {
            if (length >= 2 && datagram[1] == 0xD4) {
                HandleSync(a, datagram, length);
            } else {
                a->counts.controlUnknown++;
                if (a->counts.controlUnknown <= 3)
                    Anomaly(a, "control port: unknown datagram of " + std::to_string(length) +
                                   " bytes");
            }
        } else {
            RtpAudioView packet;
            std::string error;
            if (!RtpAudioParse(datagram, length, &packet, &error)) {
                if (a->counts.badDataPackets++ < 5) Anomaly(a, "data port: " + error);
                continue;
            }
            HandleAudioPacket(a, packet, false, now);
        }
    }
}

void SendTiming(AudioServer *a, double now) {
    if (!a->haveSender || a->counts.senderTimingPort <= 0 || now < a->nextTiming) return;
    a->nextTiming = now + 1.0;
    uint8_t request[32];
    uint64_t stamp = StreamClockNowFixed();
    BuildTimingRequest(request, stamp);
    a->timingSent[a->timingNext] = stamp;
    a->timingNext = (a->timingNext + 1) % 8;
    a->counts.timingRequests++;
    SendDatagram(a, a->timingFd, (uint16_t)a->counts.senderTimingPort, request, sizeof request);
}

std::string Bool(bool value) {
    return value ? "true" : "false";
}

std::string Strings(const std::vector<std::string> &texts) {
    std::string out = "[";
    for (size_t i = 0; i < texts.size(); i++)
        out += (i ? ", " : "") + JsonQuote(texts[i]);
    return out + "]";
}

std::string Count(uint64_t value) {
    return std::to_string(value);
}

} // namespace

AudioServer *AudioServerOpen(const ReceiverConfig *config, ReceiverStats *stats) {
    auto a = std::make_unique<AudioServer>();
    a->config = config;
    a->stats = stats;
    a->listener = RxOpenSocket(SOCK_STREAM, config->bindAddress, config->audioPort, 8, &a->port);
    a->dataFd = RxOpenSocket(SOCK_DGRAM, config->bindAddress, 0, 8, &a->dataPort);
    a->controlFd = RxOpenSocket(SOCK_DGRAM, config->bindAddress, 0, 8, &a->controlPort);
    a->timingFd = RxOpenSocket(SOCK_DGRAM, config->bindAddress, 0, 8, &a->timingPort);
    a->eventListener = RxOpenSocket(SOCK_STREAM, config->bindAddress, 0, 8, &a->eventPort);
    if (a->listener < 0 || a->dataFd < 0 || a->controlFd < 0 || a->timingFd < 0 ||
        a->eventListener < 0) {
        for (int fd : {a->listener, a->dataFd, a->controlFd, a->timingFd, a->eventListener})
            if (fd >= 0) close(fd);
        return nullptr;
    }
    // Bursts of five datagrams per frame must not overflow a small default buffer.
    int size = 1 << 20;
    if (setsockopt(a->dataFd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(a->dataFd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    a->reorder.dropList.insert(config->dropAudio.begin(), config->dropAudio.end());
    AudioReorderReset(&a->reorder);
    a->sink = AudioSinkCreate(config->wavPath);
    a->counts.codec = kRxAacEld;
    a->counts.framesPerPacket = kAudioFrameSamples;
    RxLog("Audio: RTSP on port %d; data %d, control %d, timing %d, event %d%s%s", a->port,
          a->dataPort, a->controlPort, a->timingPort, a->eventPort,
          config->busyAudio.empty() ? "" : ", busy at ", config->busyAudio.c_str());
    return a.release();
}

int AudioServerPort(const AudioServer *a) {
    return a->port;
}

void AudioServerPollFds(AudioServer *a, std::vector<pollfd> *fds) {
    for (int fd : {a->listener, a->dataFd, a->controlFd, a->timingFd, a->eventListener})
        fds->push_back({fd, POLLIN, 0});
    for (auto &c : a->connections)
        fds->push_back({c->fd, (short)(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
    for (int fd : a->eventFds)
        fds->push_back({fd, POLLIN, 0});
}

bool AudioServerHandle(AudioServer *a, const std::vector<pollfd> &fds, size_t first, double now) {
    size_t i = first;
    bool listen = fds[i++].revents & POLLIN;
    bool data = fds[i++].revents & POLLIN;
    bool control = fds[i++].revents & POLLIN;
    bool timing = fds[i++].revents & POLLIN;
    bool event = fds[i++].revents & POLLIN;
    size_t connectionCount = a->connections.size();
    size_t eventCount = a->eventFds.size();
    // Control first: a sync packet precedes the audio packet it describes.
    if (control) ReadUdp(a, a->controlFd, now);
    if (data) ReadUdp(a, a->dataFd, now);
    if (timing) ReadUdp(a, a->timingFd, now);
    for (size_t k = 0; k < connectionCount; k++, i++) {
        RtspConnection *c = a->connections[k].get();
        if (fds[i].revents & POLLOUT) RxConnSend(c, "");
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) RxConnRead(c, kRtspReader, a);
    }
    for (size_t k = 0; k < eventCount; k++, i++) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buffer[4096];
        ssize_t n = recv(a->eventFds[k], buffer, sizeof buffer, 0);
        if (n > 0) {
            a->counts.eventBytes += (uint64_t)n;
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            RxLog("Audio: event connection closed");
            close(a->eventFds[k]);
            a->eventFds[k] = -1;
        }
    }
    a->eventFds.erase(std::remove(a->eventFds.begin(), a->eventFds.end(), -1), a->eventFds.end());
    if (event) {
        int fd = accept4(a->eventListener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            if (a->eventFds.size() >= 8) {
                close(fd);
            } else {
                a->counts.eventConnections++;
                a->eventFds.push_back(fd);
                RxLog("Audio: event connection accepted");
            }
        }
    }
    if (listen) Accept(a);
    bool requesterEnded = false;
    for (size_t k = 0; k < a->connections.size();) {
        RtspConnection *c = a->connections[k].get();
        if (c->closeWhenSent && c->out.empty()) c->dead = true;
        if (!c->dead) {
            k++;
            continue;
        }
        RxLog("%s: audio connection ended", c->peerText.c_str());
        if (c->hadRequest) requesterEnded = true;
        if (c->setup) EndSession(a);
        close(c->fd);
        a->connections.erase(a->connections.begin() + (ptrdiff_t)k);
    }
    return requesterEnded;
}

double AudioServerTick(AudioServer *a, double now) {
    SendTiming(a, now);
    ReleaseFrames(a, now, false);
    double wait = 0.1;
    if (a->haveSender && a->nextTiming - now < wait) wait = std::max(0.0, a->nextTiming - now);
    return a->reorder.missing.empty() && !a->haveSender ? 3600 : wait;
}

void AudioServerSetControl(AudioServer *a, const RxControl *control) {
    a->control = control;
}

void AudioServerDropConnections(AudioServer *a) {
    for (auto &c : a->connections)
        c->dead = true;
    for (int fd : a->eventFds)
        close(fd);
    a->eventFds.clear();
}

int AudioServerActiveConnections(const AudioServer *a) {
    int count = 0;
    for (auto &c : a->connections)
        count += c->hadRequest && !c->dead;
    return count;
}

void AudioServerSummarize(AudioServer *a, bool final) {
    AudioSinkStats sink = AudioSinkGetStats(a->sink);
    if (!a->counts.dataPackets || (!final && sink.framesDecoded == a->framesAtSummary)) return;
    a->framesAtSummary = sink.framesDecoded;
    RxLog("Audio summary: %llu datagrams, %llu frames decoded, %llu decode errors, %llu sync "
          "packets, %llu copies, %llu asked again, %llu answered, %llu lost",
          (unsigned long long)a->counts.dataPackets, (unsigned long long)sink.framesDecoded,
          (unsigned long long)sink.decodeErrors, (unsigned long long)a->counts.syncPackets,
          (unsigned long long)a->reorder.redundantCopies,
          (unsigned long long)a->counts.retransmitAsked,
          (unsigned long long)a->reorder.retransmissionsAnswered,
          (unsigned long long)a->reorder.lost);
    // The clicks found so far, for a sync test to wait on.
    if (a->config->avsync)
        RxLog("A/V sync: %zu clicks heard", AudioSinkOnsets(a->sink).size());
}

void AudioServerClose(AudioServer *a, const VideoSink *video) {
    if (!a) return;
    EndSession(a);
    AudioServerSummarize(a, true);
    for (auto &c : a->connections)
        close(c->fd);
    for (int fd : a->eventFds)
        close(fd);
    for (int fd : {a->listener, a->dataFd, a->controlFd, a->timingFd, a->eventListener})
        close(fd);
    ToneAnalysis tone = AudioSinkAnalyse(a->sink);
    MapOnsets(a);
    size_t onsets = AudioSinkOnsets(a->sink).size();
    AudioSinkStats sink = AudioSinkGetStats(a->sink);
    if (!AudioSinkClose(a->sink)) sink.wavFailed = true;
    const AudioCounts &k = a->counts;
    const AudioReorder &r = a->reorder;
    std::string j;
    auto field = [&](const char *name, const std::string &value) {
        j += std::string(j.empty() ? "{\n    " : ",\n    ") + "\"" + name + "\": " + value;
    };
    field("port", std::to_string(a->port));
    std::string methods = "{";
    for (auto &[method, count] : k.methods)
        methods += (methods.size() > 1 ? ", " : "") + JsonQuote(method) + ": " + Count(count);
    field("rtsp", "{\"connections\": " + Count(k.rtspConnections) +
                      ", \"requests\": " + Count(k.rtspRequests) + ", \"methods\": " + methods +
                      "}, \"busyRefusals\": " + Count(k.busyRefusals) + ", \"badRequests\": " +
                      Count(k.badRequests) + ", \"keepAlives\": " + Count(k.keepAlives) +
                      ", \"teardowns\": " + Count(k.teardowns) +
                      ", \"closedByReceiver\": " + Count(k.closedByReceiver) + "}");
    field("sdp", "{\"checked\": " + Bool(k.sdpChecked) +
                     ", \"ok\": " + Bool(k.sdpChecked && k.sdpProblems.empty()) +
                     ", \"codec\": " + JsonQuote(CodecName(k.codec)) +
                     ", \"framesPerPacket\": " + std::to_string(k.framesPerPacket) +
                     ", \"refusedFormats\": " + Count(k.refusedFormats) +
                     ", \"problems\": " + Strings(k.sdpProblems) + "}");
    field("transport", "{\"client\": " + JsonQuote(k.clientTransport) +
                           ", \"senderTimingPort\": " + std::to_string(k.senderTimingPort) +
                           ", \"senderControlPort\": " + std::to_string(k.senderControlPort) +
                           ", \"dataPort\": " + std::to_string(a->dataPort) +
                           ", \"controlPort\": " + std::to_string(a->controlPort) +
                           ", \"timingPort\": " + std::to_string(a->timingPort) +
                           ", \"eventPort\": " + std::to_string(a->eventPort) + "}");
    field("record",
          "{\"count\": " + Count(k.records) + ", \"rtpInfo\": " + JsonQuote(k.recordRtpInfo) + "}");
    field("latency", std::to_string(a->config->audioLatency));
    field("volume", k.haveVolume ? JsonNumber(k.volume) : "null");
    field("volumeRequests", Count(k.volumeRequests));
    field("artwork", "{\"requests\": " + Count(k.artworkRequests) + ", \"bytes\": " +
                         Count(k.artworkBytes) + ", \"png\": " + Bool(k.artworkPng) + "}");
    field("track", !k.haveTrack
                       ? std::string("null")
                       : "{\"requests\": " + Count(k.trackRequests) +
                             ", \"name\": " + JsonQuote(k.track.name) +
                             ", \"artist\": " + JsonQuote(k.track.artist) +
                             ", \"album\": " + JsonQuote(k.track.album) + ", \"complete\": " +
                             Bool(k.track.hasName && k.track.hasArtist && k.track.hasAlbum) +
                             ", \"problems\": " + Strings(k.trackProblems) + "}");
    field("otherParameters", Count(k.otherParameters));
    field("datagrams", Count(k.dataPackets));
    field("badPackets", Count(k.badDataPackets));
    field("firstSequence", k.haveFirst ? Count(k.firstSequence) : "null");
    field("firstTimestamp", k.haveFirst ? Count(k.firstTimestamp) : "null");
    field("nonZeroSsrc", Count(k.nonZeroSsrc));
    field("markerSet", Count(k.markerSet));
    field("timestampMismatches", Count(k.timestampMismatches));
    field("frames", Count(r.accepted));
    field("framesDecoded", Count(sink.framesDecoded));
    field("decodeErrors", Count(sink.decodeErrors));
    field("silentFrames", Count(sink.silentFrames));
    field("overlaps", Count(sink.overlaps));
    field("sync", "{\"packets\": " + Count(k.syncPackets) + ", \"firstFlags\": " +
                      Count(k.syncFirstFlags) + ", \"flagProblems\": " + Count(k.syncFlagProblems) +
                      ", \"latencyMismatches\": " + Count(k.syncLatencyMismatches) +
                      ", \"bad\": " + Count(k.syncBadPackets) +
                      ", \"unknownControl\": " + Count(k.controlUnknown) + "}");
    field("redundantCopies", Count(r.redundantCopies));
    field("recoveredByCopy", Count(r.recoveredByCopy));
    uint64_t unanswered = k.retransmitAsked > r.retransmissionsAnswered
                              ? k.retransmitAsked - r.retransmissionsAnswered
                              : 0;
    field("retransmit",
          "{\"deliberateDrops\": " + Count(r.deliberateDrops) + ", \"refusedCopies\": " +
              Count(r.refusedCopies) + ", \"requests\": " + Count(k.retransmitRequests) +
              ", \"asked\": " + Count(k.retransmitAsked) + ", \"answered\": " +
              Count(r.retransmissionsAnswered) + ", \"unanswered\": " + Count(unanswered) +
              ", \"unsolicited\": " + Count(r.unsolicitedAnswers) +
              ", \"badAnswers\": " + Count(k.retransmitBadAnswers) +
              ", \"requestBytes\": " + std::to_string(a->config->retransmitRequestBytes) +
              ", \"lateRequests\": " + Count(k.lateRequests) +
              ", \"lateAnswered\": " + Count(k.lateAnswered) + "}");
    field("lost", Count(r.lost));
    field("sequenceJumps", Count(r.jumps));
    field("events", "{\"connections\": " + Count(k.eventConnections) +
                        ", \"bytes\": " + Count(k.eventBytes) + "}");
    field("timing", "{\"requests\": " + Count(k.timingRequests) + ", \"replies\": " +
                        Count(k.timingReplies) + ", \"badReplies\": " + Count(k.timingBadReplies) +
                        ", \"transmitSeconds\": " + JsonQuote(k.transmitSecondsForm) +
                        ", \"offsetMs\": " + JsonSpreadMs(k.timingOffsets) +
                        ", \"roundTripMs\": " + JsonSpreadMs(k.timingRoundTrips) + "}");
    field("wav", "{\"path\": " + JsonQuote(a->config->wavPath) + ", \"seconds\": " +
                     JsonNumber((double)sink.samplesWritten / kAudioSampleRate) +
                     ", \"failed\": " + Bool(sink.wavFailed) + "}");
    field("tone", !tone.valid ? std::string("null")
                              : "{\"seconds\": " + JsonNumber(tone.seconds) +
                                    ", \"frequencyHz\": " + JsonNumber(tone.frequencyHz) +
                                    ", \"rms\": " + JsonNumber(tone.rms) +
                                    ", \"rmsDbfs\": " + JsonNumber(tone.rmsDbfs) +
                                    ", \"peak\": " + JsonNumber(tone.peak) +
                                    ", \"snrDb\": " + JsonNumber(tone.snrDb) + "}");
    field("onsets", Count(onsets));
    if (a->config->avsync) {
        std::vector<double> flashes;
        if (video) flashes = FindFlashes(VideoSinkLumaTrace(video));
        AvSyncResult sync = AvSyncPair(flashes, a->clicks, 0.5);
        std::vector<double> absolute;
        for (double offset : sync.offsets)
            absolute.push_back(std::fabs(offset));
        double p50 = sync.offsets.empty() ? 0 : Percentile(sync.offsets, 0.5);
        double maxAbs = absolute.empty() ? 0 : *std::max_element(absolute.begin(), absolute.end());
        field("avsync", "{\"flashes\": " + Count(sync.flashes) + ", \"clicks\": " +
                            Count(sync.clicks) + ", \"pairs\": " + Count(sync.offsets.size()) +
                            ", \"offsetMs\": " + JsonSpreadMs(sync.offsets) +
                            ", \"absOffsetMs\": " + JsonSpreadMs(absolute) + "}");
        RxLog("A/V sync: %zu flashes, %zu clicks, %zu pairs; audio minus video p50 %.1f ms, "
              "largest |offset| %.1f ms",
              sync.flashes, sync.clicks, sync.offsets.size(), p50 * 1e3, maxAbs * 1e3);
        std::string each;
        for (double offset : sync.offsets)
            each += (each.empty() ? "" : " ") + std::to_string((int)std::lround(offset * 1e3));
        RxLog("A/V sync: each pair's offset in ms, in order: %s", each.c_str());
    } else {
        field("avsync", "null");
    }
    field("anomalies", Strings(k.anomalies));
    j += "\n  }";
    a->stats->audioJson = j;
    delete a;
}
