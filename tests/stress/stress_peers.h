// The peers of the stress run, each started and ended by it: a virtual X display, a private
// PulseAudio with two sinks and a player on each, and built-in receivers whose behaviour is
// changed at run time (control socket, SIGSTOP, SIGKILL).
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

// Xvfb on a display number it picks; DISPLAY is set for this process.
struct XDisplay {
    pid_t pid = -1;
};
bool XDisplayStart(XDisplay *x, const std::string &work);
void XDisplayStop(XDisplay *x);

// PulseAudio in $XDG_RUNTIME_DIR (set once, before any thread), off every bus. Two null
// sinks, "speakers" (the default) and "headphones", each with a silent player of its own,
// so that a stream on a sink other than the default is part of what must come back.
struct SoundServer {
    std::string work;
    pid_t pid = -1;
    std::vector<pid_t> players;
};
bool SoundServerStart(SoundServer *s);
// SIGKILL: the server vanishes with everything connected to it.
void SoundServerKill(SoundServer *s);
void SoundServerStop(SoundServer *s);
bool SoundServerUp(const SoundServer *s);
std::string SoundDefaultSink();
std::vector<std::string> SoundSinks();
// Player name ("speakers", "headphones") to the name of the sink its stream plays on.
std::map<std::string, std::string> SoundStreamSinks();

// One built-in receiver on its own loopback address.
struct Receiver {
    std::string name;
    std::string address;
    std::string password; // empty: none
    std::string control;  // its control socket
    std::string log;
    pid_t pid = -1;
    bool stopped = false; // SIGSTOP: silent
    bool busy = false;
    bool busyAudio = false;
};
bool ReceiverStart(Receiver *r, const std::string &program);
// A control command (tools/receiver/README.md); false when it could not be sent.
bool ReceiverCommand(const Receiver *r, const std::string &command);
void ReceiverPause(Receiver *r);  // SIGSTOP
void ReceiverResume(Receiver *r); // SIGCONT
void ReceiverKill(Receiver *r);   // SIGKILL, reaped: connections are refused from now on
void ReceiverStop(Receiver *r);
// Lines of its log holding text.
int ReceiverLogCount(const Receiver *r, const std::string &text);

// Threads and descriptors of this process: name -> count, and fd -> link target.
std::map<std::string, int> ProcessThreads();
std::map<int, std::string> ProcessDescriptors();
int Total(const std::map<std::string, int> &counts);
