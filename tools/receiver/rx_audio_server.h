// The audio side of the receiver: an RTSP/1.0 server for the sender's audio connection
// and the UDP data, control and timing ports plus the TCP event port it announces.
// Runs inside the receiver's single-threaded event loop.
#pragma once

#include <poll.h>

#include <string>
#include <vector>

#include "tools/receiver/rx_report.h"
#include "tools/receiver/rx_server.h"

struct AudioServer;
struct RxControl;
struct VideoSink;

// Opens the listener and the ports; null with a log line on failure.
AudioServer *AudioServerOpen(const ReceiverConfig *config, ReceiverStats *stats);
int AudioServerPort(const AudioServer *server);
// Adds the descriptors to wait on; AudioServerHandle reads their results back from
// fds[first...].
void AudioServerPollFds(AudioServer *server, std::vector<pollfd> *fds);
// Serves what is ready. Returns true when a connection that had made requests ended.
bool AudioServerHandle(AudioServer *server, const std::vector<pollfd> &fds, size_t first,
                       double now);
// Timers: timing requests, giving up on missing frames. Seconds until the next is due.
double AudioServerTick(AudioServer *server, double now);
// Run-time switches (busy-audio) come from control from now on; it outlives the server.
void AudioServerSetControl(AudioServer *server, const RxControl *control);
// Ends every RTSP and event connection, as a receiver closing on its sender does.
void AudioServerDropConnections(AudioServer *server);
// Open connections that have made a request.
int AudioServerActiveConnections(const AudioServer *server);
// A log line with the running totals, when anything changed.
void AudioServerSummarize(AudioServer *server, bool final);
// Ends the session, writes the WAV and fills stats->audioJson (the sync test uses the
// video's luma trace; video may be null). Frees the server.
void AudioServerClose(AudioServer *server, const VideoSink *video);
