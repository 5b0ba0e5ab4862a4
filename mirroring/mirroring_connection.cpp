#include "mirroring/mirroring_connection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/event.h"
#include "base/log.h"
#include "base/thread.h"
#include "mirroring/ntpd.h"
#include "mirroring/stream_setup.h"
#include "net/digest.h"
#include "net/http.h"
#include "net/socket_set.h"
#include "plist/cfvalue.h"
#include "plist/plist.h"

static std::atomic<MirroringConnection *> currentConnection{nullptr};

// The connection whose socket-set callback the calling thread is running, if any. A stop
// requested there must not wait for MirroringThread: that thread joins this one when it
// closes the set.
static thread_local MirroringConnection *callbackOwner = nullptr;

namespace {
struct CallbackScope {
    MirroringConnection *previous;
    explicit CallbackScope(MirroringConnection *c) : previous(callbackOwner) { callbackOwner = c; }
    ~CallbackScope() { callbackOwner = previous; }
};
} // namespace

static const char *DeviceIdText(const MirroringConnection *c) {
    return c->deviceId ? CFStringText(c->deviceId) : "(null)";
}

// ---- answer deadlines ----

static const char kAwaitConnect[] = "the connection on port 7100";

// The receiver now has kMirroringAnswerTimeoutMs to answer what.
static void AwaitAnswer(MirroringConnection *c, const char *what) {
    c->answerAwaited = what;
    c->answerDeadline = MonotonicNanos() + (int64_t)kMirroringAnswerTimeoutMs * 1000000;
}

// The receiver challenged for a password: the wait is the user's until one is given.
static void PauseAnswerDeadline(MirroringConnection *c) {
    int64_t deadline = c->answerDeadline.load();
    while (deadline > 0 && !c->answerDeadline.compare_exchange_weak(deadline, -1)) {
    }
}

// How long MirroringThread may wait before looking at the deadline again: -1 when nothing is
// awaited, at most a second otherwise (a paused or moved deadline changes under the wait).
static int AnswerWaitMs(const MirroringConnection *c) {
    int64_t deadline = c->answerDeadline.load();
    if (deadline == 0) return -1;
    if (deadline < 0) return 1000;
    int64_t left = deadline - MonotonicNanos();
    if (left <= 0) return 0;
    return left >= 1000000000 ? 1000 : (int)((left + 999999) / 1000000);
}

static bool AnswerOverdue(const MirroringConnection *c) {
    int64_t deadline = c->answerDeadline.load();
    return deadline > 0 && MonotonicNanos() >= deadline;
}

// ---- frames ----

static void FreeFrame(MirroringFrame *frame) {
    if (!frame) return;
    free(frame->codecHeader);
    free(frame->frameData);
    free(frame);
}

static uint8_t *CopyBlock(const uint8_t *bytes, uint64_t length) {
    if (length == 0) return nullptr;
    if (length > SIZE_MAX) return nullptr;
    uint8_t *copy = (uint8_t *)malloc((size_t)length);
    if (copy) memcpy(copy, bytes, (size_t)length);
    return copy;
}

void EnqueueVideoFrame(void *connection, const uint8_t *codecHeader, uint64_t codecHeaderLength,
                       const uint8_t *frameData, uint64_t frameLength, int32_t pictureWidth,
                       int32_t pictureHeight, int64_t captureNanos) {
    MirroringConnection *c = (MirroringConnection *)connection;
    if (!c) return;
    MirroringFrame *frame = (MirroringFrame *)calloc(1, sizeof(MirroringFrame));
    if (!frame) {
        c->pictureLost = 1;
        return;
    }
    frame->codecHeader = CopyBlock(codecHeader, codecHeaderLength);
    frame->codecHeaderLength = frame->codecHeader ? codecHeaderLength : 0;
    frame->frameData = CopyBlock(frameData, frameLength);
    frame->frameLength = frame->frameData ? frameLength : 0;
    frame->pictureWidth = pictureWidth;
    frame->pictureHeight = pictureHeight;
    frame->captureNanos = captureNanos;
    if (frameLength && !frame->frameData) {
        DebugLog(2, "Dropped a picture of %llu bytes: out of memory\n",
                 (unsigned long long)frameLength);
        FreeFrame(frame);
        c->pictureLost = 1;
        return;
    }
    {
        std::lock_guard<std::mutex> hold(c->frameLock);
        if (c->frameTail) c->frameTail->next = frame;
        else c->frameHead = frame;
        c->frameTail = frame;
    }
    EventSet(c->frameEvent);
}

int64_t MirroringPictureDelayMicros(const MirroringConnection *c) {
    return c ? c->pictureDelayMicros.load() : -1;
}

static MirroringFrame *TakeAllFrames(MirroringConnection *c) {
    std::lock_guard<std::mutex> hold(c->frameLock);
    MirroringFrame *list = c->frameHead;
    c->frameHead = c->frameTail = nullptr;
    return list;
}

static void FreeFrames(MirroringFrame *list) {
    while (list) {
        MirroringFrame *next = list->next;
        FreeFrame(list);
        list = next;
    }
}

// ---- stream info ----

// Stores the stream sizes for a receiver reporting width x height; a width other than the
// two known ones (0 when unknown) gives 1280x720.
static void SetStreamSize(MirroringConnection *c, int width, int height) {
    int receiverWidth = 1280, receiverHeight = 720;
    if (width == 1920 || width == 1280) {
        receiverWidth = width;
        receiverHeight = height;
        // The height is taken as reported, but not one that would have the capture side
        // allocate nothing or gigabytes: those get the usual 16:9 height.
        if (height < 1 || height > kMaxReceiverHeight) {
            receiverHeight = width * 9 / 16;
            DebugLog(2, "Receiver reported height %i; using %i\n", height, receiverHeight);
        }
    }
    int force = c->capture->force720p(c->captureContext);
    c->capture->setStreamSizes(c->captureContext, receiverWidth, receiverHeight,
                               force ? 1280 : receiverWidth, force ? 720 : receiverHeight);
}

void ApplyStreamInfo(MirroringConnection *c, const CFValue *info) {
    CFValueDescribe(info, 0);
    SetStreamSize(c, CFNumberGetInt(CFDictionaryFindText(info, "width")),
                  CFNumberGetInt(CFDictionaryFindText(info, "height")));
    const CFValue *overscanned = CFDictionaryFindText(info, "overscanned");
    bool overscan = false;
    if (CFValueIsKind(overscanned, kCFString))
        overscan = strcasecmp(CFStringText(overscanned), "true") == 0;
    else if (CFValueIsKind(overscanned, kCFNumber))
        overscan = CFNumberGetBool(overscanned);
    if (overscan) c->capture->setOverscan(c->captureContext, 0.1f);
}

// ---- socket-set callbacks ----

static void SendStreamXmlRequest(SocketSet *set, MirroringConnection *c) {
    const char *names[] = {"rmodel", "X-Apple-ProtocolVersion", "User-Agent", "x-apple-device-id"};
    const char *values[] = {"PC1,1", "1", "Ostrel/1.1", DeviceIdText(c)};
    HeaderList headers{names, values, 4};
    (void)SendHttpRequest(set, "GET", "/stream.xml", "HTTP/1.1", &headers, nullptr, 0,
                          kMirroringKey);
}

static void OnConnected(SocketSet *set, int key, void *user) {
    MirroringConnection *c = (MirroringConnection *)user;
    CallbackScope scope(c);
    if (key != kMirroringKey) return;
    DebugLog(2, "Main Mirroring Connection Established\n");
    // The stream goes out over whatever the link gives: a receiver that vanishes is noticed by
    // the missing ACKs, and BBR keeps the rate up under the loss of a Wi-Fi link. The network
    // benchmark names another algorithm in OSTREL_CONGESTION_CONTROL to compare against it.
    const char *congestion = getenv("OSTREL_CONGESTION_CONTROL");
    const TcpTuning streamTuning = {kMirroringLinkTimeoutMs, kMirroringKeepAliveIdleS, 1,
                                    kMirroringLinkTimeoutMs / 1000,
                                    congestion && *congestion ? congestion : "bbr"};
    (void)SocketSetTuneTcp(set, key, &streamTuning);
    c->state = kMirroringConnected;
    c->heartbeatTime = (int64_t)time(nullptr) + 5;
    AwaitAnswer(c, "GET /stream.xml");
    SendStreamXmlRequest(set, c);
}

// Under audioLock.
static void StartAudioLocked(MirroringConnection *c) {
    if (c->audioPort == 0 || !c->controller->audio) return;
    CFValue *password;
    {
        std::lock_guard<std::mutex> hold(c->passwordLock);
        password = CFValueRetain(c->password);
    }
    (void)c->controller->audio->start(&c->audio, c->host, c->audioPort, password,
                                      c->controller->onAudioDisconnected, c, c->deviceId,
                                      c->audioCodec);
    CFValueRelease(password);
}

void StartConnectionAudio(MirroringConnection *c) {
    std::lock_guard<std::mutex> hold(c->audioLock);
    c->audioOn = 1;
    StartAudioLocked(c);
}

void StopConnectionAudio(MirroringConnection *c) {
    std::lock_guard<std::mutex> hold(c->audioLock);
    c->audioOn = 0;
    if (c->controller->audio) c->controller->audio->stop(&c->audio);
}

static void OnResponse(SocketSet *set, int key, const HttpMessage *response, void *user) {
    (void)set;
    MirroringConnection *c = (MirroringConnection *)user;
    CallbackScope scope(c);
    DebugLog(1, "Received response code: %i response: %s\n", response->statusCode,
             response->first ? response->first : "");
    c->answerDeadline = 0; // GET /stream.xml and POST /stream are each answered once
    if (response->statusCode != 200 || key != kMirroringKey) {
        c->failure = kMirroringDisconnectedByHost;
        if (response->statusCode == 453 && c->controller->onDeviceInUse)
            c->controller->onDeviceInUse(c->user, c);
        StopMirroringConnection(c);
        return;
    }
    if (c->state.load() != kMirroringConnected) return; // the answer to POST /stream
    CFValue *info = nullptr;
    if (response->body && response->bodyLength > 0 && response->bodyLength < UINT32_MAX)
        info = PlistParseBytes(response->body, (size_t)response->bodyLength);
    if (info) {
        ApplyStreamInfo(c, info);
        CFValueRelease(info);
    } else {
        // The sizes the capture side holds stay, unless it holds none yet: a stream of 0x0
        // would never send a picture, so it gets the size of an unknown receiver.
        StreamGeometryInputs held{};
        c->capture->readGeometry(c->captureContext, &held);
        if (held.receiverWidth > 0 && held.receiverHeight > 0 && held.targetWidth > 0 &&
            held.targetHeight > 0) {
            DebugLog(2, "Stream description is not a property list; keeping the current sizes\n");
        } else {
            DebugLog(2, "Stream description is not a property list; streaming at 1280x720\n");
            SetStreamSize(c, 0, 0);
        }
    }
    c->state = kMirroringInfoReceived;
    EventSet(c->startEvent);
    std::lock_guard<std::mutex> hold(c->audioLock);
    if (c->audioOn.load() && c->stopState.load() == 0) StartAudioLocked(c);
}

static void OnRequest(SocketSet *, int, const HttpMessage *, void *user) {
    CallbackScope scope((MirroringConnection *)user);
    DebugLog(2, "Received unexpected request\n");
}

static void OnPasswordNeeded(SocketSet *set, int, char *, int, int retried, void *user) {
    MirroringConnection *c = (MirroringConnection *)user;
    CallbackScope scope(c);
    DebugLog(2, "Video got request for password\n");
    PauseAnswerDeadline(c);
    if (c->controller->onPasswordRequired) c->controller->onPasswordRequired(c->user, c, set, retried != 0);
}

static void OnRawData(SocketSet *, int, const uint8_t *, size_t, void *) {
    // Bytes outside HTTP messages carry nothing this side needs.
}

static void OnSent(SocketSet *, int, uint32_t, uint64_t, void *) {}

// True when host accepts a TCP connection on port within a second (on a working network a
// live port answers in milliseconds, and a refused one at once).
static bool PortAnswers(const char *host, uint16_t port) {
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    if (inet_pton(AF_INET, host, &remote.sin_addr) != 1) return false;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool answers = connect(fd, (sockaddr *)&remote, sizeof remote) == 0;
    if (!answers && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        answers = poll(&p, 1, 1000) == 1 &&
                  getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
    close(fd);
    return answers;
}

static void OnClosed(SocketSet *, int reason, void *user) {
    MirroringConnection *c = (MirroringConnection *)user;
    CallbackScope scope(c);
    int failure;
    const char *text;
    if (reason == ClosePeerClosed || reason == CloseReceiveFailed) {
        failure = kMirroringDisconnectedByHost;
        text = "Disconnected by host: Not ATV2 or Firmware Version Incorrect? Upgrade or Reboot "
               "Apple TV";
    } else if (reason == CloseConnectFailed) {
        failure = kMirroringConnectFailed;
        text = "Unable to Connect: Firewall?";
    } else if (reason == CloseTimedOut) {
        failure = kMirroringNoAnswer;
        text = "Receiver Unreachable: Link Down?";
    } else {
        failure = kMirroringUnknownError;
        text = "Unknown Error";
    }
    DebugLog(2, "Client mirroring connection failed (%s): %i\n", text, reason);
    // While the connection is being stopped the socket goes down on purpose: not a failure.
    if (c->stopState.load() != 0) return;
    if (reason == CloseTimedOut)
        DebugLog(2,
                 "AirPlay: the receiver acknowledged nothing for %i s (link down or receiver "
                 "gone); ending the connection\n",
                 kMirroringLinkTimeoutMs / 1000);
    if (reason == CloseConnectFailed && PortAnswers(CFStringText(c->host), kMirroringTouchPort))
        DebugLog(2,
                 "AirPlay: port %u refused but port %u answers: the receiver does not accept "
                 "this kind of screen mirroring\n",
                 (unsigned)kMirroringPort, (unsigned)kMirroringTouchPort);
    c->failure = failure;
    c->state = kMirroringSetFailed;
    StopMirroringConnection(c);
}

// ---- MirroringThread ----

static void SendToReceiver(void *context, const uint8_t *bytes, size_t length) {
    MirroringConnection *c = (MirroringConnection *)context;
    // A broken connection is reported by the set itself; a full queue drops the packet, and
    // the picture after it has to stand on its own.
    if (!SocketSetSend(c->streamSet, bytes, length, kMirroringKey)) c->pictureLost = 1;
}

// A picture (or its codec packet) did not make it into the send ring: the receiver's picture
// is whole again only from a key frame, sent with its codec header.
static void RecoverFromLoss(MirroringConnection *c) {
    if (c->pictureLost.exchange(0) == 0) return;
    c->sender.lastCodecHeaderLength = 0;
    DebugLog(2, "AirPlay: a picture was lost on the way out; asking for a key frame\n");
    c->capture->requestKeyFrame(c->captureContext);
}

// Measures what waits on the stream connection and passes the budget's decisions on.
static void PaceToLink(MirroringConnection *c) {
    SocketSendState state{};
    if (!SocketSetSendState(c->streamSet, kMirroringKey, &state)) return;
    int32_t ceiling = c->budget.ceilingKbps;
    if (!SendBudgetUpdate(&c->budget, MonotonicNanos(), state.ringBytes + state.socketBytes,
                          state.bytesAcked))
        return;
    if (c->budget.ceilingKbps != ceiling) {
        if (c->budget.ceilingKbps)
            DebugLog(2, "AirPlay: the link carries about %.0f kbit/s; video limited to %i kbit/s\n",
                     c->budget.bytesPerSecond * 8.0 / 1000.0, c->budget.ceilingKbps);
        else
            DebugLog(2, "AirPlay: the link keeps up; video no longer limited by it\n");
    }
    c->capture->setSendLimits(c->captureContext, c->budget.hold, c->budget.ceilingKbps);
}

static void SendStreamFrame(MirroringConnection *c, const MirroringFrame *frame) {
    StreamGeometryInputs inputs{};
    c->capture->readGeometry(c->captureContext, &inputs);
    // The header describes this picture: pictures encoded before a resize are still in
    // the queue when the capture side already reports the new size.
    if (frame->pictureWidth > 0 && frame->pictureHeight > 0) {
        inputs.pictureWidth = frame->pictureWidth;
        inputs.pictureHeight = frame->pictureHeight;
    }
    c->sender.heartbeatTime = c->heartbeatTime.load();
    // The packet's stamp is read right after this: the picture's age then.
    if (frame->captureNanos > 0) {
        PictureDelayAdd(&c->pictureDelay, (MonotonicNanos() - frame->captureNanos) / 1000);
        c->pictureDelayMicros = PictureDelayMedian(&c->pictureDelay);
    }
    StreamSenderSendFrame(&c->sender, frame->codecHeader, (size_t)frame->codecHeaderLength,
                          frame->frameData, (size_t)frame->frameLength, inputs,
                          (int64_t)time(nullptr));
    c->heartbeatTime = c->sender.heartbeatTime;
}

// Takes the set from the connection, closes and frees it. Only MirroringThread calls this,
// and no callback ever waits for that thread, so joining the set's threads cannot cycle.
// The slot is not shut down first: SocketSetClose does that itself, and an earlier shutdown
// would make the receive thread see the stream end, close the set at the same moment as
// this thread, and report the receiver as gone.
static void CloseMainSet(MirroringConnection *c) {
    SocketSet *set;
    {
        std::lock_guard<std::mutex> hold(c->setLock);
        set = c->socketSet;
        c->socketSet = nullptr;
    }
    if (!set) return;
    SocketSetClose(set, 0);
    SocketSetFree(set);
}

// MirroringThread: the receiver let the bound pass without answering. The connection ends as
// after any other failure, this thread completing the stop (unless one is under way).
static void EndWithoutAnswer(MirroringConnection *c) {
    {
        std::lock_guard<std::mutex> hold(c->stopLock);
        if (c->stopState != 0) return;
        c->stopState = 1;
        c->finishOnThreadEnd = 1;
    }
    const char *what = c->answerAwaited.load();
    bool connecting = what == kAwaitConnect;
    if (connecting)
        DebugLog(2, "AirPlay: the receiver did not accept %s within %i s\n", what,
                 kMirroringAnswerTimeoutMs / 1000);
    else
        DebugLog(2, "AirPlay: the receiver did not answer %s within %i s; ending the connection\n",
                 what ? what : "a request", kMirroringAnswerTimeoutMs / 1000);
    c->failure = connecting ? kMirroringConnectFailed : kMirroringNoAnswer;
    c->state = kMirroringSetFailed;
    EventReset(c->teardownEvent);
    c->established = 0;
    EventSet(c->startEvent);
    EventSet(c->frameEvent);
}

static void RunStream(MirroringConnection *c, SocketSet *set) {
    DebugLog(1, "Sending Plist\n");
    const char *names[] = {"Content-Type", "User-Agent", "x-apple-device-id"};
    const char *values[] = {"application/octet-stream", "Ostrel/1.1", DeviceIdText(c)};
    HeaderList headers{names, values, 3};
    AwaitAnswer(c, "POST /stream");
    (void)SendHttpRequest(set, "POST", "/stream", "HTTP/1.1", &headers, StreamSetupPlist,
                          kStreamSetupPlistLength, kMirroringKey);
    c->sender.send = SendToReceiver;
    c->sender.context = c;
    c->sender.headerSent = 0;
    c->streamSet = set;
    c->pictureLost = 0;
    SendBudgetInit(&c->budget);
    c->capture->setSendLimits(c->captureContext, 0, 0);
    c->capture->start(c->captureContext, c, c->displayIndex, c->window);
    if (!NtpdIsRunning(NtpdVideo()) && !NtpdStartVideo()) {
        DebugLog(2, "AirPlay: streaming without the timing service\n");
    }
    c->established = 1;
    // A stop that came before this point has already set frameEvent; established was
    // cleared then too, but is set again just above, so look at the stop state as well.
    if (c->stopState.load() != 0) c->established = 0;
    for (;;) {
        // The link is looked at every few milliseconds, also while no picture comes (held
        // back, or a still screen).
        int waitMs = AnswerWaitMs(c);
        if (waitMs < 0 || waitMs > kSendBudgetTickMs) waitMs = kSendBudgetTickMs;
        if (EventWait(c->frameEvent, waitMs) != 1) {
            if (!AnswerOverdue(c)) {
                if (c->established.load()) PaceToLink(c);
                continue;
            }
            EndWithoutAnswer(c);
        }
        EventReset(c->frameEvent);
        if (c->established.load() == 0) break;
        // Everything queued goes out now: leaving pictures for a later wake-up would make
        // every coalesced wake-up add a picture of delay for the rest of the stream.
        MirroringFrame *list = TakeAllFrames(c);
        while (list) {
            MirroringFrame *next = list->next;
            if (c->established.load()) SendStreamFrame(c, list);
            FreeFrame(list);
            list = next;
        }
        RecoverFromLoss(c);
        PaceToLink(c);
    }
    DebugLog(2, "AirPlay: Left connected loop shutting down!\n");
    c->capture->setSendLimits(c->captureContext, 0, 0);
    c->capture->stop(c->captureContext);
    DebugLog(2, "AirPlay: Past CaptureVideoStop!\n");
    CloseMainSet(c);
    if (NtpdIsRunning(NtpdVideo())) NtpdStop(NtpdVideo());
    DebugLog(2, "AirPlay: Past NTP Server Stop!\n");
    FreeFrames(TakeAllFrames(c));
    c->state = kMirroringIdle;
    SleepMillis(500);
    DebugLog(2,
             "AirPlay: Slept for %ims to make sure we're waiting for the teardownDidFinshEvent\n",
             500);
}

static void FinishStop(MirroringConnection *c);

// Port 7000 is touched once and abandoned: the connection attempt starts (a non-blocking
// connect sends its SYN before it returns) and the socket is closed at once, so that nothing
// waits for the outcome. A socket-set slot closed at once may never get as far as the attempt.
static void TouchPort(const char *host, uint16_t port) {
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    if (inet_pton(AF_INET, host, &remote.sin_addr) != 1) {
        DebugLog(1, "AirPlay: %s is not an IPv4 address; port %u not touched\n", host, port);
        return;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    (void)!connect(fd, (sockaddr *)&remote, sizeof remote);
    close(fd);
}

// The thread could not open the main set: the connection ends as after any other failure,
// the thread finishing the stop itself (unless a stop is under way already).
static void EndAfterOpenFailure(MirroringConnection *c) {
    c->failure = kMirroringUnknownError;
    c->state = kMirroringSetFailed;
    std::lock_guard<std::mutex> hold(c->stopLock);
    if (c->stopState != 0) return;
    c->stopState = 1;
    c->finishOnThreadEnd = 1;
    c->established = 0;
}

// Creates the main set with the connection's callbacks and opens the mirroring slot.
// Returns the set (also stored in the connection), or null when it could not be opened.
static SocketSet *OpenMainSet(MirroringConnection *c) {
    SocketSet *set = SocketSetCreate();
    if (!set) {
        DebugLog(2, "AirPlay: could not create the socket set\n");
        return nullptr;
    }
    set->onClosed = OnClosed;
    set->onConnected = OnConnected;
    set->onReceived = HttpDispatch;
    set->onSent = OnSent;
    set->onRawData = OnRawData;
    set->onRequest = OnRequest;
    set->onResponse = OnResponse;
    set->onPasswordNeeded = OnPasswordNeeded;
    set->user = c;
    {
        std::lock_guard<std::mutex> hold(c->setLock);
        c->socketSet = set;
    }

    if (c->controller->onStoredPasswordQuery) {
        CFValue *stored = nullptr;
        c->controller->onStoredPasswordQuery(c->user, c, &stored, c->queryUser);
        if (stored) {
            std::lock_guard<std::mutex> hold(c->passwordLock);
            CFValueRelease(c->password);
            c->password = stored;
            SetDigestPassword(set, CFStringText(stored));
        }
    }

    TouchPort(CFStringText(c->host), kMirroringTouchPort);

    AwaitAnswer(c, kAwaitConnect);
    if (!SocketSetOpen(set, CFStringText(c->host), 0, kMirroringPort, TcpConnect, kMirroringKey,
                       1)) {
        DebugLog(2, "AirPlay: could not open the mirroring socket to %s\n", CFStringText(c->host));
        return nullptr; // the set stays in the connection; the thread closes it at its end
    }
    return set;
}

static void MirroringThread(void *arg) {
    MirroringConnection *c = (MirroringConnection *)arg;
    SocketSet *set = OpenMainSet(c);
    if (!set) EndAfterOpenFailure(c);
    else if (c->state.load() == kMirroringIdle) c->state = kMirroringSocketsOpened;
    EventSet(c->openedEvent);

    if (set) {
        // The receiver has its bound to take the connection and to describe its screen.
        while (EventWait(c->startEvent, AnswerWaitMs(c)) != 1) {
            if (AnswerOverdue(c)) {
                EndWithoutAnswer(c);
                break;
            }
        }
        EventReset(c->startEvent);
    }
    if (set && c->failure.load() == 0 && c->stopState.load() == 0) {
        DebugLog(1, "AirPlay:\tSignalled to start streaming video packets\n");
        if (c->userCancelled.load() == 0) {
            c->state = kMirroringStreaming;
            RunStream(c, set);
        } else {
            SleepMillis(500);
        }
    }
    // Also when the stream never ran: a set left open would report its close later through
    // a connection that has already ended.
    CloseMainSet(c);
    EventSet(c->teardownEvent);
    // Socket-set threads that stopped the connection have returned by now (the close
    // joined them), so their request is visible here.
    if (c->finishOnThreadEnd.load()) {
        DebugLog(2, "AirPlay finished disconnecting.\n");
        FinishStop(c);
    }
}

// ---- lifecycle ----

MirroringConnection *StartMirroringConnection(CFValue *host, uint16_t audioPort, int32_t audioCodec,
                                              int displayIndex, uintptr_t window,
                                              const MirroringCaptureOps *capture,
                                              void *captureContext, int audioOn, CFValue *deviceId,
                                              const MirroringControllerOps *controller, void *user,
                                              void *queryUser) {
    static const MirroringControllerOps kNoController{};
    MirroringConnection *c = new (std::nothrow) MirroringConnection;
    if (!c) return nullptr;
    c->host = CFValueRetain(host);
    c->audioPort = audioPort;
    c->audioCodec = audioCodec;
    c->displayIndex = displayIndex;
    c->window = window;
    c->capture = capture;
    c->captureContext = captureContext;
    c->audioOn = audioOn;
    c->deviceId = CFValueRetain(deviceId);
    c->controller = controller ? controller : &kNoController;
    c->user = user;
    c->queryUser = queryUser;
    c->openedEvent = EventCreate(true, false);
    c->teardownEvent = EventCreate(true, false);
    c->startEvent = EventCreate(true, false);
    c->frameEvent = EventCreate(true, false);
    c->stoppedEvent = EventCreate(true, false);
    if (!c->openedEvent || !c->teardownEvent || !c->startEvent || !c->frameEvent ||
        !c->stoppedEvent || !StreamSenderInit(&c->sender, SendToReceiver, nullptr)) {
        DebugLog(2, "AirPlay thread could not be created.\n");
        FreeMirroringConnection(c);
        return nullptr;
    }
    currentConnection = c;
    DebugLog(2, "Got AirPlay DeviceID: %s\n", DeviceIdText(c));

    int created = ThreadStart(&c->thread, "MirroringThread", MirroringThread, c);
    {
        std::lock_guard<std::mutex> hold(c->stopLock);
        c->threadStarted = created == 1;
    }
    if (!created) {
        DebugLog(2, "AirPlay thread could not be created.\n");
        c->failure = kMirroringUnknownError;
        return c; // nothing would ever set openedEvent
    }
    if (c->controller->onStart) c->controller->onStart(c->user, c);
    (void)EventWait(c->openedEvent, -1);
    return c;
}

// The last steps of a stop, once MirroringThread has ended.
static void FinishStop(MirroringConnection *c) {
    StopConnectionAudio(c);
    c->state = kMirroringIdle;
    StreamSenderFree(&c->sender);
    if (c->controller->onDisconnected) c->controller->onDisconnected(c->user, c);
    {
        std::lock_guard<std::mutex> hold(c->stopLock);
        c->stopState = 2;
    }
    EventSet(c->stoppedEvent);
}

void StopMirroringConnection(MirroringConnection *c) {
    if (!c) return;
    bool onOwnSetThread = callbackOwner == c;
    {
        std::unique_lock<std::mutex> hold(c->stopLock);
        if (c->stopState != 0) {
            // Stopped already, or another thread is stopping it: wait for that to finish,
            // unless this is a thread the stop itself has to join.
            hold.unlock();
            if (!onOwnSetThread) (void)EventWait(c->stoppedEvent, -1);
            return;
        }
        c->stopState = 1;
        if (onOwnSetThread) c->finishOnThreadEnd = 1;
    }
    DebugLog(2, "AirPlay connected state is: %i.\n", c->established.load());
    EventReset(c->teardownEvent);
    c->established = 0;
    EventSet(c->startEvent);
    EventSet(c->frameEvent);
    if (onOwnSetThread) return; // MirroringThread completes the stop once it has closed the set

    bool join;
    {
        std::lock_guard<std::mutex> hold(c->stopLock);
        join = c->threadStarted && !c->threadJoined;
        c->threadJoined = c->threadJoined || join;
    }
    if (join) ThreadJoin(&c->thread);
    DebugLog(2, "AirPlay finished disconnecting.\n");
    FinishStop(c);
}

void MirroringConnectionCaptureFailed(MirroringConnection *c) {
    if (!c) return;
    {
        std::lock_guard<std::mutex> hold(c->stopLock);
        if (c->stopState != 0) return;
        c->stopState = 1;
        // MirroringThread finishes the stop: this may be the capture thread, which the stop
        // joins.
        c->finishOnThreadEnd = 1;
    }
    DebugLog(2, "AirPlay: capture failed; ending the connection\n");
    c->failure = kMirroringCaptureFailed;
    c->state = kMirroringSetFailed;
    EventReset(c->teardownEvent);
    c->established = 0;
    EventSet(c->startEvent);
    EventSet(c->frameEvent);
}

void FreeMirroringConnection(MirroringConnection *c) {
    if (!c) return;
    if (c->threadStarted) StopMirroringConnection(c);
    bool join;
    {
        std::lock_guard<std::mutex> hold(c->stopLock);
        join = c->threadStarted && !c->threadJoined;
        c->threadJoined = true;
    }
    // A stop that a socket-set thread requested is completed by MirroringThread itself.
    if (join) ThreadJoin(&c->thread);
    // An audio connection that ended on one of its own threads is still held here.
    if (c->controller->audio) c->controller->audio->stop(&c->audio);
    MirroringConnection *expected = c;
    currentConnection.compare_exchange_strong(expected, nullptr);
    FreeFrames(TakeAllFrames(c));
    StreamSenderFree(&c->sender);
    CFValueRelease(c->host);
    CFValueRelease(c->deviceId);
    CFValueRelease(c->password);
    EventClose(c->openedEvent);
    EventClose(c->teardownEvent);
    EventClose(c->startEvent);
    EventClose(c->frameEvent);
    EventClose(c->stoppedEvent);
    delete c;
}

void SetConnectionPassword(MirroringConnection *c, const char *text) {
    if (!c || !text) return;
    CFValue *changed = nullptr;
    {
        std::lock_guard<std::mutex> hold(c->passwordLock);
        if (!c->password || CFStringText(c->password) != text) {
            CFValueRelease(c->password);
            c->password = CFStringFromBytes(text, (int32_t)strlen(text));
            changed = CFValueRetain(c->password);
        }
    }
    if (changed) {
        if (c->controller->onPasswordChanged) c->controller->onPasswordChanged(c->user, c, changed);
        CFValueRelease(changed);
    }
    // A challenged request goes out again now: the receiver's bound starts anew.
    int64_t paused = -1;
    c->answerDeadline.compare_exchange_strong(
        paused, MonotonicNanos() + (int64_t)kMirroringAnswerTimeoutMs * 1000000);
    std::lock_guard<std::mutex> hold(c->setLock);
    if (c->socketSet) SetDigestPassword(c->socketSet, text);
}

int32_t MirroringConnectionState() {
    MirroringConnection *c = currentConnection.load();
    return c ? c->state.load() : 0;
}

MirroringConnection *CurrentMirroringConnection() { return currentConnection.load(); }
