#include "tools/receiver/rx_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "tools/receiver/rx_audio_server.h"
#include "tools/receiver/rx_conn.h"
#include "tools/receiver/rx_control.h"
#include "tools/receiver/rx_http.h"
#include "tools/receiver/rx_log.h"
#include "tools/receiver/rx_packets.h"
#include "tools/receiver/rx_report.h"
#include "tools/receiver/rx_timecode.h"
#include "tools/receiver/rx_video.h"

namespace {

constexpr size_t kMaxConnections = 64;

struct Connection : RxConn {
    int localPort;
    bool mirrorPort; // accepted on the mirroring port
    bool streaming;
    uint64_t packets;
    bool haveAvc;
    AvcConfig avc;
    int loggedVideo;
    int lastMismatchWidth, lastMismatchHeight; // to log each size mismatch once
    double acceptedAt;                         // monotonic seconds
    double lastHeartbeat;                      // monotonic seconds, 0 before the first
    uint64_t lastVideoTimestamp;
    double arrivalMonotonic; // when the bytes being processed were read
};

struct Receiver {
    const ReceiverConfig *config;
    int listeners[2];
    int ports[2];
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<std::string> issuedNonces;
    std::string streamXml;
    ReceiverStats stats;
    NtpClient ntp;
    VideoSink *sink;
    AudioServer *audio;
    RxControl control;
    FILE *trace;
    bool stop;
    double nextSummary;
    uint64_t packetsAtSummary;
};

void Respond(Connection *c, const HttpRequest &request, RequestRecord *record, int status,
             const char *reason, const HttpHeaders &headers, const std::string &body) {
    RxConnRespond(c, request, record, status, reason, headers, body);
}

void CloseStreamsExcept(Receiver *r, Connection *keep) {
    for (auto &other : r->connections) {
        if (other.get() != keep && other->streaming && !other->dead) {
            RxLog("%s: a new stream replaces this one; closing it", other->peerText.c_str());
            other->dead = true;
        }
    }
}

void StartStream(Receiver *r, Connection *c, const HttpRequest &request) {
    ReceiverStats &s = r->stats;
    s.streamPosts++;
    std::vector<std::string> problems;
    StreamSetupCheck((const uint8_t *)request.body.data(), request.body.size(), &problems);
    const std::string *type = HttpFindHeader(request, "Content-Type");
    if (!type || *type != "application/octet-stream")
        problems.push_back("Content-Type is \"" + (type ? *type : std::string("(none)")) +
                           "\", expected \"application/octet-stream\"");
    s.postChecked = true;
    s.postOk = problems.empty();
    s.postBodyLength = request.body.size();
    s.postProblems = problems;
    if (problems.empty()) {
        RxLog("%s: POST /stream body checked: 273-byte set-up list as expected",
              c->peerText.c_str());
    } else {
        for (auto &problem : problems)
            RxLog("%s: POST /stream body problem: %s", c->peerText.c_str(), problem.c_str());
    }
    CloseStreamsExcept(r, c);
    c->streaming = true;
    c->haveAvc = false;
    c->packets = 0;
    VideoSinkReset(r->sink);
    RxLog("%s: stream started; the connection now carries stream packets", c->peerText.c_str());
    NtpClientSetTarget(&r->ntp, c->peer.sin_addr, (uint16_t)r->config->ntpPort);
}

// False when the request needs (new) credentials; the 401 has been sent then.
bool Authorize(Receiver *r, Connection *c, const HttpRequest &request, RequestRecord *record) {
    HttpHeaders challenge;
    if (RxConnAuthorize(c, request, r->config->password, &r->issuedNonces, &r->stats, &challenge))
        return true;
    Respond(c, request, record, 401, "Unauthorized", challenge, "");
    return false;
}

// The headers a sender puts on its two requests; deviations go to the report.
void CheckSenderHeaders(Receiver *r, const HttpRequest &request) {
    std::vector<const char *> required;
    if (request.method == "GET" && request.uri == "/stream.xml")
        required = {"rmodel", "X-Apple-ProtocolVersion", "User-Agent", "x-apple-device-id"};
    else if (request.method == "POST" && request.uri == "/stream")
        required = {"Content-Type", "User-Agent", "x-apple-device-id"};
    else
        return;
    ReceiverStats &s = r->stats;
    s.senderHeadersChecked++;
    std::string where = request.method + " " + request.uri + ": ";
    for (const char *name : required) {
        const std::string *value = HttpFindHeader(request, name);
        if (!value) {
            StatsAddHeaderProblem(&s, where + "no " + name + " header");
            continue;
        }
        if (strcasecmp(name, "x-apple-device-id") == 0) {
            bool form = value->size() == 14 && value->compare(0, 2, "0x") == 0 &&
                        value->find_first_not_of("0123456789abcdef", 2) == std::string::npos;
            if (!form)
                StatsAddHeaderProblem(&s, where + "x-apple-device-id \"" + value->substr(0, 40) +
                                              "\" is not 0x and 12 lower-case hex digits");
        }
    }
    if (!HttpFindHeader(request, "Content-Length"))
        StatsAddHeaderProblem(&s, where + "no Content-Length header");
}

void HandleRequest(Receiver *r, Connection *c, const HttpRequest &request) {
    ReceiverStats &s = r->stats;
    if (RxConnStaysSilent(c, r->config->silentAt, request, false)) return;
    CheckSenderHeaders(r, request);
    RequestRecord record = RxConnBeginRequest(c, c->localPort, request, &s);
    if (Authorize(r, c, request, &record)) {
        if (r->config->busy || r->control.busy) {
            s.busyRefusals++;
            Respond(c, request, &record, 453, "Not Enough Bandwidth", {}, "");
        } else if (request.method == "GET" && request.uri == "/stream.xml") {
            s.streamXmlServed++;
            Respond(c, request, &record, 200, "OK", {{"Content-Type", "text/x-apple-plist+xml"}},
                    r->streamXml);
        } else if (request.method == "POST" && request.uri == "/stream") {
            Respond(c, request, &record, 200, "OK", {}, "");
            StartStream(r, c, request);
        } else {
            s.notFound++;
            Respond(c, request, &record, 404, "Not Found", {}, "");
        }
    }
    const std::string *connection = HttpFindHeader(request, "Connection");
    if (connection && strcasecmp(connection->c_str(), "close") == 0 && !c->streaming)
        c->closeWhenSent = true;
    RxConnKeepRequest(&s, &record);
}

// arrival: stream clock when the packet's last bytes were read.
void HandlePacket(Receiver *r, Connection *c, const PacketHeader &h, const uint8_t *bytes,
                  double arrival) {
    ReceiverStats &s = r->stats;
    const uint8_t *payload = bytes + kPacketHeaderSize;
    s.packets++;
    c->packets++;
    s.payloadBytes += h.payloadLength;
    std::vector<std::string> problems = PacketHeaderProblems(h, bytes);
    if (!problems.empty()) {
        s.headerAnomalies++;
        for (auto &problem : problems) {
            RxLog("%s: packet %llu (type %u, %u bytes): %s", c->peerText.c_str(),
                  (unsigned long long)c->packets, h.type, h.payloadLength, problem.c_str());
            StatsAddAnomaly(&s, "packet " + std::to_string(c->packets) + ": " + problem);
        }
    }
    Geometry geometry{true, h.width, h.height, h.left, h.top, h.right, h.bottom};
    if (s.packetSequence.size() < 200)
        s.packetSequence += h.type == kPacketVideo       ? 'V'
                            : h.type == kPacketCodec     ? 'C'
                            : h.type == kPacketHeartbeat ? 'H'
                                                         : '?';
    switch (h.type) {
    case kPacketCodec: {
        s.codecPackets++;
        s.lastCodec = geometry;
        AvcConfig config;
        std::string error;
        if (!AvcConfigParse(payload, h.payloadLength, &config, &error)) {
            s.badCodecPayloads++;
            RxLog("%s: codec packet rejected: %s", c->peerText.c_str(), error.c_str());
            StatsAddAnomaly(&s, "codec packet: " + error);
            break;
        }
        c->haveAvc = true;
        c->avc = config;
        s.avcProfile = config.profile;
        s.avcLevel = config.level;
        s.avcSpsCount = (int)config.sps.size();
        s.avcPpsCount = (int)config.pps.size();
        RxLog("%s: codec packet, %u bytes: profile %d, level %d, %zu SPS, %zu PPS, picture "
              "%gx%g at (%g,%g)-(%g,%g)",
              c->peerText.c_str(), h.payloadLength, config.profile, config.level, config.sps.size(),
              config.pps.size(), h.width, h.height, h.left, h.top, h.right, h.bottom);
        VideoSinkCodec(r->sink, config, payload, h.payloadLength);
        break;
    }
    case kPacketVideo: {
        s.videoPackets++;
        if (s.firstVideoArrival == 0) s.firstVideoArrival = c->arrivalMonotonic;
        s.lastVideoArrival = c->arrivalMonotonic;
        s.lastVideo = geometry;
        if (h.timestamp < c->lastVideoTimestamp) {
            s.timestampRegressions++;
            RxLog("%s: video timestamp %.6f is earlier than the previous %.6f", c->peerText.c_str(),
                  StreamFixedToSeconds(h.timestamp), StreamFixedToSeconds(c->lastVideoTimestamp));
        }
        c->lastVideoTimestamp = h.timestamp;
        if (h.timestamp && s.latencies.size() < 1000000)
            s.latencies.push_back(arrival - StreamFixedToSeconds(h.timestamp));
        if (!c->haveAvc) {
            s.picturesBeforeCodec++;
            RxLog("%s: video packet before any valid codec packet", c->peerText.c_str());
        }
        std::vector<uint8_t> annexB;
        NalSummary summary;
        std::string error;
        int lengthSize = c->haveAvc ? c->avc.lengthSize : 4;
        if (!NalUnitsToAnnexB(payload, h.payloadLength, lengthSize, &annexB, &summary, &error)) {
            s.badVideoPayloads++;
            RxLog("%s: video packet rejected: %s", c->peerText.c_str(), error.c_str());
            StatsAddAnomaly(&s, "video packet: " + error);
            break;
        }
        if (c->loggedVideo < 3 || r->config->verbose) {
            c->loggedVideo++;
            RxLog("%s: video packet, %u bytes, %d NAL units%s, latency %.1f ms",
                  c->peerText.c_str(), h.payloadLength, summary.count, summary.idr ? " (IDR)" : "",
                  (arrival - StreamFixedToSeconds(h.timestamp)) * 1e3);
        }
        uint64_t decodedBefore = VideoSinkStats(r->sink).framesDecoded;
        VideoSinkPicture(r->sink, payload, h.payloadLength, annexB, summary.idr,
                         StreamFixedToSeconds(h.timestamp));
        uint32_t code = 0;
        int64_t tracedArrival = -1, tracedPicture = -1;
        if (VideoSinkTakeTimecode(r->sink, &code)) {
            double decoded = RxMonotonic();
            int64_t toArrival = TimecodeAgeMs(code, (uint64_t)(c->arrivalMonotonic * 1e3));
            int64_t toPicture = TimecodeAgeMs(code, (uint64_t)(decoded * 1e3));
            if (!s.screenToPicture.empty() && code == s.lastTimecode) {
                s.timecodesRepeated++;
            } else if (toArrival >= 0 && toPicture >= 0 && s.screenToPicture.size() < 1000000) {
                s.screenToArrival.push_back((double)toArrival / 1e3);
                s.screenToPicture.push_back((double)toPicture / 1e3);
                tracedArrival = toArrival;
                tracedPicture = toPicture;
            }
            s.lastTimecode = code;
        }
        if (r->trace)
            fprintf(r->trace, "%.4f %u %lld %lld %llu\n", c->arrivalMonotonic, h.payloadLength,
                    (long long)tracedArrival, (long long)tracedPicture,
                    (unsigned long long)VideoSinkStats(r->sink).decodeErrors);
        // Every encoded picture has the size the header announces.
        VideoStats video = VideoSinkStats(r->sink);
        if (video.framesDecoded > decodedBefore &&
            (video.width != (int)h.width || video.height != (int)h.height)) {
            if (s.sizeMismatches++ == 0 || c->lastMismatchWidth != video.width ||
                c->lastMismatchHeight != video.height) {
                std::string text = "decoded picture " + std::to_string(video.width) + "x" +
                                   std::to_string(video.height) + " differs from the header's " +
                                   std::to_string((int)h.width) + "x" +
                                   std::to_string((int)h.height);
                RxLog("%s: %s", c->peerText.c_str(), text.c_str());
                StatsAddAnomaly(&s, text);
            }
            c->lastMismatchWidth = video.width;
            c->lastMismatchHeight = video.height;
        }
        break;
    }
    case kPacketHeartbeat: {
        s.heartbeats++;
        double now = RxMonotonic();
        if (c->lastHeartbeat == 0) {
            s.firstHeartbeatAfter = now - c->acceptedAt;
            RxLog("%s: heartbeat, %.1f s after the connection opened", c->peerText.c_str(),
                  s.firstHeartbeatAfter);
        } else {
            double gap = now - c->lastHeartbeat;
            if (s.heartbeatMinGap < 0 || gap < s.heartbeatMinGap) s.heartbeatMinGap = gap;
            RxLog("%s: heartbeat, %.2f s after the previous one", c->peerText.c_str(), gap);
        }
        c->lastHeartbeat = now;
        break;
    }
    default:
        s.unknownPackets++;
        break;
    }
}

void ProcessStream(Receiver *r, Connection *c, size_t *position, double arrival) {
    while (!c->dead && c->in.size() - *position >= kPacketHeaderSize) {
        const uint8_t *bytes = c->in.data() + *position;
        PacketHeader header;
        PacketHeaderParse(bytes, &header);
        if (header.payloadLength > kPacketMaxPayload) {
            r->stats.oversizedPackets++;
            RxLog("%s: packet header announces %u payload bytes (limit %u); the stream cannot "
                  "be followed, closing the connection",
                  c->peerText.c_str(), header.payloadLength, kPacketMaxPayload);
            StatsAddAnomaly(&r->stats, "payload length " + std::to_string(header.payloadLength) +
                                           " beyond the limit");
            c->dead = true;
            return;
        }
        if (c->in.size() - *position < kPacketHeaderSize + header.payloadLength) return;
        HandlePacket(r, c, header, bytes, arrival);
        *position += kPacketHeaderSize + header.payloadLength;
        if (r->config->closeAfterPackets && c->packets >= r->config->closeAfterPackets) {
            RxLog("%s: closing the stream connection after %llu packets, as asked",
                  c->peerText.c_str(), (unsigned long long)c->packets);
            c->dead = true;
        }
    }
}

void ProcessInput(Receiver *r, Connection *c, double arrival) {
    size_t position = 0;
    while (!c->dead && !c->closeWhenSent && position < c->in.size()) {
        if (c->silent) { // whatever follows (stream packets too) is read and dropped
            position = c->in.size();
            break;
        }
        if (c->streaming) {
            ProcessStream(r, c, &position, arrival);
            break;
        }
        HttpRequest request;
        std::string error;
        HttpParseResult result = RxConnNextRequest(c, &position, "HTTP/1.1", &request, &error);
        if (result == kHttpIncomplete) break;
        if (result == kHttpBad) {
            r->stats.badRequests++;
            RxLog("%s: bad request: %s; answering 400 and closing", c->peerText.c_str(),
                  error.c_str());
            StatsAddAnomaly(&r->stats, "bad request: " + error);
            break;
        }
        HandleRequest(r, c, request);
    }
    RxConnConsume(c, position);
}

void ProcessArrival(void *owner, RxConn *conn) {
    Connection *c = static_cast<Connection *>(conn);
    // Taken before decoding what came in, so decoding time is not counted as latency.
    double arrival = StreamClockNow();
    c->arrivalMonotonic = RxMonotonic();
    ProcessInput(static_cast<Receiver *>(owner), c, arrival);
}

void ConnectionEnded(void *owner, RxConn *conn, int error) {
    Connection *c = static_cast<Connection *>(conn);
    if (error)
        RxLog("%s: receive failed: %s", c->peerText.c_str(), strerror(error));
    else
        RxLog("%s: connection closed by the peer", c->peerText.c_str());
    if (c->streaming && !c->in.empty()) {
        static_cast<Receiver *>(owner)->stats.truncatedStreams++;
        RxLog("%s: %zu bytes of an unfinished packet were left", c->peerText.c_str(), c->in.size());
    }
}

constexpr RxConnReader kConnectionReader = {ProcessArrival, ConnectionEnded};

void Accept(Receiver *r, int which) {
    for (int budget = 0; budget < 16; budget++) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd =
            accept4(r->listeners[which], (sockaddr *)&peer, &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                RxLog("accept failed: %s", strerror(errno));
            return;
        }
        if (r->connections.size() >= kMaxConnections) {
            RxLog("Refusing a connection: %zu are open already", r->connections.size());
            close(fd);
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->localPort = r->ports[which];
        c->mirrorPort = which == 1;
        c->acceptedAt = RxMonotonic();
        RxConnInit(c.get(), fd, peer, c->localPort);
        (which ? r->stats.mirrorConnections : r->stats.httpConnections)++;
        RxLog("%s: connection accepted on the %s port", c->peerText.c_str(),
              which ? "mirroring" : "first");
        r->connections.push_back(std::move(c));
    }
}

void Reap(Receiver *r) {
    for (size_t i = 0; i < r->connections.size();) {
        Connection *c = r->connections[i].get();
        if (c->closeWhenSent && c->out.empty()) c->dead = true;
        if (!c->dead) {
            i++;
            continue;
        }
        if (!c->hadRequest) r->stats.connectionsWithoutRequest++;
        RxLog("%s: connection ended (%s, %llu stream packets)", c->peerText.c_str(),
              c->hadRequest ? "after requests" : "no request was made",
              (unsigned long long)c->packets);
        bool wasStream = c->streaming;
        bool hadRequest = c->hadRequest;
        close(c->fd);
        r->connections.erase(r->connections.begin() + (ptrdiff_t)i);
        if (wasStream) {
            bool otherStream = false;
            for (auto &other : r->connections)
                otherStream = otherStream || other->streaming;
            if (!otherStream) {
                NtpClientStop(&r->ntp);
                VideoSinkDrain(r->sink);
            }
        }
        if (hadRequest && r->config->exitOnDisconnect) {
            bool others = false;
            for (auto &other : r->connections)
                others = others || other->hadRequest;
            if (!others && r->audio && AudioServerActiveConnections(r->audio) > 0) others = true;
            if (!others) {
                RxLog("The sender has disconnected; stopping (--exit-on-disconnect)");
                r->stop = true;
            }
        }
    }
}

bool WritePortFile(const Receiver *r) {
    std::string temporary = r->config->portFile + ".tmp";
    FILE *file = fopen(temporary.c_str(), "w");
    if (!file) {
        RxLog("Cannot create port file %s: %s", temporary.c_str(), strerror(errno));
        return false;
    }
    fprintf(file, "http %d\nmirror %d\naudio %d\n", r->ports[0], r->ports[1],
            AudioServerPort(r->audio));
    bool ok = fclose(file) == 0 && rename(temporary.c_str(), r->config->portFile.c_str()) == 0;
    if (!ok) RxLog("Cannot write port file %s", r->config->portFile.c_str());
    return ok;
}

bool LoadStreamXml(Receiver *r) {
    if (r->config->streamXmlFile.empty()) {
        r->streamXml = ScreenInfoXml(r->config->screen);
        return true;
    }
    FILE *file = fopen(r->config->streamXmlFile.c_str(), "rb");
    if (!file) {
        RxLog("Cannot read %s: %s", r->config->streamXmlFile.c_str(), strerror(errno));
        return false;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0 && r->streamXml.size() < kHttpMaxBody)
        r->streamXml.append(buffer, n);
    fclose(file);
    return true;
}

void Summarize(Receiver *r, bool final) {
    const ReceiverStats &s = r->stats;
    VideoStats video = VideoSinkStats(r->sink);
    if (!s.packets || (!final && s.packets == r->packetsAtSummary)) return; // nothing new
    r->packetsAtSummary = s.packets;
    RxLog("Summary: %llu packets (%llu video, %llu codec, %llu heartbeat), %llu pictures decoded, "
          "%llu decode errors, latency p50 %.1f ms, %llu timing replies",
          (unsigned long long)s.packets, (unsigned long long)s.videoPackets,
          (unsigned long long)s.codecPackets, (unsigned long long)s.heartbeats,
          (unsigned long long)video.framesDecoded, (unsigned long long)video.decodeErrors,
          Percentile(s.latencies, 0.5) * 1e3, (unsigned long long)r->ntp.replies);
}

} // namespace

int ReceiverRun(const ReceiverConfig &config, int stopFd) {
    Receiver receiver{};
    Receiver *r = &receiver;
    r->config = &config;
    r->stats.startMonotonic = RxMonotonic();
    r->stats.heartbeatMinGap = -1;
    r->stats.pngPath = config.pngPath;
    r->stats.recordPath = config.recordPath;
    if (!LoadStreamXml(r)) return 1;
    r->listeners[0] =
        RxOpenSocket(SOCK_STREAM, config.bindAddress, config.httpPort, 16, &r->ports[0]);
    r->listeners[1] = r->listeners[0] < 0 ? -1
                                          : RxOpenSocket(SOCK_STREAM, config.bindAddress,
                                                         config.mirrorPort, 16, &r->ports[1]);
    if (r->listeners[1] < 0 || !NtpClientOpen(&r->ntp, config.bindAddress.c_str())) {
        if (r->listeners[0] >= 0) close(r->listeners[0]);
        if (r->listeners[1] >= 0) close(r->listeners[1]);
        return 1;
    }
    r->audio = AudioServerOpen(&config, &r->stats);
    if (!r->audio) {
        close(r->listeners[0]);
        close(r->listeners[1]);
        NtpClientClose(&r->ntp);
        return 1;
    }
    if (!config.portFile.empty() && !WritePortFile(r)) return 1;
    if (!config.controlPath.empty() && !RxControlOpen(&r->control, config.controlPath)) return 1;
    AudioServerSetControl(r->audio, &r->control);
    if (!config.tracePath.empty()) {
        r->trace = fopen(config.tracePath.c_str(), "w");
        if (!r->trace) {
            RxLog("Cannot write the trace %s: %s", config.tracePath.c_str(), strerror(errno));
            return 1;
        }
        setvbuf(r->trace, nullptr, _IOLBF, 0); // read while the stream runs
    }
    r->sink = VideoSinkCreate(config.recordPath);
    if (config.avsync) VideoSinkSetLumaTrace(r->sink, true);
    if (config.timecodeCell > 0)
        VideoSinkSetTimecode(r->sink, config.timecodeCell, config.timecodeScreenWidth);
    RxLog("Listening on %s ports %d and %d; screen %dx%d%s%s%s", config.bindAddress.c_str(),
          r->ports[0], r->ports[1], config.screen.width, config.screen.height,
          config.screen.overscanned ? ", overscanned" : "",
          config.password.empty() ? "" : ", password required", config.busy ? ", busy" : "");
    double deadline = config.duration > 0 ? RxMonotonic() + config.duration : 0;
    r->nextSummary = RxMonotonic() + 5;
    while (!r->stop) {
        double now = RxMonotonic();
        if (deadline && now >= deadline) {
            RxLog("Duration of %.1f s reached; stopping", config.duration);
            break;
        }
        NtpClientTick(&r->ntp, now);
        double audioWait = AudioServerTick(r->audio, now);
        if (now >= r->nextSummary) {
            Summarize(r, false);
            AudioServerSummarize(r->audio, false);
            r->nextSummary = now + 5;
        }
        std::vector<pollfd> fds;
        fds.push_back({stopFd, POLLIN, 0});
        fds.push_back({r->listeners[0], POLLIN, 0});
        fds.push_back({r->listeners[1], POLLIN, 0});
        fds.push_back({r->ntp.fd, POLLIN, 0});
        for (auto &c : r->connections)
            fds.push_back({c->fd, (short)(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
        size_t audioFirst = fds.size();
        AudioServerPollFds(r->audio, &fds);
        size_t controlAt = fds.size();
        fds.push_back({r->control.fd, POLLIN, 0});
        double wait = NtpClientTimeout(&r->ntp, now);
        if (wait > audioWait) wait = audioWait;
        if (wait > r->nextSummary - now) wait = r->nextSummary - now;
        if (deadline && wait > deadline - now) wait = deadline - now;
        if (wait < 0) wait = 0;
        int ready = poll(fds.data(), fds.size(), (int)(wait * 1000) + 1);
        if (ready < 0 && errno != EINTR) {
            RxLog("poll failed: %s", strerror(errno));
            break;
        }
        if (ready <= 0) continue;
        if (stopFd >= 0 && (fds[0].revents & POLLIN)) {
            signalfd_siginfo info;
            if (read(stopFd, &info, sizeof info) == (ssize_t)sizeof info)
                RxLog("Signal %u received; stopping", info.ssi_signo);
            else
                RxLog("Stop requested");
            break;
        }
        if (fds[1].revents & POLLIN) Accept(r, 0);
        if (fds[2].revents & POLLIN) Accept(r, 1);
        if (fds[3].revents & POLLIN) NtpClientReadable(&r->ntp);
        size_t known = audioFirst - 4;
        for (size_t i = 0; i < known && i < r->connections.size(); i++) {
            Connection *c = r->connections[i].get();
            short events = fds[4 + i].revents;
            if (events & POLLOUT) RxConnSend(c, "");
            if (events & (POLLIN | POLLHUP | POLLERR)) RxConnRead(c, kConnectionReader, r);
        }
        bool audioEnded = AudioServerHandle(r->audio, fds, audioFirst, RxMonotonic());
        if (fds[controlAt].revents & POLLIN) {
            int drop = RxControlRead(&r->control);
            if (drop & kRxDropMirroring)
                for (auto &c : r->connections)
                    c->dead = true;
            if (drop & kRxDropAudio) AudioServerDropConnections(r->audio);
        }
        Reap(r);
        if (audioEnded && config.exitOnDisconnect && AudioServerActiveConnections(r->audio) == 0) {
            bool others = false;
            for (auto &other : r->connections)
                others = others || other->hadRequest;
            if (!others) {
                RxLog("The sender has disconnected; stopping (--exit-on-disconnect)");
                r->stop = true;
            }
        }
    }
    Summarize(r, true);
    for (auto &c : r->connections)
        close(c->fd);
    r->connections.clear();
    close(r->listeners[0]);
    close(r->listeners[1]);
    VideoSinkDrain(r->sink);
    if (!config.pngPath.empty()) r->stats.pngWritten = VideoSinkWritePng(r->sink, config.pngPath);
    r->stats.video = VideoSinkStats(r->sink);
    AudioServerClose(r->audio, r->sink);
    VideoSinkClose(r->sink);
    int code = 0;
    if (!config.reportPath.empty() && !ReportWrite(r->stats, r->ntp, config.reportPath)) code = 1;
    NtpClientClose(&r->ntp);
    RxControlClose(&r->control);
    if (r->trace) fclose(r->trace);
    return code;
}
