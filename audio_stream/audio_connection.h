// AudioConnection: the sound that goes with a mirroring connection. An RTSP/1.0 control
// connection to the receiver's audio port negotiates the stream (OPTIONS, ANNOUNCE with an
// SDP description, SETUP, RECORD, SET_PARAMETER), then UDP slots carry the RTP packets, their
// sync packets and the receiver's retransmission requests (audio_stream/rtp_sender.h), and a
// keep-alive OPTIONS goes out every two seconds. The stream is 44100 Hz, two channels, in the
// format the receiver plays: AAC-ELD with 480 samples per frame, or Apple Lossless or 16-bit
// samples with 352 per packet.
//
// Ownership: a connection lives in its owner's slot (the mirroring connection's audio field).
// StopAudioConnection on any thread that is not one of the connection's own takes it out of
// the slot, waits for its worker and frees it; on one of its own threads it only asks the
// worker to end, and the record stays in the slot for the owner to release later (a stop,
// a new start or the owner's free).
//
// Threads: the set's connect, receive and send threads (callbacks: the whole negotiation
// runs on the receive thread); the connection's worker, which sends the keep-alive and does
// every teardown, so that the set is never closed or freed under one of its own callbacks;
// the system-audio capture thread (SendAudioFrame). onDisconnected runs on the worker.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "audio_stream/sync_clock.h"
#include "base/thread.h"

struct CFValue;
struct Event;
struct HttpMessage;
struct MirroringConnection;
struct SocketSet;
struct AudioConnection;

enum AudioState : int32_t {
    kAudioIdle = 0,        // idle, or stopped
    kAudioOptionsSent = 2, // control connection made, OPTIONS sent
    kAudioAnnounceSent = 3,
    kAudioSetupSent = 6,
    kAudioRecordSent = 7,
    kAudioVolumeSent = 8, // SET_PARAMETER (volume) sent
    kAudioStreaming = 9,  // frames go out; keep-alive OPTIONS in flight
    kAudioTearingDown = 11,
};

enum AudioFailure : int32_t {
    kAudioNoFailure = 0,
    kAudioConnectFailed = 1,
    kAudioDisconnectedByHost = 2,
    kAudioUnknownError = 3,
    kAudioNoAnswer = 5,         // a request went unanswered for kAudioAnswerTimeoutMs, or
                                // nothing was acknowledged for kAudioLinkTimeoutMs
    kAudioPasswordRequired = 6, // the receiver wants a password nobody gave (or it refused it)
};

// Slot keys in the connection's set.
constexpr int kAudioControlKey = 9; // RTSP control, TCP to the receiver's audio port
constexpr int kAudioEventKey = 17;  // event connection; nothing is sent on it
constexpr int kAudioSyncKey = 18;   // UDP from kAudioLocalControlPort to the control port
constexpr int kAudioDataKey = 19;   // UDP to the server port: RTP packets

constexpr uint16_t kAudioLocalControlPort = 53551;
constexpr uint16_t kAudioLocalTimingPort = 51965;
// Samples of latency the receiver is told to allow for when it does not name its own.
constexpr int32_t kAudioDefaultLatency = 2205;
// The least latency asked of a receiver that plays Apple Lossless or 16-bit samples (500 ms):
// such speakers answer 11025 (250 ms), the least they take by their word, but that leaves out
// their own output buffer (0.15 s is common for their sound cards): at 250 ms they find every
// packet late and keep flushing; at 350 ms they play on a quiet machine but fall behind and
// flush again when the PC is busy for a moment; at 500 ms they stay in step.
constexpr int32_t kAudioSpeakerMinLatency = 22050;
// Latencies beyond this (ten seconds) are not believed.
constexpr int32_t kAudioMaxLatency = 441000;
constexpr int kAudioKeepAliveMs = 2000;
// How long the receiver may take to accept the control connection and to answer each RTSP
// request, keep-alives included. Answers are small and come within milliseconds; RECORD may
// take a receiver a second or two to set up its output. Ten seconds is five keep-alive
// periods, so a receiver that stops answering loses its sound well before a user wonders.
constexpr int kAudioAnswerTimeoutMs = 10000;
// How long the control connection may go without the receiver acknowledging anything (its
// link down, switched off) before the sound ends; only time with data waiting counts.
constexpr int kAudioLinkTimeoutMs = 6000;
constexpr int kAudioAwaitedSlots = 16; // names of unanswered requests kept for the log
// The SDP names this constant private address instead of the PC's own.
constexpr const char *kAudioSdpAddress = "10.0.0.2";

// RTP sender sizes.
constexpr int kAudioFrameSamples = 480;                        // AAC-ELD
constexpr int kAudioSyncInterval = 44100 / kAudioFrameSamples; // 91 packets, about a second
// Apple Lossless and 16-bit samples: the packet size those receivers are built around.
constexpr int kAudioLosslessFrameSamples = 352;
constexpr int kAudioHistorySlots = 20;
constexpr size_t kAudioRtpHeader = 12;
constexpr size_t kAudioMaxPayload = 32768;
constexpr size_t kAudioMaxPacket = kAudioRtpHeader + kAudioMaxPayload;

// What the receiver plays, numbered as receivers announce it (the "cn" entry of their sound
// service's TXT record).
enum AudioCodec : int32_t {
    kAudioCodecPcm = 0,    // 16-bit big-endian samples (L16)
    kAudioCodecAlac = 1,   // Apple Lossless
    kAudioCodecAacEld = 3, // AAC-ELD, 480 samples per frame
};

struct AudioPorts {
    uint16_t videoServerPort; // never set: 0
    uint16_t serverPort;      // receiver's RTP data port
    uint16_t controlPort;     // receiver's control port (sync out, retransmit requests in)
    uint16_t localControlPort;
    uint16_t timingPort;
    uint16_t localTimingPort;
    uint16_t eventPort; // 0: no event connection
};

// Runs on the worker when the connection has ended; audio is valid during the call only
// (its failure field says why it ended). mirroring is the owner given at the start.
typedef void (*AudioDisconnectedFn)(AudioConnection *audio, MirroringConnection *mirroring);
// The owner of a connection that has no mirroring connection (sound to a speaker, no
// picture).
struct AudioOwnerOps {
    // Receive thread: the receiver wants a password for the sound (retried: the one given was
    // refused). 1 when the user is being asked (the answer comes through
    // SetAudioConnectionPassword), 0 when nobody can be asked: the sound then ends with
    // kAudioPasswordRequired. Must not block.
    int (*onPasswordRequired)(void *owner, AudioConnection *audio, int retried);
};
// Sends one datagram (or queues one RTSP message) on the keyed slot. The socket-set sender
// is installed at the start; tests put a recorder in its place.
typedef int (*AudioPacketSendFn)(AudioConnection *audio, int key, const uint8_t *data,
                                 size_t length);

struct AudioConnection {
    SocketSet *socketSet = nullptr; // owned; created at the start, freed by the worker
    int32_t streamNumber = 0;       // 0..32767, drawn when the ANNOUNCE is built
    AudioPorts ports{};             // written on the receive thread before the slots open
    std::atomic<int32_t> state{0};  // AudioState
    CFValue *host = nullptr;        // retained
    CFValue *password = nullptr;    // retained or null
    uint16_t port = 0;              // the receiver's RTSP port
    CFValue *deviceId = nullptr;    // retained or null ("(null)" is sent)
    int32_t codec = kAudioCodecAacEld; // AudioCodec; fixed at the start
    int32_t framesPerPacket = kAudioFrameSamples; // samples per packet of codec; fixed at the start

    // RTP sender state: written by the sender (capture thread) and reset on the receive
    // thread before system audio starts. historyLock guards history and historyLength
    // against the retransmission reader; the sender reads its own slots without it.
    uint32_t rtpTime = 0;
    uint16_t sequence = 0;
    uint8_t history[kAudioHistorySlots][kAudioMaxPacket];
    int32_t historyLength[kAudioHistorySlots]{};
    int32_t historyIndex = 0;
    int32_t historyCount = 0;
    int32_t firstSync = 0;
    AudioSyncClock syncClock{}; // what the sync packets tie RTP time to; sender only
    std::mutex historyLock;

    std::atomic<int32_t> latency{kAudioDefaultLatency}; // samples
    std::atomic<int32_t> failure{0};                    // AudioFailure; stays set after the end
    std::atomic<int32_t> stopping{0};         // set by the stop; later close reports are ignored
    MirroringConnection *mirroring = nullptr; // the owner, for password requests; may be null
    AudioDisconnectedFn onDisconnected = nullptr;
    const AudioOwnerOps *ownerOps = nullptr; // a sound-only connection's owner, else null
    void *owner = nullptr;                   // ownerOps' context

    AudioPacketSendFn sendPacket = nullptr;
    Thread worker{};                     // keep-alive ticks and the teardown; joined by the reaper
    Event *wakeEvent = nullptr;          // auto reset: an end was asked for, or the timer starts
    std::atomic<int32_t> keepAliveOn{0}; // written by the receive thread once streaming
    std::atomic<int32_t> ending{0};      // 1 once an end was asked for; the worker acts on it
    std::atomic<int32_t> ended{0};       // 1 once the teardown has finished
    std::atomic<int32_t> systemAudioStarted{0}; // written by the receive thread, read by the worker
    std::atomic<int32_t> timingStarted{0};      // this connection started the audio NTPd
    std::mutex requestLock;                     // one RTSP sender at a time: receive thread, worker

    // Answers awaited: monotonic nanoseconds by which the oldest unanswered request (or the
    // connection itself) must be answered; 0 when nothing is awaited, -1 while the user is
    // asked for a password. The counts and names are under requestLock; the worker watches
    // the deadline.
    std::atomic<int64_t> answerDeadline{0};
    uint32_t requestsSent = 0;
    uint32_t requestsAnswered = 0;
    const char *awaited[kAudioAwaitedSlots]{};
};

// Starts a new connection in slot (a connection still held there is stopped and released
// first) and begins connecting to host:port to send codec (AudioCodec). host, password and
// deviceId are retained.
// Returns 1 when the control connection is under way; 0 otherwise (logged; a connection
// that got as far as its worker still ends through onDisconnected). Not from a thread of
// the connection held in slot.
[[nodiscard]] int StartAudioConnection(std::atomic<AudioConnection *> *slot, CFValue *host,
                                       uint16_t port, CFValue *password,
                                       AudioDisconnectedFn onDisconnected,
                                       MirroringConnection *mirroring, CFValue *deviceId,
                                       int32_t codec);
// As StartAudioConnection, for sound without a picture: there is no mirroring connection
// (onDisconnected gets null; audio->owner names the owner), and ownerOps answers the
// password requests with owner as context.
[[nodiscard]] int StartOwnedAudioConnection(std::atomic<AudioConnection *> *slot, CFValue *host,
                                            uint16_t port, CFValue *password,
                                            AudioDisconnectedFn onDisconnected,
                                            const AudioOwnerOps *ownerOps, void *owner,
                                            CFValue *deviceId, int32_t codec);
// Stops the connection in slot: nothing without one or when it is stopping already. Any
// thread; see the ownership note above for what is released where.
void StopAudioConnection(std::atomic<AudioConnection *> *slot);
// The user's answer to the receiver's password request for the sound in slot: text is handed
// to the Digest client, which sends the challenged request again; null (declined) ends the
// sound with kAudioPasswordRequired. Nothing without a connection or once it is ending. Any
// thread but the connection's own.
void SetAudioConnectionPassword(std::atomic<AudioConnection *> *slot, const char *text);

// The state and failure of the connection in slot (0 and 0 without one), read under the
// lock every stop takes a record out of its slot with, so that a reader on another thread
// never looks at a record being freed.
void AudioConnectionStatus(std::atomic<AudioConnection *> *slot, int32_t *state, int32_t *failure);

// Reads the receiver's ports from a SETUP answer's Transport header ("server_port=",
// "control_port=", "timing_port=", "event_port=" pieces); absent or unreadable ports are 0.
void ParseTransportPorts(const HttpMessage *response, AudioPorts *ports);
// The audio latency a RECORD answer names in samples, or kAudioDefaultLatency when its
// "audio-latency" header is absent, 0 or not believable.
int32_t AudioLatencyFromResponse(const HttpMessage *response);
// The ANNOUNCE body for streamNumber sent as codec (AudioCodec) into out (at most size bytes,
// NUL-terminated). Returns its length, or 0 when it does not fit.
size_t BuildAudioSdp(int32_t streamNumber, int32_t codec, char *out, size_t size);
// Samples per channel in each packet of codec: 480 for AAC-ELD, 352 for the others.
int32_t AudioFramesPerPacket(int32_t codec);
// The DMAP track information naming this program as artist and computerName as the item.
// Returns its length (38 + the name's length), or 0 when it does not fit.
size_t BuildTrackInfo(const char *computerName, uint8_t *out, size_t size);

// StartAudioConnection and StopAudioConnection as the mirroring connection calls them.
struct MirroringAudioOps;
extern const MirroringAudioOps kAudioConnectionOps;
