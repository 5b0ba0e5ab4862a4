// Announces the receiver on the local network the way real receivers do: "_airplay._tcp"
// under its display name and "_raop._tcp" under HARDWAREADDRESS@name (a speaker: the latter
// alone). Uses avahi-daemon when
// one answers, else an embedded mDNS stack of its own. Runs on Avahi's own thread.
#pragma once

#include <string>

struct AnnounceConfig {
    std::string name;     // display name
    std::string deviceId; // "58:55:CA:1A:E2:88"; empty: derived from the name
    bool password;        // pw=true in both TXT records
    int airplayPort;      // the HTTP port
    int audioPort;        // the RAOP (RTSP) port
    std::string version;  // srcvers / vs
    bool soundOnly;       // announce "_raop._tcp" alone, as a speaker does
    std::string codecs = "0,1,2,3"; // cn of _raop._tcp: the sound formats offered
};

struct Announcer;

// Starts announcing; null (after a log line) when neither avahi-daemon nor the embedded stack
// can publish.
Announcer *AnnounceStart(const AnnounceConfig &config);
// Withdraws the announcements (goodbye packets) and frees everything.
void AnnounceStop(Announcer *announcer);

// The TXT values and the RAOP instance name, exposed for tests.
std::string AnnounceDeviceId(const AnnounceConfig &config);
std::string AnnounceRaopName(const AnnounceConfig &config, const std::string &name);
