// ostrel-receiver: a small local screen-mirroring receiver for trying the
// sender without real equipment and for end-to-end tests.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/signalfd.h>
#include <vector>

#include "tools/receiver/rx_announce.h"
#include "tools/receiver/rx_log.h"
#include "tools/receiver/rx_server.h"

static void Usage(FILE *out) {
    fprintf(
        out,
        "usage: ostrel-receiver [options]\n"
        "  --bind ADDRESS          IPv4 address to listen on (default 0.0.0.0)\n"
        "  --http-port PORT        first HTTP port (default 7000; 0 picks a free one)\n"
        "  --mirror-port PORT      mirroring port (default 7100; 0 picks a free one)\n"
        "  --port-base N           shorthand: --http-port N --mirror-port N+100\n"
        "  --ntp-port PORT         the sender's timing port (default 7010)\n"
        "  --port-file PATH        write \"http PORT\\nmirror PORT\\naudio PORT\\n\" once "
        "listening\n"
        "  --width N --height N    screen size reported by /stream.xml (1920x1080)\n"
        "  --overscanned           report the screen as overscanned\n"
        "  --overscan-form FORM    bool (default), string or integer\n"
        "  --refresh-rate HZ       refresh rate reported (default 60)\n"
        "  --version-string TEXT   version reported (default 130.14)\n"
        "  --stream-xml FILE       answer /stream.xml with this file's bytes instead\n"
        "  --password TEXT         require HTTP Digest authentication\n"
        "  --busy                  answer every request with 453\n"
        "  --silent-at REQUEST     accept, then leave this request unanswered and everything\n"
        "                          after it on its connection: stream.xml, stream (POST),\n"
        "                          OPTIONS, ANNOUNCE, SETUP, RECORD, SET_PARAMETER, keep-alive\n"
        "  --duration SECONDS      stop after this time\n"
        "  --exit-on-disconnect    stop when the sender has gone\n"
        "  --close-after-packets N drop the stream connection after N packets\n"
        "  --verbose               a log line for every video packet\n"
        "  --report PATH           JSON report written at exit\n"
        "  --png PATH              last decoded picture as PNG, written at exit\n"
        "  --record PATH           record the stream (.h264 raw, else by extension: .mp4 ...)\n"
        "  --timecode CELL:WIDTH   read a benchmark's time code (cells of CELL pixels on a\n"
        "                          screen WIDTH pixels wide) and report screen-to-arrival times\n"
        "  --trace PATH            a line per video packet: arrival (monotonic s), bytes,\n"
        "                          screen-to-arrival and screen-to-picture ms (-1: no new code),\n"
        "                          decode errors so far\n"
        "  --name TEXT             display name announced over DNS-SD (default Ostrel Receiver)\n"
        "  --device-id ID          hardware address announced (default: derived from the name)\n"
        "  --no-announce           do not announce over DNS-SD (nor does a receiver bound to\n"
        "                          127.x or with --http-port 0)\n"
        "  --sound-only            announce the sound service (_raop._tcp) alone, as a speaker\n"
        "                          does\n"
        "audio:\n"
        "  --audio-port PORT       RTSP port of the audio side (default 47000; 0 picks a free "
        "one)\n"
        "  --busy-audio STEP       answer 453 to OPTIONS, ANNOUNCE, SETUP or RECORD\n"
        "  --audio-password TEXT   require Digest authentication on the audio side with this\n"
        "                          password (instead of --password's; the video side keeps its "
        "own)\n"
        "  --audio-latency N       Audio-Latency of the RECORD answer in samples (4410; 0: none)\n"
        "  --audio-codecs LIST     formats offered (\"cn\" of _raop._tcp) and accepted in\n"
        "                          ANNOUNCE: aac-eld, alac, pcm (default all; others get 415)\n"
        "  --drop-audio LIST       refuse these sequence numbers when first seen (e.g. 5,50,300)\n"
        "                          and ask for them again\n"
        "  --late-request LIST     ask for these packets again 40 packets after they came\n"
        "  --retransmit-bytes N    length of a retransmission request (default 18, at least 8)\n"
        "  --wav PATH              write the decoded sound as a 16-bit stereo WAV\n"
        "  --avsync                pair screen flashes with clicks and report the offset\n"
        "  --close-audio-after-packets N  close the audio connection after N audio packets\n"
        "run time:\n"
        "  --control PATH          take commands on a datagram socket at PATH: close,\n"
        "                          close-audio, busy on|off, busy-audio STEP|off\n");
}

// "5,50,300" into sequence numbers.
static bool ParseSequenceList(const char *text, std::vector<uint16_t> *out) {
    std::string list = text;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        std::string piece =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        char *end = nullptr;
        errno = 0;
        long value = strtol(piece.c_str(), &end, 10);
        if (piece.empty() || errno || *end || value < 0 || value > 65535) return false;
        out->push_back((uint16_t)value);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return !out->empty();
}

// "alac,pcm": the "cn" numbers accepted, and the TXT value that announces them.
static bool ParseCodecList(const char *text, std::vector<int> *codecs, std::string *announced) {
    static const struct {
        const char *name;
        int number;
    } kNames[] = {{"pcm", 0}, {"alac", 1}, {"aac-eld", 3}};
    std::vector<int> chosen;
    std::string list = text;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string name = list.substr(start, comma == std::string::npos ? comma : comma - start);
        bool known = false;
        for (const auto &entry : kNames) {
            if (name != entry.name) continue;
            known = true;
            if (std::find(chosen.begin(), chosen.end(), entry.number) == chosen.end())
                chosen.push_back(entry.number);
        }
        if (!known) return false;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    std::sort(chosen.begin(), chosen.end());
    announced->clear();
    for (int number : chosen)
        *announced += (announced->empty() ? "" : ",") + std::to_string(number);
    *codecs = chosen;
    return true;
}

static bool ParseInt(const char *text, long low, long high, long *out) {
    char *end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno || !end || *end || end == text || value < low || value > high) return false;
    *out = value;
    return true;
}

int main(int argc, char **argv) {
    ReceiverConfig config;
    AnnounceConfig announce{"Ostrel Receiver", "", false, 7000, 47000, "130.14", false};
    bool announcing = true;
    // Options that set a text, a number or a switch and nothing else.
    const struct {
        const char *flag;
        std::string *target;
    } texts[] = {{"--bind", &config.bindAddress},
                 {"--port-file", &config.portFile},
                 {"--version-string", &config.screen.version},
                 {"--stream-xml", &config.streamXmlFile},
                 {"--password", &config.password},
                 {"--audio-password", &config.audioPassword},
                 {"--report", &config.reportPath},
                 {"--png", &config.pngPath},
                 {"--wav", &config.wavPath},
                 {"--record", &config.recordPath},
                 {"--trace", &config.tracePath},
                 {"--device-id", &announce.deviceId},
                 {"--control", &config.controlPath}};
    const struct {
        const char *flag;
        long low, high;
        int *target;
    } numbers[] = {{"--http-port", 0, 65535, &config.httpPort},
                   {"--mirror-port", 0, 65535, &config.mirrorPort},
                   {"--ntp-port", 1, 65535, &config.ntpPort},
                   {"--width", 1, 16384, &config.screen.width},
                   {"--height", 1, 16384, &config.screen.height},
                   {"--audio-port", 0, 65535, &config.audioPort},
                   {"--audio-latency", 0, 441000, &config.audioLatency},
                   {"--retransmit-bytes", 8, 64, &config.retransmitRequestBytes}};
    const struct {
        const char *flag;
        uint64_t *target;
    } counts[] = {{"--close-after-packets", &config.closeAfterPackets},
                  {"--close-audio-after-packets", &config.closeAudioAfterPackets}};
    const struct {
        const char *flag;
        bool *target;
    } switches[] = {{"--overscanned", &config.screen.overscanned},
                    {"--busy", &config.busy},
                    {"--exit-on-disconnect", &config.exitOnDisconnect},
                    {"--verbose", &config.verbose},
                    {"--avsync", &config.avsync}};
    for (int i = 1; i < argc; i++) {
        std::string flag = argv[i];
        auto value = [&](const char **out) {
            if (i + 1 >= argc) {
                fprintf(stderr, "ostrel-receiver: %s needs a value\n", flag.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        auto number = [&](long low, long high, long *out) {
            const char *text;
            if (!value(&text)) return false;
            if (!ParseInt(text, low, high, out)) {
                fprintf(stderr, "ostrel-receiver: %s: \"%s\" is not a number from %ld to %ld\n",
                        flag.c_str(), text, low, high);
                return false;
            }
            return true;
        };
        const char *text = nullptr;
        long n = 0;
        bool ok = true;
        bool plain = false;
        for (auto &option : texts) {
            if (flag != option.flag) continue;
            plain = true;
            if ((ok = value(&text))) *option.target = text;
        }
        for (auto &option : numbers) {
            if (flag != option.flag) continue;
            plain = true;
            if ((ok = number(option.low, option.high, &n))) *option.target = (int)n;
        }
        for (auto &option : counts) {
            if (flag != option.flag) continue;
            plain = true;
            if ((ok = number(1, 2000000000, &n))) *option.target = (uint64_t)n;
        }
        for (auto &option : switches) {
            if (flag != option.flag) continue;
            plain = true;
            *option.target = true;
        }
        if (plain) {
            if (!ok) return 2;
            continue;
        }
        if (flag == "--help" || flag == "-h") {
            Usage(stdout);
            return 0;
        } else if (flag == "--port-base") {
            ok = number(1, 65435, &n);
            config.httpPort = (int)n;
            config.mirrorPort = (int)n + 100;
        } else if (flag == "--overscan-form") {
            ok = value(&text);
            if (ok && strcmp(text, "bool") == 0)
                config.screen.overscanForm = kOverscanBool;
            else if (ok && strcmp(text, "string") == 0)
                config.screen.overscanForm = kOverscanString;
            else if (ok && strcmp(text, "integer") == 0)
                config.screen.overscanForm = kOverscanInteger;
            else if (ok) {
                fprintf(stderr, "ostrel-receiver: --overscan-form takes bool, string or integer\n");
                ok = false;
            }
        } else if (flag == "--refresh-rate") {
            ok = number(1, 1000, &n);
            config.screen.refreshRate = 1.0 / (double)n;
        } else if (flag == "--duration") {
            ok = value(&text);
            if (ok) {
                char *end = nullptr;
                config.duration = strtod(text, &end);
                if (!end || *end || !(config.duration > 0)) {
                    fprintf(stderr, "ostrel-receiver: --duration takes a positive number\n");
                    ok = false;
                }
            }
        } else if (flag == "--timecode") {
            // CELL:SCREENWIDTH, both in screen pixels.
            ok = value(&text) &&
                 sscanf(text, "%d:%d", &config.timecodeCell, &config.timecodeScreenWidth) == 2 &&
                 config.timecodeCell > 0 && config.timecodeScreenWidth > 0;
        } else if (flag == "--busy-audio") {
            ok = value(&text);
            if (ok && (strcmp(text, "OPTIONS") == 0 || strcmp(text, "ANNOUNCE") == 0 ||
                       strcmp(text, "SETUP") == 0 || strcmp(text, "RECORD") == 0)) {
                config.busyAudio = text;
            } else if (ok) {
                fprintf(stderr, "ostrel-receiver: --busy-audio takes OPTIONS, ANNOUNCE, SETUP "
                                "or RECORD\n");
                ok = false;
            }
        } else if (flag == "--silent-at") {
            static const char *const kRequests[] = {"stream.xml",    "stream",    "OPTIONS",
                                                    "ANNOUNCE",      "SETUP",     "RECORD",
                                                    "SET_PARAMETER", "keep-alive"};
            ok = value(&text);
            bool known = false;
            for (const char *name : kRequests)
                known = known || (ok && strcmp(text, name) == 0);
            if (known) {
                config.silentAt = text;
            } else if (ok) {
                fprintf(stderr, "ostrel-receiver: --silent-at takes stream.xml, stream, OPTIONS, "
                                "ANNOUNCE, SETUP, RECORD, SET_PARAMETER or keep-alive\n");
                ok = false;
            }
        } else if (flag == "--audio-codecs") {
            ok = value(&text) && ParseCodecList(text, &config.audioCodecs, &announce.codecs);
            if (!ok)
                fprintf(stderr, "ostrel-receiver: --audio-codecs takes a list of aac-eld, alac "
                                "and pcm, like alac,pcm\n");
        } else if (flag == "--drop-audio" || flag == "--late-request") {
            ok = value(&text);
            if (ok && !ParseSequenceList(text, flag == "--drop-audio" ? &config.dropAudio
                                                                      : &config.lateRequests)) {
                fprintf(stderr, "ostrel-receiver: %s takes sequence numbers like 5,50,300\n",
                        flag.c_str());
                ok = false;
            }
        } else if (flag == "--name") {
            ok = value(&text);
            if (ok) announce.name = text;
            if (ok && (announce.name.empty() || announce.name.size() > 63)) {
                fprintf(stderr, "ostrel-receiver: --name takes 1 to 63 bytes\n");
                ok = false;
            }
        } else if (flag == "--no-announce") {
            announcing = false;
        } else if (flag == "--sound-only") {
            announce.soundOnly = true;
        } else {
            fprintf(stderr, "ostrel-receiver: unknown option %s\n", flag.c_str());
            Usage(stderr);
            return 2;
        }
        if (!ok) return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) {
        RxLog("signalfd failed: %s", strerror(errno));
        return 1;
    }
    Announcer *announcer = nullptr;
    // A receiver only this machine's loopback can reach, or one whose port is picked at run
    // time, has nothing worth telling the network.
    if (announcing && config.bindAddress.rfind("127.", 0) == 0) {
        RxLog("Not announced: bound to the loopback address %s", config.bindAddress.c_str());
        announcing = false;
    } else if (announcing && config.httpPort == 0) {
        RxLog("Not announced: the HTTP port is picked at run time (give --http-port)");
        announcing = false;
    }
    if (announcing) {
        announce.password = !config.password.empty();
        announce.airplayPort = config.httpPort;
        // A picked audio port is not known yet: the usual one is announced then.
        if (config.audioPort != 0) announce.audioPort = config.audioPort;
        announce.version = config.screen.version;
        announcer = AnnounceStart(announce);
    }
    int status = ReceiverRun(config, stopFd);
    AnnounceStop(announcer);
    return status;
}
