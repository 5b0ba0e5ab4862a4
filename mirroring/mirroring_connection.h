// MirroringConnection: one screen-mirroring connection with one receiver, from the first
// TCP connection on port 7100 to the last stream packet. The controller starts it with
// StartMirroringConnection (which returns once the sockets are open), stops it with
// StopMirroringConnection, and frees it with FreeMirroringConnection.
//
// Threads: the starter and the controller (user-interface thread); MirroringThread, which
// owns the stream; the main SocketSet's connect, receive and send threads (callbacks); the
// encoder's thread (EnqueueVideoFrame). Hand-offs go through the four manual-reset events
// and the atomic state, established, failure and userCancelled fields.
//
// The capture manager and the controller are reached through small ops tables so that the
// connection can run against a fake frame source in tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/thread.h"
#include "mirroring/picture_delay.h"
#include "mirroring/send_budget.h"
#include "mirroring/stream_packets.h"

struct AudioConnection;
struct CFValue;
struct Event;
struct SocketSet;
struct MirroringConnection;

enum MirroringState : int32_t {
    kMirroringIdle = 0,          // just created, or stopped
    kMirroringSocketsOpened = 1, // MirroringThread opened its sockets
    kMirroringConnected = 2,     // port 7100 connected, GET /stream.xml sent
    kMirroringInfoReceived = 3,  // /stream.xml answered
    kMirroringStreaming = 4,
    kMirroringSetFailed = 6,     // the main socket set failed
};

enum MirroringFailure : int32_t {
    kMirroringNoFailure = 0,
    kMirroringConnectFailed = 1,      // "Unable to Connect: Firewall?"
    kMirroringDisconnectedByHost = 2, // the receiver closed, a read failed, or a non-200 answer
    kMirroringUnknownError = 3,
    kMirroringCaptureFailed = 4, // nothing could be captured (no display server, no consent)
    kMirroringNoAnswer = 5,      // the receiver accepted but did not answer within the bound,
                                 // or stopped acknowledging (kMirroringLinkTimeoutMs)
};

constexpr uint16_t kMirroringTouchPort = 7000;
constexpr uint16_t kMirroringPort = 7100;
// Largest receiver height taken from /stream.xml as it stands.
constexpr int kMaxReceiverHeight = 4096;
constexpr int kMirroringKey = 8;
// How long the receiver may take to accept the connection on 7100, and then to answer
// GET /stream.xml or POST /stream. Both answers are small and come within milliseconds on a
// working network; a receiver waking from standby or starting its decoder for POST may need a
// few seconds, and a user watching "Connecting..." gives up not much later than this.
constexpr int kMirroringAnswerTimeoutMs = 15000;
// How long the stream connection may go without the receiver acknowledging anything before
// the receiver counts as gone (its link down, switched off). Only time with data waiting and
// no ACK at all counts, so a slow link that still acknowledges is never cut; an idle one is
// probed from kMirroringKeepAliveIdleS on. Short enough that the run ends within ten seconds,
// long enough for a Wi-Fi hand-over or a burst of loss.
constexpr int kMirroringLinkTimeoutMs = 6000;
constexpr int kMirroringKeepAliveIdleS = 2;

// The capture manager as the connection uses it. Every slot must be filled.
struct MirroringCaptureOps {
    // Starts capturing; pictures come back through EnqueueVideoFrame(connection, ...).
    void (*start)(void *context, MirroringConnection *connection, int displayIndex,
                  uintptr_t window);
    // Stops capturing; no EnqueueVideoFrame call for this connection follows its return.
    void (*stop)(void *context);
    // 1 when the user forces a 1280x720 stream.
    int (*force720p)(void *context);
    // Stores the receiver's screen size and the size to encode at.
    void (*setStreamSizes)(void *context, int receiverWidth, int receiverHeight,
                           int targetWidth, int targetHeight);
    void (*setOverscan)(void *context, float overscan);
    // The sizes of the picture being sent; read once per picture on MirroringThread.
    void (*readGeometry)(void *context, StreamGeometryInputs *out);
    // MirroringThread, when the link's pace changes: hold 1 takes no new pictures (the link
    // is behind; nothing already encoded is dropped), maxKbps caps the encoder's bitrate to
    // what the link carries (0: no cap from the link). Both 0 at the start and end of a stream.
    void (*setSendLimits)(void *context, int hold, int maxKbps);
    // MirroringThread: a picture was lost on the way out; the next one is to be a key frame.
    void (*requestKeyFrame)(void *context);
};

// The audio connection a mirroring connection starts once the receiver has described its
// screen and stops with itself (the audio stream's own module fills it in).
typedef void (*MirroringAudioDisconnectedFn)(AudioConnection *audio,
                                             MirroringConnection *connection);
struct MirroringAudioOps {
    // Starts a connection in slot to host:port; 1 when it is under way.
    int (*start)(std::atomic<AudioConnection *> *slot, CFValue *host, uint16_t port,
                 CFValue *password, MirroringAudioDisconnectedFn onDisconnected,
                 MirroringConnection *connection, CFValue *deviceId, int32_t codec);
    // Stops the connection in slot and, unless called on one of its own threads, releases
    // it. Nothing without one.
    void (*stop)(std::atomic<AudioConnection *> *slot);
};

// The controller's callbacks. Any slot may be null. Each gets the owner's context (the
// user pointer given to StartMirroringConnection) first. They run on the thread named.
struct MirroringControllerOps {
    // Starter's thread, before it waits for the sockets.
    void (*onStart)(void *context, MirroringConnection *connection);
    // End of the stop: the stopper's thread, or MirroringThread when a socket-set thread
    // stopped the connection.
    void (*onDisconnected)(void *context, MirroringConnection *connection);
    // Receive thread: the receiver wants a password; answer with SetConnectionPassword,
    // now or later from another thread. Must not block on a thread that may be inside
    // StopMirroringConnection: the stop joins this receive thread.
    void (*onPasswordRequired)(void *context, MirroringConnection *connection, SocketSet *set,
                               int retried);
    // Any thread calling SetConnectionPassword; password is borrowed.
    void (*onPasswordChanged)(void *context, MirroringConnection *connection, CFValue *password);
    // MirroringThread: a stored password for this receiver as a new reference in *out, or
    // leave *out null.
    void (*onStoredPasswordQuery)(void *context, MirroringConnection *connection, CFValue **out,
                                  void *queryUser);
    // Receive thread: the receiver answered 453 (in use by another sender).
    void (*onDeviceInUse)(void *context, MirroringConnection *connection);
    // The audio connection's thread: it ended; audio is readable during the call only. The
    // owner's context is the connection's user field.
    MirroringAudioDisconnectedFn onAudioDisconnected;
    // The audio stream; null: connections stream pictures only.
    const MirroringAudioOps *audio;
    // The audio connection's receive thread: the receiver wants a password for the sound
    // (retried: the one given was refused). Return 1 when the user is being asked (the answer
    // goes to the audio connection later), 0 when nobody can be asked: the sound then ends
    // with its failure and the picture goes on. Null counts as 0. Must not block.
    int (*onAudioPasswordRequired)(void *context, MirroringConnection *connection, int retried);
};

// A queued picture; both blocks owned.
struct MirroringFrame {
    uint8_t *codecHeader;
    uint64_t codecHeaderLength;
    uint8_t *frameData;
    uint64_t frameLength;
    int32_t pictureWidth; // the size the picture was encoded at; 0 when unknown
    int32_t pictureHeight;
    int64_t captureNanos; // monotonic time the picture was read from the screen; 0 unknown
    MirroringFrame *next;
};

struct MirroringConnection {
    Thread thread{};                     // MirroringThread; joined by the stop or the free
    std::atomic<int32_t> state{0};       // MirroringState
    std::atomic<int64_t> heartbeatTime{0}; // Unix seconds; connect time + 5 on connect
    SocketSet *socketSet = nullptr;      // owned by MirroringThread; pointer under setLock
    CFValue *host = nullptr;             // dotted IPv4 text; retained
    uint16_t audioPort = 0;
    int32_t audioCodec = 3;              // what the receiver's sound service plays ("cn")
    CFValue *password = nullptr;         // retained; under passwordLock
    std::atomic<int32_t> userCancelled{0}; // set by the controller
    CFValue *deviceId = nullptr;         // retained; "(null)" is sent without one
    int32_t displayIndex = 0;
    std::atomic<int32_t> established{0}; // 1 while the stream loop runs
    const MirroringControllerOps *controller = nullptr;
    void *user = nullptr;                // the controller callbacks' context
    void *queryUser = nullptr;           // onStoredPasswordQuery's argument
    Event *openedEvent = nullptr;        // sockets opened
    Event *teardownEvent = nullptr;      // MirroringThread finished
    Event *startEvent = nullptr;         // streaming may start, or the stop began
    Event *frameEvent = nullptr;         // a frame was queued, or the stop began
    MirroringFrame *frameHead = nullptr; // oldest first; under frameLock
    MirroringFrame *frameTail = nullptr;
    StreamSender sender{};               // last codec header, header-sent flag; thread only
    SocketSet *streamSet = nullptr;      // the set the stream goes out on; thread only
    // A picture was lost (it did not fit the send ring, or memory ran out): set by
    // MirroringThread or the encoder's thread, cleared by MirroringThread.
    std::atomic<int32_t> pictureLost{0};
    SendBudget budget{};                 // the link's pace; thread only
    PictureDelay pictureDelay{};         // ages of the pictures sent; thread only
    // Their median in microseconds, -1 before the first picture; any thread reads it.
    std::atomic<int64_t> pictureDelayMicros{-1};
    // Started after /stream.xml when audioOn; released by the stop or the free.
    std::atomic<AudioConnection *> audio{nullptr};
    // Sound wanted: the receive thread starts it after /stream.xml, the user toggles it.
    std::atomic<int32_t> audioOn{0};
    std::atomic<int32_t> failure{0};     // MirroringFailure; stays set after the stop
    // Monotonic nanoseconds by which the receiver must answer what answerAwaited names; 0 when
    // nothing is awaited, -1 while a password is being asked for (the user is not the peer).
    std::atomic<int64_t> answerDeadline{0};
    std::atomic<const char *> answerAwaited{nullptr};
    const MirroringCaptureOps *capture = nullptr;
    void *captureContext = nullptr;
    uintptr_t window = 0;

    bool threadStarted = false;          // under stopLock
    bool threadJoined = false;           // under stopLock
    std::atomic<int32_t> stopState{0};   // 0 running, 1 stopping, 2 stopped; written under stopLock
    std::atomic<int32_t> finishOnThreadEnd{0}; // a socket-set thread asked for the stop
    Event *stoppedEvent = nullptr;       // the stop has completed
    std::mutex stopLock;
    std::mutex setLock;
    std::mutex passwordLock;
    std::mutex frameLock;
    // One start or stop of the sound at a time: the receive thread's start after
    // /stream.xml, the user's toggle and the stop may otherwise free a connection another
    // of them is still starting.
    std::mutex audioLock;
};

// Creates the connection, makes it the current one, starts MirroringThread and returns
// once its sockets are open. host and deviceId are retained. audioCodec is what the sound
// goes as (the receiver's "cn" choice, an AudioCodec number). Returns null only when out of
// memory; a thread that cannot be created is logged and the connection returned idle.
[[nodiscard]] MirroringConnection *
StartMirroringConnection(CFValue *host, uint16_t audioPort, int32_t audioCodec, int displayIndex,
                         uintptr_t window, const MirroringCaptureOps *capture, void *captureContext,
                         int audioOn, CFValue *deviceId, const MirroringControllerOps *controller,
                         void *user, void *queryUser);
// Stops the stream, capture, the socket set and the video NTPd, and calls onDisconnected.
// Blocks until MirroringThread has ended, except on a thread of the connection's own socket
// set, where it only starts the stop and MirroringThread finishes it. Idempotent; null is
// ignored.
void StopMirroringConnection(MirroringConnection *connection);
// The capture side gave up: the connection ends with kMirroringCaptureFailed instead of
// staying open without pictures. Returns at once (any thread, the capture thread
// included); MirroringThread stops capture and completes the stop. Ignored once a stop
// has begun.
void MirroringConnectionCaptureFailed(MirroringConnection *connection);
// Releases a stopped connection (stops it first if needed). Not from its own callbacks.
void FreeMirroringConnection(MirroringConnection *connection);

// Starts the connection's sound (a sound still held is replaced) or stops it, and records
// whether sound is wanted. Any thread but the sound's own; serialised with the start after
// /stream.xml and with the stop.
void StartConnectionAudio(MirroringConnection *connection);
void StopConnectionAudio(MirroringConnection *connection);

// Keeps text as the connection's password (a new one only when text is not the buffer of
// the one held) and hands it to the Digest client, which resends challenged requests.
void SetConnectionPassword(MirroringConnection *connection, const char *text);
// The current connection's state; 0 without one.
int32_t MirroringConnectionState();
MirroringConnection *CurrentMirroringConnection();

// Copies one encoded picture onto the queue. Encoder thread; the signature matches the
// encoder's frame handler, connection being the MirroringConnection.
void EnqueueVideoFrame(void *connection, const uint8_t *codecHeader, uint64_t codecHeaderLength,
                       const uint8_t *frameData, uint64_t frameLength, int32_t pictureWidth,
                       int32_t pictureHeight, int64_t captureNanos);
// How late the pictures' content reaches the stream clock (median age at stamping, in
// microseconds), or -1 while none was sent. Any thread; null gives -1.
int64_t MirroringPictureDelayMicros(const MirroringConnection *connection);

// Applies the receiver's /stream.xml dictionary to the capture manager: receiver and
// target sizes, and the overscan. Receive thread.
void ApplyStreamInfo(MirroringConnection *connection, const CFValue *info);
