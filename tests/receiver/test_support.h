// Helpers for the receiver's tests: the receiver as a child process, a small
// independent sender (x264 pictures wrapped in stream packets), a JSON reader. Besides these,
// only the shared helpers that hold no program code.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/file_text.h"

// --- Receiver process -------------------------------------------------------
struct ReceiverProcess {
    pid_t pid = -1;
    std::string dir; // private temporary folder: ports, report, log
    int httpPort = 0;
    int mirrorPort = 0;
    int audioPort = 0;
    int exitStatus = -1;
    std::string ReportPath() const { return dir + "/report.json"; }
    std::string LogPath() const { return dir + "/receiver.log"; }
};

// Starts the receiver on 127.0.0.1 with free ports, a report in its folder and
// the given extra arguments, in which "@DIR@" stands for its folder (standard error goes to
// its log); waits (at most 10 s) until it listens.
bool ReceiverStart(ReceiverProcess *receiver, const std::vector<std::string> &arguments);
// Sends signal (SIGTERM by default), then waits at most 10 s (SIGKILL after
// that). Returns the exit status.
int ReceiverStop(ReceiverProcess *receiver, int signal = 15);
// Waits at most seconds for the receiver to end by itself; false if it did not.
bool ReceiverWaitExit(ReceiverProcess *receiver, double seconds);
bool ReceiverAlive(ReceiverProcess *receiver);
// Waits at most seconds until the receiver's log holds text at least count times.
bool ReceiverWaitForLog(ReceiverProcess *receiver, const std::string &text, int count,
                        double seconds);
// Removes the folder; after a failed test (showLog) the end of the receiver's log goes to
// stdout first.
void ReceiverCleanup(ReceiverProcess *receiver, bool showLog = false);

// Track information as a sender's DMAP body carries it: album "", artist "Ostrel", name
// "OFFICE-PC".
std::string SampleTrackDmap();

// A UDP port on 127.0.0.1 that was free a moment ago.
int FreeUdpPort();

// --- JSON -------------------------------------------------------------------
struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    double number = 0;
    bool boolean = false;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;
    const Json &operator[](const std::string &key) const;
    const Json &operator[](size_t index) const;
    bool Has(const std::string &key) const { return members.count(key) != 0; }
};
// Strict parse of a whole document; false when it is not valid JSON.
bool JsonParse(const std::string &text, Json *out);

// --- Sender side --------------------------------------------------------------
struct TestStream {
    std::vector<uint8_t> avcc;
    std::vector<std::vector<uint8_t>> pictures; // 4-byte length-prefixed NAL units
};
// Encodes pictures with libx264: upper half red, lower half blue, a grey bar
// moving across; or, with flat given, one plain grey picture of that luma per entry (count
// is then flat's size). False when the encoder fails.
bool EncodeTestStream(int width, int height, int count, TestStream *out,
                      const std::vector<uint8_t> &flat = {});

// The 273-byte set-up body the sender posts, built by the test's own writer.
std::vector<uint8_t> BuildSetupPlist(const std::map<std::string, std::string> &overrides = {});

struct PacketGeometry {
    float width, height, left, top, right, bottom;
};
// One stream packet: 128-byte header and payload. timestamp is 32.32 stream clock.
std::vector<uint8_t> BuildPacket(uint16_t type, const std::vector<uint8_t> &payload,
                                 uint64_t timestamp, const PacketGeometry &geometry);
std::vector<uint8_t> BuildHeartbeat();
uint64_t StreamClockFixed(double offsetSeconds);

// TCP client on 127.0.0.1.
int ConnectLocal(int port);
bool SendAll(int fd, const void *data, size_t length);
// The sender's opening exchange on the mirroring port (GET /stream.xml, POST /stream);
// returns the connected socket, -1 on failure.
int OpenStream(int port, const std::vector<uint8_t> &setup,
               const std::string &deviceId = "0x0123456789ab");
// Reads one HTTP or RTSP response (head and Content-Length body), at most 5 s.
bool ReadResponse(int fd, int *status, std::string *head, std::string *body);

// Answers 48-byte timing requests on 127.0.0.1 with a clock shifted by
// shiftSeconds, on its own thread, until stopped.
struct TimingServer;
TimingServer *TimingServerStart(double shiftSeconds, int *port);
// Requests answered so far (any thread).
int TimingServerAnswered(TimingServer *server);
// Stops it; reports requests seen and how many had the expected client form.
void TimingServerStop(TimingServer *server, int *requests, int *wellFormed);

// PNG read with libpng into RGB rows.
bool ReadPng(const std::string &path, int *width, int *height, std::vector<uint8_t> *rgb);
