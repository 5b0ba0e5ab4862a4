// Run-time controls: a datagram socket a test sends one-line commands to, so that a running
// receiver can be made to drop its connections or refuse what it is asked, the way real
// receivers do at moments a start-up option cannot choose.
//
//   close                 end every connection, mirroring and audio, at once
//   close-audio           end the audio (RTSP) connections only
//   busy on|off           answer 453 to every mirroring request from now on, or stop
//   busy-audio STEP|off   answer 453 to OPTIONS, ANNOUNCE, SETUP or RECORD, or stop
#pragma once

#include <string>

struct RxControl {
    int fd = -1;
    std::string path;
    bool busy = false;     // as --busy, switched at run time
    std::string busyAudio; // as --busy-audio
};

// What a read asked the server to do beyond switching the flags.
enum RxControlDrop : int { kRxDropNone = 0, kRxDropMirroring = 1, kRxDropAudio = 2 };

// Binds a datagram socket at path (a stale one is replaced). False, logged, on failure.
bool RxControlOpen(RxControl *control, const std::string &path);
// Reads every waiting command, logs each, switches the flags; returns RxControlDrop bits.
int RxControlRead(RxControl *control);
// Closes the socket and removes its path.
void RxControlClose(RxControl *control);
