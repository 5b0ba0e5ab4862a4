// The receiver's event loop: two HTTP listeners, the mirroring stream, the
// timing requests, and the report at the end. Single-threaded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/receiver/rx_plist.h"

struct ReceiverConfig {
    std::string bindAddress = "0.0.0.0";
    int httpPort = 7000;   // touched once by senders; serves the same requests
    int mirrorPort = 7100; // the mirroring connection
    int ntpPort = 7010;    // the sender's timing port
    ScreenInfo screen = {1920, 1080, false, kOverscanBool, 1.0 / 60, "130.14"};
    std::string streamXmlFile; // when set, its bytes are the /stream.xml answer
    std::string password;      // empty: no authentication
    bool busy = false;         // answer every request with 453
    // Left unanswered, with everything after it on its connection: stream.xml, stream, an
    // RTSP method, or keep-alive (an OPTIONS after RECORD). Empty: every request is answered.
    std::string silentAt;
    double duration = 0;       // seconds; 0 runs until stopped
    bool exitOnDisconnect = false;
    uint64_t closeAfterPackets = 0; // drop the stream connection after this many packets
    std::string reportPath;
    std::string pngPath;
    std::string recordPath;
    bool verbose = false;        // a log line for every video packet, not only the first three
    std::string portFile;        // receives "http PORT\nmirror PORT\n" once listening
    int timecodeCell = 0;        // a benchmark's time code: cell size in screen pixels
    int timecodeScreenWidth = 0; // and the width of the screen it is painted on
    // One line per video packet: arrival (CLOCK_MONOTONIC seconds), payload bytes, screen to
    // arrival and to picture in ms (-1 without a new time code), decode errors so far.
    std::string tracePath;
    // The audio side.
    int audioPort = 47000;               // RTSP; 0 picks a free one
    std::string busyAudio;               // OPTIONS, ANNOUNCE, SETUP or RECORD: 453 there
    std::string audioPassword;           // asked on the audio side instead of password
    std::vector<uint16_t> dropAudio;     // sequence numbers refused when first seen
    std::vector<uint16_t> lateRequests;  // asked for again 40 packets after they came
    int audioLatency = 4410;             // the RECORD answer's Audio-Latency; 0: none
    int retransmitRequestBytes = 18;     // length of a retransmission request
    std::string wavPath;                 // what was heard
    bool avsync = false;                 // pair screen flashes with clicks
    uint64_t closeAudioAfterPackets = 0; // drop the audio connection after this many packets
    std::string controlPath;             // datagram socket for run-time commands (rx_control.h)
    std::vector<int> audioCodecs = {0, 1, 3}; // formats an ANNOUNCE may name ("cn" numbers)
};

// Runs until stopFd becomes readable (a signalfd; -1 for none), the duration
// ends, or the sender leaves with exitOnDisconnect. Writes report, PNG and
// recording. Returns the process exit code: 0, or 1 when start-up failed.
int ReceiverRun(const ReceiverConfig &config, int stopFd);
