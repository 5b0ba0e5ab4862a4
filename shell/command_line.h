// Hosted-mode command line and the receiver route check. Main thread only.
#pragma once

#include <string>

struct HostedOptions {
    bool hosted;      // "host=" seen: connect at start-up without discovery
    bool silent;      // "key=" seen: no tray, no reminder, no address monitor
    std::string host; // the "host=" value as it stands
    std::string key;  // the "key=" value as it stands
    int display;      // the "display=" value, 0 without digits
};

// Parses "...connect?host=A&key=K&display=N..." (pieces in any order, split at '&').
// Does nothing unless "connect?", "host=" and "key=" all appear. Text past 1023
// characters is cut, as the parse copy holds no more.
void ParseCommandLine(const char *text, HostedOptions *options);

// "--sound-to NAME [SECONDS]": the PC's sound alone to the speaker listed as NAME, until a
// signal or for SECONDS (0: no limit).
struct SoundToOptions {
    bool on;
    std::string name;
    double seconds;
};
// Reads the option at argv[i] ("--sound-to") and its values. Returns how many arguments it
// took (2 or 3), or 0 when NAME is missing or SECONDS is not a number from 0 to 86400
// (a line on standard error says so).
int ParseSoundTo(int argc, char **argv, int i, SoundToOptions *out);

// True when some local IPv4 address has a route to the receiver's dotted address.
// Logs the reason when not.
[[nodiscard]] bool CheckRouteToReceiver(const char *addressText);
