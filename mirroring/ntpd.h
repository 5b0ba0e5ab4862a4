// NTPd: the UDP timing server that receivers query to keep the sender's stream clock
// in step with their own. Two process-wide instances exist: video (UDP 7010) and audio
// (the timing port the audio connection announces). Each serves on a thread of its own
// and answers 48-byte NTP requests and 32-byte timing requests with stream-clock stamps.
//
// Start and stop may be called from any thread; they serialise on the instance. The
// server thread touches only its own record.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "base/thread.h"
#include "mirroring/stream_clock.h"

struct Event;

constexpr uint16_t kNtpdVideoPort = 7010;
// How long a starter waits for the server to bind before giving up.
constexpr int kNtpdStartWaitMs = 3000;

struct NtpdServer {
    Thread thread{};                   // started while threadStarted; joined by start or stop
    std::atomic<int> running{0};       // 1 while serving; cleared by stop or by the thread
    Event *startedEvent = nullptr;     // manual reset; set once the socket is bound
    Event *stoppedEvent = nullptr;     // manual reset; set when the thread ends by itself
    uint16_t port = 0;                 // UDP port served
    int packetSize = 0;                // 48 (video) or 32 (audio); in the audio start line
    int socket = -1;                   // the UDP socket or -1; guarded by socketLock
    const char *name = "";             // "Video" or "Audio", for the log lines
    bool threadStarted = false;        // written by start and stop under controlLock
    std::mutex socketLock;      // the thread closes the socket while stop may shut it down
    std::mutex controlLock;     // serialises start and stop
};

// The two process-wide instances.
NtpdServer *NtpdVideo();
NtpdServer *NtpdAudio();

// Starts the video instance on UDP 7010 unless it is running, and waits until its
// socket is bound. Returns 1 when it serves, 0 when the port could not be bound or the
// thread could not be created (logged).
[[nodiscard]] int NtpdStartVideo();
// The same for the audio instance on the given port.
[[nodiscard]] int NtpdStartAudio(uint16_t port);
// Starts an instance on a port; the two functions above use it. Exposed for tests.
[[nodiscard]] int NtpdStart(NtpdServer *server, uint16_t port, int packetSize);
// Ends the server thread (also while it is blocked receiving), waits for it and closes
// the socket. Does nothing when the instance was never started.
void NtpdStop(NtpdServer *server);
bool NtpdIsRunning(const NtpdServer *server);

// Builds the reply to one request: 48 bytes for a 48-byte NTP request, 32 bytes for a
// 32-byte timing request, nothing (0) for any other length. out holds 48 bytes.
// Pure; the server passes the clock read on receipt and again just before sending.
size_t NtpBuildReply(const uint8_t *request, size_t length, StreamClock receive,
                     StreamClock transmit, uint8_t *out);
