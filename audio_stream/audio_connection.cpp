#include "audio_stream/audio_connection.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "audio_stream/rtp_sender.h"
#include "base/clock.h"
#include "base/event.h"
#include "base/log.h"
#include "mirroring/mirroring_connection.h"
#include "mirroring/ntpd.h"
#include "net/digest.h"
#include "net/http.h"
#include "net/socket_set.h"
#include "plist/cfvalue.h"
#include "system_audio/audio_encoder_driver.h"

// Constant identities the receiver's remote-control side expects on every request after
// the first OPTIONS.
static const char kDacpId[] = "5E02C7A19F3D4B68";
static const char kActiveRemote[] = "4720583916";
static const char kUserAgent[] = "OstrelW/1.1";
static const char kMetadataUserAgent[] = "Ostrel/1.2";
static const char kKeepAliveUserAgent[] = "OstrelW/1.2";
static const char kMetadataRtpInfo[] = "rtptime=3678580334";

// The connection whose set callback the calling thread is running, if any: a stop asked for
// there must not wait for the worker, which closes that set and so joins this thread.
static thread_local AudioConnection *callbackOwner = nullptr;

namespace {
struct CallbackScope {
    AudioConnection *previous;
    explicit CallbackScope(AudioConnection *a) : previous(callbackOwner) { callbackOwner = a; }
    ~CallbackScope() { callbackOwner = previous; }
};
} // namespace

static const char *DeviceIdText(const AudioConnection *a) {
    return a->deviceId ? CFStringText(a->deviceId) : "(null)";
}

static const char *HostText(const AudioConnection *a) {
    return CFStringText(a->host);
}

static void BaseUri(const AudioConnection *a, char *out, size_t size, const char *suffix) {
    snprintf(out, size, "rtsp://%s/%i%s", HostText(a), (int)a->streamNumber, suffix);
}

// Taken by a stop while it takes a connection out of its slot, and by a password answer or
// a status read while it uses the connection it found there, so that the record is never
// freed under them.
static std::mutex &SlotLock() {
    static std::mutex lock;
    return lock;
}

static int SendToSlot(AudioConnection *a, int key, const uint8_t *data, size_t length) {
    SocketSet *set = a->socketSet;
    return set ? SocketSetSend(set, data, length, key) : 0;
}

// Asks the worker to end the connection. The state goes to tearing-down at once, so that
// frames are dropped and a close report caused by the teardown itself is not a failure.
static void RequestEnd(AudioConnection *a) {
    a->state = kAudioTearingDown;
    a->ending = 1;
    EventSet(a->wakeEvent);
}

static void StopFromOwnThread(AudioConnection *a) {
    if (a->stopping.exchange(1) || a->ended.load()) return;
    DebugLog(2, "AirPlay: Attempting to Stop Audio.\n");
    RequestEnd(a);
}

// ---- answer deadlines ----

static const char kAwaitConnect[] = "the connection";

static int64_t AnswerDeadlineFromNow() {
    return MonotonicNanos() + (int64_t)kAudioAnswerTimeoutMs * 1000000;
}

// Under requestLock: a request went out (or the connection is being made).
static void AwaitAnswer(AudioConnection *a, const char *what) {
    a->awaited[a->requestsSent % kAudioAwaitedSlots] = what;
    if (a->requestsSent++ == a->requestsAnswered) {
        a->answerDeadline = AnswerDeadlineFromNow();
        EventSet(a->wakeEvent); // the worker may be waiting without a time-out
    }
}

// Under requestLock: the oldest request was answered (answers come in order on one
// connection); the next one, if any, gets its own bound from now.
static void AnswerArrived(AudioConnection *a) {
    if (a->requestsAnswered != a->requestsSent) a->requestsAnswered++;
    a->answerDeadline = a->requestsAnswered != a->requestsSent ? AnswerDeadlineFromNow() : 0;
}

// ---- pure pieces ----

// Reads a decimal number of at most 10 digits; false when there is none or it is longer.
static bool ReadDecimal(const char *text, size_t length, uint64_t *value) {
    if (length == 0 || length > 10) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (uint64_t)(text[i] - '0');
    }
    *value = v;
    return true;
}

void ParseTransportPorts(const HttpMessage *response, AudioPorts *ports) {
    ports->serverPort = ports->controlPort = ports->timingPort = ports->eventPort = 0;
    const char *transport = response ? HeaderListFind(&response->headers, "transport") : nullptr;
    if (!transport) return;
    static const struct {
        const char *name;
        uint16_t AudioPorts::*field;
    } kPieces[] = {{"server_port=", &AudioPorts::serverPort},
                   {"control_port=", &AudioPorts::controlPort},
                   {"timing_port=", &AudioPorts::timingPort},
                   {"event_port=", &AudioPorts::eventPort}};
    const char *piece = transport;
    while (*piece) {
        const char *end = strchr(piece, ';');
        size_t length = end ? (size_t)(end - piece) : strlen(piece);
        for (const auto &p : kPieces) {
            size_t nameLength = strlen(p.name);
            if (length < nameLength || strncmp(piece, p.name, nameLength) != 0) continue;
            uint64_t value = 0;
            if (ReadDecimal(piece + nameLength, length - nameLength, &value) && value <= 65535) {
                ports->*p.field = (uint16_t)value;
            } else {
                DebugLog(2, "Audio: unreadable port in Transport piece %.*s\n", (int)length, piece);
            }
        }
        if (!end) break;
        piece = end + 1;
    }
}

int32_t AudioLatencyFromResponse(const HttpMessage *response) {
    const char *text = response ? HeaderListFind(&response->headers, "audio-latency") : nullptr;
    if (!text) return kAudioDefaultLatency;
    while (*text == ' ' || *text == '\t')
        text++;
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t'))
        length--;
    uint64_t value = 0;
    if (!ReadDecimal(text, length, &value) || value > (uint64_t)kAudioMaxLatency) {
        DebugLog(2, "Audio: ignoring audio-latency %s\n", text);
        return kAudioDefaultLatency;
    }
    return value == 0 ? kAudioDefaultLatency : (int32_t)value;
}

int32_t AudioFramesPerPacket(int32_t codec) {
    return codec == kAudioCodecAacEld ? kAudioFrameSamples : kAudioLosslessFrameSamples;
}

size_t BuildAudioSdp(int32_t streamNumber, int32_t codec, char *out, size_t size) {
    // Apple Lossless: the decoder's magic cookie (frame length, compatible version, bit depth,
    // the Rice parameters pb, mb and kb, channels, maximum run, maximum frame bytes, average
    // bit rate, sample rate) as libavcodec's encoder writes its frames. The receivers that
    // play the other formats take no picture, so their description names no video.
    const char *media;
    char lossless[160];
    if (codec == kAudioCodecAlac) {
        snprintf(lossless, sizeof lossless,
                 "a=rtpmap:96 AppleLossless\r\n"
                 "a=fmtp:96 %i 0 16 40 10 14 2 255 0 0 44100\r\n",
                 kAudioLosslessFrameSamples);
        media = lossless;
    } else if (codec == kAudioCodecPcm) {
        media = "a=rtpmap:96 L16/44100/2\r\n";
    } else {
        media = "a=rtpmap:96 mpeg4-generic/44100/2\r\n"
                "a=fmtp:96 mode=AAC-eld; constantDuration=480\r\n"
                "a=min-latency:4100\r\n"
                "m=video 0 RTP/AVP 97\r\n"
                "a=rtmap:97 H264\r\n"
                "a=fmtp:97\r\n";
    }
    int n = snprintf(out, size,
                     "v=0\r\n"
                     "o=AirTunes %i 0 IN IP4 %s\r\n"
                     "s=AirTunes\r\n"
                     "c=IN IP4 %s\r\n"
                     "t=0 0\r\n"
                     "m=audio 0 RTP/AVP 96\r\n"
                     "%s",
                     (int)streamNumber, kAudioSdpAddress, kAudioSdpAddress, media);
    return n > 0 && (size_t)n < size ? (size_t)n : 0;
}

static void PutTag(uint8_t *out, const char *tag, uint32_t length) {
    memcpy(out, tag, 4);
    out[4] = (uint8_t)(length >> 24);
    out[5] = (uint8_t)(length >> 16);
    out[6] = (uint8_t)(length >> 8);
    out[7] = (uint8_t)length;
}

size_t BuildTrackInfo(const char *computerName, uint8_t *out, size_t size) {
    size_t n = strlen(computerName);
    size_t total = 38 + n;
    if (total > size || n > 0xFFFFFF) return 0;
    PutTag(out, "mlit", (uint32_t)(30 + n));
    PutTag(out + 8, "asal", 0);
    PutTag(out + 16, "asar", 6);
    memcpy(out + 24, "Ostrel", 6);
    PutTag(out + 30, "minm", (uint32_t)n);
    memcpy(out + 38, computerName, n);
    return total;
}

// ---- requests ----

static void SendOptions(AudioConnection *a) {
    const char *names[] = {"User-Agent", "x-apple-device-id"};
    const char *values[] = {kUserAgent, DeviceIdText(a)};
    HeaderList headers{names, values, 2};
    AwaitAnswer(a, "OPTIONS");
    (void)SendHttpRequest(a->socketSet, "OPTIONS", "*", "RTSP/1.0", &headers, nullptr, 0,
                          kAudioControlKey);
}

// A request to the stream's URI carrying a body, as ANNOUNCE and the volume's SET_PARAMETER are.
static void SendWithBody(AudioConnection *a, const char *method, const char *contentType,
                         const uint8_t *body, size_t length) {
    char uri[320];
    BaseUri(a, uri, sizeof uri, "");
    const char *names[] = {"DACP-ID", "Active-Remote", "Content-Type", "User-Agent",
                           "x-apple-device-id"};
    const char *values[] = {kDacpId, kActiveRemote, contentType, kUserAgent, DeviceIdText(a)};
    HeaderList headers{names, values, 5};
    AwaitAnswer(a, method);
    (void)SendHttpRequest(a->socketSet, method, uri, "RTSP/1.0", &headers, body, length,
                          kAudioControlKey);
}

static void SendAnnounce(AudioConnection *a) {
    // rand is only a name for the stream, as the receiver sees it in the URIs.
    a->streamNumber = rand() % 32768;
    char sdp[640];
    size_t sdpLength = BuildAudioSdp(a->streamNumber, a->codec, sdp, sizeof sdp);
    a->state = kAudioAnnounceSent;
    SendWithBody(a, "ANNOUNCE", "application/sdp", (const uint8_t *)sdp, sdpLength);
    DebugLog(1, "AirPlay Video: Sent announce request\n");
}

static void SendSetup(AudioConnection *a) {
    a->ports.localTimingPort = kAudioLocalTimingPort;
    a->ports.localControlPort = kAudioLocalControlPort;
    if (NtpdStartAudio(kAudioLocalTimingPort))
        a->timingStarted = 1;
    else
        DebugLog(2, "Audio: streaming without the timing service\n");
    char transport[160];
    snprintf(transport, sizeof transport,
             "RTP/AVP/UDP;unicast;mode=screen;timing_port=%u;x-events;control_port=%u;"
             "redundant=2",
             (unsigned)kAudioLocalTimingPort, (unsigned)kAudioLocalControlPort);
    char uri[320];
    BaseUri(a, uri, sizeof uri, "/audio");
    const char *names[] = {"Transport", "DACP-ID", "Active-Remote", "User-Agent",
                           "x-apple-device-id"};
    const char *values[] = {transport, kDacpId, kActiveRemote, kUserAgent, DeviceIdText(a)};
    HeaderList headers{names, values, 5};
    a->state = kAudioSetupSent;
    AwaitAnswer(a, "SETUP");
    (void)SendHttpRequest(a->socketSet, "SETUP", uri, "RTSP/1.0", &headers, nullptr, 0,
                          kAudioControlKey);
    DebugLog(1, "AirPlay Video: Sent Setup video request\n");
}

// Opens the UDP slots (and the event connection) on the receiver's ports and asks to record.
// Returns 0 when a slot the stream needs cannot be opened.
static int OpenStreamAndRecord(AudioConnection *a, const HttpMessage *response) {
    ParseTransportPorts(response, &a->ports);
    const AudioPorts &p = a->ports;
    DebugLog(2,
             "Audio: Completed Setup with ports: timing(%i-%i), control(%i-%i), audio(%i), "
             "video(%i), event(%i)\n",
             p.localTimingPort, p.timingPort, p.localControlPort, p.controlPort, p.serverPort,
             p.videoServerPort, p.eventPort);
    SocketSet *set = a->socketSet;
    const char *host = HostText(a);
    if (p.eventPort != 0 &&
        !SocketSetOpen(set, host, 0, p.eventPort, TcpConnect, kAudioEventKey, 0)) {
        DebugLog(2, "Audio: could not open the event connection\n");
    }
    if (!SocketSetOpen(set, host, kAudioLocalControlPort, p.controlPort, UdpBound, kAudioSyncKey,
                       0) ||
        !SocketSetOpen(set, host, 0, p.serverPort, UdpConnected, kAudioDataKey, 0)) {
        DebugLog(2, "Audio: could not open the audio data sockets\n");
        return 0;
    }
    char uri[320];
    BaseUri(a, uri, sizeof uri, "");
    const char *names[] = {"Range",    "DACP-ID",    "Active-Remote",
                           "RTP-Info", "User-Agent", "x-apple-device-id"};
    const char *values[] = {"npt=0-",   kDacpId,        kActiveRemote, "seq=1920;rtptime=0",
                            kUserAgent, DeviceIdText(a)};
    HeaderList headers{names, values, 6};
    a->state = kAudioRecordSent;
    AwaitAnswer(a, "RECORD");
    (void)SendHttpRequest(set, "RECORD", uri, "RTSP/1.0", &headers, nullptr, 0, kAudioControlKey);
    DebugLog(1, "Audio: Sent Record request\n");
    return 1;
}

static void SendVolume(AudioConnection *a) {
    a->state = kAudioVolumeSent;
    static const char kBody[] = "volume: 0";
    SendWithBody(a, "SET_PARAMETER", "text/parameters", (const uint8_t *)kBody, sizeof kBody - 1);
    DebugLog(1, "Audio: Sent Set_Parameter request\n");
}

static void SendMetadata(AudioConnection *a, const char *uri, const char *contentType,
                         const uint8_t *body, size_t length) {
    const char *names[] = {"User-Agent", "content-type",  "rtp-info",
                           "DACP-ID",    "Active-Remote", "x-apple-device-id"};
    const char *values[] = {kMetadataUserAgent, contentType,    kMetadataRtpInfo, kDacpId,
                            kActiveRemote,      DeviceIdText(a)};
    HeaderList headers{names, values, 6};
    AwaitAnswer(a, "SET_PARAMETER");
    (void)SendHttpRequest(a->socketSet, "SET_PARAMETER", uri, "RTSP/1.0", &headers, body, length,
                          kAudioControlKey);
}

static void SendArtworkAndTrackInfo(AudioConnection *a) {
    char uri[320];
    BaseUri(a, uri, sizeof uri, "");
    CFValue *artwork = CFDataFromArtworkFile();
    if (artwork) {
        DebugLog(2, "Loaded ATV Ov Icon, sending: %s of size: %i\n", uri,
                 (int)CFDataLength(artwork));
        SendMetadata(a, uri, "image/png", CFDataBytes(artwork), CFDataLength(artwork));
        CFValueRelease(artwork);
    }
    char name[256] = {0};
    if (gethostname(name, sizeof name - 1) != 0) name[0] = 0;
    uint8_t body[38 + sizeof name];
    size_t length = BuildTrackInfo(name, body, sizeof body);
    SendMetadata(a, uri, "application/x-dmap-tagged", body, length);
}

static void StopFromOwnThread(AudioConnection *a);

// The capture thread's word that the PC's sound is gone for good (its sound server went
// away and did not come back): the stream ends with a failure the menu shows. The record
// outlives this call: the teardown stops the capture before freeing it.
static void OnSystemAudioLost(void *context) {
    AudioConnection *a = (AudioConnection *)context;
    if (a->stopping.load() || a->ending.load()) return;
    DebugLog(2, "Audio: the PC's sound can no longer be captured; ending the audio\n");
    a->failure = kAudioUnknownError;
    StopFromOwnThread(a);
}

static void StartStreaming(AudioConnection *a) {
    DebugLog(2, "Audio: Fully Negotiated\n");
    AudioSenderReset(a);
    a->state = kAudioStreaming;
    // The teardown reads systemAudioStarted only after the set's close has joined this
    // thread, so a stop that lands during this start still undoes it.
    // The driver's encodings are numbered as the codecs are.
    const SystemAudioFormat format = {a->codec, a->framesPerPacket};
    if (!StartSystemAudioAs(&format, a, SendAudioFrame, OnSystemAudioLost)) {
        DebugLog(2, "Audio: the PC's sound could not be captured; ending the audio\n");
        a->failure = kAudioUnknownError;
        StopFromOwnThread(a);
        return;
    }
    a->systemAudioStarted = 1;
    SendArtworkAndTrackInfo(a);
    if (!a->keepAliveOn.exchange(1)) EventSet(a->wakeEvent); // first tick at once
}

// ---- set callbacks ----

static void OnConnected(SocketSet *set, int key, void *user) {
    AudioConnection *a = (AudioConnection *)user;
    CallbackScope scope(a);
    if (key == kAudioEventKey) {
        DebugLog(1, "Socket Connect: %s\n", "Audio Port Server Event");
        return;
    }
    if (key != kAudioControlKey) return;
    // The keep-alive requests keep data in flight: a receiver gone silent is noticed by the
    // missing ACKs before its answer bound runs out. The control connection carries little,
    // so its congestion control stays the system's.
    static const TcpTuning kControlTuning = {kAudioLinkTimeoutMs, kAudioKeepAliveMs / 1000, 1,
                                             kAudioLinkTimeoutMs / 1000, nullptr};
    (void)SocketSetTuneTcp(set, key, &kControlTuning);
    std::lock_guard<std::mutex> hold(a->requestLock);
    if (a->state.load() != kAudioIdle) return;
    AnswerArrived(a); // the connection was taken
    a->state = kAudioOptionsSent;
    SendOptions(a);
}

static void OnResponse(SocketSet *, int key, const HttpMessage *response, void *user) {
    AudioConnection *a = (AudioConnection *)user;
    if (key != kAudioControlKey) return;
    AnswerArrived(a);
    int32_t state = a->state.load();
    if (state == kAudioStreaming || state == kAudioIdle || state == kAudioTearingDown) return;
    if (response->statusCode != 200) {
        DebugLog(2, "Audio: the receiver answered %i in state %i; ending the audio\n",
                 response->statusCode, state);
        RequestEnd(a);
        return;
    }
    switch (state) {
    case kAudioOptionsSent:
        SendAnnounce(a);
        break;
    case kAudioAnnounceSent:
        SendSetup(a);
        break;
    case kAudioSetupSent:
        if (!OpenStreamAndRecord(a, response)) RequestEnd(a);
        break;
    case kAudioRecordSent:
        a->latency = AudioLatencyFromResponse(response);
        // A speaker's answer leaves out its own output buffer: below this it finds every
        // packet late and keeps flushing instead of playing.
        if (a->codec != kAudioCodecAacEld && a->latency.load() < kAudioSpeakerMinLatency)
            a->latency = kAudioSpeakerMinLatency;
        DebugLog(2, "Audio: the receiver plays %i samples (%i ms) after their capture\n",
                 (int)a->latency.load(), (int)(a->latency.load() * 1000 / 44100));
        SendVolume(a);
        break;
    case kAudioVolumeSent:
        StartStreaming(a);
        break;
    default:
        break;
    }
}

// Every receive-thread callback (responses, Digest resends, retransmission requests) runs
// under requestLock, so that the keep-alive never replaces the slot's stored request while
// the receive thread is using it.
static void OnReceived(SocketSet *set, int key, const uint8_t *data, size_t length, void *user) {
    AudioConnection *a = (AudioConnection *)user;
    CallbackScope scope(a);
    std::lock_guard<std::mutex> hold(a->requestLock);
    HttpDispatch(set, key, data, length, user);
}

static void OnRequest(SocketSet *, int, const HttpMessage *, void *) {
    DebugLog(2, "Audio: Received an unexpected HTTP request\n");
}

// The tail of the lines that end the sound: a speaker's sound has no picture beside it.
static const char *PictureGoesOn(const AudioConnection *a) {
    return a->mirroring ? ", the picture goes on" : "";
}

// Receive thread, under requestLock. The sound's password is the sound connection's own
// business: the one held (the mirroring connection's, stored or typed) goes first; after a
// refusal, or without one, the owner asks the user, whose answer comes back through
// SetAudioConnectionPassword. The picture is never stopped for the sound's sake.
static void OnPasswordNeeded(SocketSet *set, int key, char *buffer, int, int retried, void *user) {
    AudioConnection *a = (AudioConnection *)user;
    if (key != kAudioControlKey || !buffer) return; // a refusal this side sent: nothing to give
    DebugLog(2, "Audio Got request for password\n");
    if (!retried && a->password) {
        a->answerDeadline = AnswerDeadlineFromNow(); // the challenged request goes out again
        SetDigestPassword(set, CFStringText(a->password));
        return;
    }
    a->answerDeadline = -1; // the user's turn
    MirroringConnection *m = a->mirroring;
    if (m && m->controller && m->controller->onAudioPasswordRequired &&
        m->controller->onAudioPasswordRequired(m->user, m, retried != 0))
        return;
    if (!m && a->ownerOps && a->ownerOps->onPasswordRequired &&
        a->ownerOps->onPasswordRequired(a->owner, a, retried != 0))
        return;
    DebugLog(2,
             "Audio: the receiver wants a password for the sound%s and no one can give it; "
             "ending the audio%s\n",
             retried ? " (the one given was refused)" : "", PictureGoesOn(a));
    a->failure = kAudioPasswordRequired;
    StopFromOwnThread(a);
}

static void OnSent(SocketSet *, int, uint32_t, uint64_t, void *) {}

static void OnClosed(SocketSet *, int reason, void *user) {
    AudioConnection *a = (AudioConnection *)user;
    CallbackScope scope(a);
    // A stop, a refused step or the teardown closed it on purpose.
    if (a->stopping.load() || a->state.load() == kAudioTearingDown || a->ending.load()) return;
    int failure;
    const char *text;
    if (reason == ClosePeerClosed || reason == CloseReceiveFailed) {
        failure = kAudioDisconnectedByHost;
        text = "Disconnected by host: Not ATV2 or Firmware Version Incorrect? Upgrade or Reboot "
               "Apple TV";
    } else if (reason == CloseConnectFailed) {
        failure = kAudioConnectFailed;
        text = "Unable to Connect: Firewall?";
    } else if (reason == CloseTimedOut) {
        failure = kAudioNoAnswer;
        text = "Receiver Unreachable: Link Down?";
    } else {
        failure = kAudioUnknownError;
        text = "Unknown Error";
    }
    DebugLog(2, "Client audio connection failed (%s): %i\n", text, reason);
    if (reason == CloseTimedOut)
        DebugLog(2,
                 "Audio: the receiver acknowledged nothing for %i s (link down or receiver "
                 "gone); ending the audio\n",
                 kAudioLinkTimeoutMs / 1000);
    a->failure = failure;
    StopFromOwnThread(a);
}

// ---- worker: keep-alive and teardown ----

static void AudioKeepAlive(AudioConnection *a) {
    std::lock_guard<std::mutex> hold(a->requestLock);
    if (a->state.load() != kAudioStreaming || !a->socketSet) return;
    const char *names[] = {"User-Agent", "Active-Remote", "DACP-ID", "x-apple-device-id"};
    const char *values[] = {kKeepAliveUserAgent, kActiveRemote, kDacpId, DeviceIdText(a)};
    HeaderList headers{names, values, 4};
    AwaitAnswer(a, "the keep-alive OPTIONS");
    (void)SendHttpRequest(a->socketSet, "OPTIONS", "*", "RTSP/1.0", &headers, nullptr, 0,
                          kAudioControlKey);
}

// Worker: the oldest request's bound has passed. The sound ends with its failure; the
// picture goes on.
static void EndWithoutAnswer(AudioConnection *a) {
    const char *what;
    {
        std::lock_guard<std::mutex> hold(a->requestLock);
        what = a->awaited[a->requestsAnswered % kAudioAwaitedSlots];
    }
    bool connecting = what == kAwaitConnect;
    if (connecting)
        DebugLog(2,
                 "Audio: the receiver did not accept the connection on port %i within %i s; "
                 "ending the audio%s\n",
                 (int)a->port, kAudioAnswerTimeoutMs / 1000, PictureGoesOn(a));
    else
        DebugLog(2,
                 "Audio: the receiver did not answer %s within %i s; ending the audio%s\n",
                 what ? what : "a request", kAudioAnswerTimeoutMs / 1000, PictureGoesOn(a));
    a->failure = connecting ? kAudioConnectFailed : kAudioNoAnswer;
    a->stopping = 1; // the close the teardown causes is no second failure
    RequestEnd(a);
}

// Runs on the worker only, so the set is never closed under one of its own callbacks.
static void AudioTeardown(AudioConnection *a) {
    SocketSet *set = a->socketSet;
    if (set) {
        SocketSetShutdownSlot(set, kAudioControlKey);
        SocketSetShutdownSlot(set, kAudioSyncKey);
        DebugLog(2, "Audio Outgoing Shutdown the SocketSet..\n");
    }
    a->state = kAudioTearingDown;
    DebugLog(2, "Audio Outgoing about to Close the SocketSet..\n");
    // Closing joins the receive thread: a system-audio start it was running has returned
    // and set systemAudioStarted. Frames the capture sends meanwhile are dropped (the state
    // is no longer streaming) or refused by the closed set, which stays allocated until the
    // capture has stopped.
    if (set) SocketSetClose(set, 0);
    if (a->systemAudioStarted.exchange(0)) {
        StopSystemAudio(a);
        DebugLog(2, "Capture audio was stopped\n");
    }
    if (set) {
        {
            // The keep-alive and the callbacks read the pointer under this lock.
            std::lock_guard<std::mutex> hold(a->requestLock);
            a->socketSet = nullptr;
        }
        SocketSetFree(set);
        DebugLog(2, "Socket Set was destroyed\n");
    }
    if (a->timingStarted.exchange(0)) NtpdStop(NtpdAudio());
    DebugLog(2, "Audio was disconnected\n");
    a->state = kAudioIdle;
    a->ended = 1;
    if (a->onDisconnected) a->onDisconnected(a, a->mirroring);
}

static void AudioWorker(void *arg) {
    AudioConnection *a = (AudioConnection *)arg;
    int64_t nextTick = 0;
    for (;;) {
        int timeout = -1;
        int64_t now = MonotonicNanos();
        if (a->keepAliveOn.load()) {
            if (nextTick == 0) nextTick = now;
            timeout = nextTick <= now ? 0 : (int)((nextTick - now + 999999) / 1000000);
        }
        int64_t deadline = a->answerDeadline.load();
        if (deadline > 0) {
            int untilDeadline = deadline <= now ? 0 : (int)((deadline - now + 999999) / 1000000);
            if (timeout < 0 || untilDeadline < timeout) timeout = untilDeadline;
        }
        if (timeout != 0) (void)EventWait(a->wakeEvent, timeout);
        if (a->ending.load()) break;
        deadline = a->answerDeadline.load();
        if (deadline > 0 && MonotonicNanos() >= deadline) {
            EndWithoutAnswer(a);
            break;
        }
        if (a->keepAliveOn.load() && nextTick != 0 && MonotonicNanos() >= nextTick) {
            AudioKeepAlive(a);
            nextTick += (int64_t)kAudioKeepAliveMs * 1000000;
        }
    }
    AudioTeardown(a);
}

// ---- lifecycle ----

static void FreeAudioConnection(AudioConnection *a) {
    CFValueRelease(a->host);
    CFValueRelease(a->password);
    CFValueRelease(a->deviceId);
    EventClose(a->wakeEvent);
    delete a;
}

static bool IsOwnThread(AudioConnection *a) {
    return callbackOwner == a || ThreadIsCurrent(&a->worker);
}

void StopAudioConnection(std::atomic<AudioConnection *> *slot) {
    if (!slot) return;
    AudioConnection *a = slot->load();
    if (!a) return;
    if (IsOwnThread(a)) {
        StopFromOwnThread(a);
        return;
    }
    {
        std::lock_guard<std::mutex> hold(SlotLock());
        a = slot->exchange(nullptr);
    }
    if (!a) return; // another thread is releasing it
    StopFromOwnThread(a);
    // After the join nothing can touch the record: the worker ran the teardown (and with it
    // onDisconnected) and the set, closed and freed there, has no threads left.
    ThreadJoin(&a->worker);
    FreeAudioConnection(a);
}

static int StartConnection(std::atomic<AudioConnection *> *slot, CFValue *host, uint16_t port,
                           CFValue *password, AudioDisconnectedFn onDisconnected,
                           MirroringConnection *mirroring, const AudioOwnerOps *ownerOps,
                           void *owner, CFValue *deviceId, int32_t codec) {
    if (!slot || !host) return 0;
    DebugLog(1, "Audio connecting to: %s on port: %i\n", CFStringText(host), (int)port);
    StopAudioConnection(slot);
    AudioConnection *a = new (std::nothrow) AudioConnection;
    if (!a) {
        DebugLog(2, "Audio: out of memory for the connection\n");
        return 0;
    }
    a->host = CFValueRetain(host);
    a->password = CFValueRetain(password);
    a->deviceId = CFValueRetain(deviceId);
    a->port = port;
    a->codec = codec;
    a->framesPerPacket = AudioFramesPerPacket(codec);
    a->mirroring = mirroring;
    a->onDisconnected = onDisconnected;
    a->ownerOps = ownerOps;
    a->owner = owner;
    a->sendPacket = SendToSlot;
    a->wakeEvent = EventCreate(false, false);
    if (!a->wakeEvent || !ThreadStart(&a->worker, "AudioConnection", AudioWorker, a)) {
        DebugLog(2, "Audio: could not start the connection's thread\n");
        FreeAudioConnection(a);
        return 0;
    }
    slot->store(a);

    SocketSet *set = SocketSetCreate();
    if (set) {
        set->onClosed = OnClosed;
        set->onConnected = OnConnected;
        set->onReceived = OnReceived;
        set->onSent = OnSent;
        set->onRawData = HandleRetransmitRequest;
        set->onRequest = OnRequest;
        set->onResponse = OnResponse;
        set->onPasswordNeeded = OnPasswordNeeded;
        set->user = a;
        if (password) SetDigestPassword(set, CFStringText(password));
        a->socketSet = set;
        std::lock_guard<std::mutex> hold(a->requestLock);
        AwaitAnswer(a, kAwaitConnect);
    }
    if (!set || !SocketSetOpen(set, CFStringText(host), 0, port, TcpConnect, kAudioControlKey, 1)) {
        DebugLog(2, "Audio: could not open the control connection to %s\n", CFStringText(host));
        a->failure = kAudioUnknownError;
        RequestEnd(a);
        return 0;
    }
    return 1;
}

int StartAudioConnection(std::atomic<AudioConnection *> *slot, CFValue *host, uint16_t port,
                         CFValue *password, AudioDisconnectedFn onDisconnected,
                         MirroringConnection *mirroring, CFValue *deviceId, int32_t codec) {
    return StartConnection(slot, host, port, password, onDisconnected, mirroring, nullptr, nullptr,
                           deviceId, codec);
}

int StartOwnedAudioConnection(std::atomic<AudioConnection *> *slot, CFValue *host, uint16_t port,
                              CFValue *password, AudioDisconnectedFn onDisconnected,
                              const AudioOwnerOps *ownerOps, void *owner, CFValue *deviceId,
                              int32_t codec) {
    return StartConnection(slot, host, port, password, onDisconnected, nullptr, ownerOps, owner,
                           deviceId, codec);
}

void SetAudioConnectionPassword(std::atomic<AudioConnection *> *slot, const char *text) {
    if (!slot) return;
    std::lock_guard<std::mutex> slotHold(SlotLock());
    AudioConnection *a = slot->load();
    if (!a || a->ending.load()) return;
    if (!text) {
        DebugLog(2, "Audio: no password was given for the sound; ending the audio%s\n",
                 PictureGoesOn(a));
        a->failure = kAudioPasswordRequired;
        StopFromOwnThread(a);
        return;
    }
    CFValue *copy = CFStringFromBytes(text, (int32_t)strlen(text));
    std::lock_guard<std::mutex> hold(a->requestLock);
    if (!a->socketSet || !copy) {
        CFValueRelease(copy);
        return;
    }
    CFValueRelease(a->password);
    a->password = copy;
    int64_t paused = -1;
    if (a->answerDeadline.compare_exchange_strong(paused, AnswerDeadlineFromNow()))
        EventSet(a->wakeEvent);
    SetDigestPassword(a->socketSet, text);
}

void AudioConnectionStatus(std::atomic<AudioConnection *> *slot, int32_t *state, int32_t *failure) {
    std::lock_guard<std::mutex> hold(SlotLock());
    AudioConnection *a = slot ? slot->load() : nullptr;
    if (state) *state = a ? a->state.load() : 0;
    if (failure) *failure = a ? a->failure.load() : 0;
}

const MirroringAudioOps kAudioConnectionOps = {
    .start = StartAudioConnection,
    .stop = StopAudioConnection,
};
