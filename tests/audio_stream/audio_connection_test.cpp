// The audio connection beside a mirroring connection, in a private network namespace (the
// mirroring ports and the local audio ports 53551 and 51965 are fixed). The built-in receiver
// takes the pictures; a scripted RTSP peer written here takes the audio negotiation, records
// every request as it arrived and can refuse a chosen step or hang up.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "audio_stream/audio_connection.h"
#include "base/clock.h"
#include "base/thread.h"
#include "fake_capture.h"
#include "fake_system_audio.h"
#include "mirroring/mirroring_connection.h"
#include "mirroring/ntpd.h"
#include "plist/cfvalue.h"
#include "system_audio/audio_encoder_driver.h"
#include "test_support.h"
#include "tests/support/wait.h"

namespace {

int BoundUdp(uint16_t *port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (fd < 0 || bind(fd, (sockaddr *)&a, sizeof a) != 0 ||
        getsockname(fd, (sockaddr *)&a, &length) != 0)
        return -1;
    *port = ntohs(a.sin_port);
    return fd;
}

std::vector<uint8_t> ReadDatagram(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return {};
    std::vector<uint8_t> buffer(65536);
    ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    buffer.resize(n > 0 ? (size_t)n : 0);
    return buffer;
}

uint32_t BE32(const std::vector<uint8_t> &b, size_t at) {
    return (uint32_t)b[at] << 24 | (uint32_t)b[at + 1] << 16 | (uint32_t)b[at + 2] << 8 | b[at + 3];
}

// An RTSP peer with a script: 200 to everything, the receiver's ports in the SETUP answer,
// an optional audio latency in the RECORD answer, and a refusal at one chosen method.
class ScriptedPeer {
  public:
    struct Request {
        std::string text; // request line, headers and body, as they came
        int64_t atNanos;
    };

    std::string refuse; // the method answered with refuseStatus; "" for none
    int refuseStatus = 453;
    std::string latency; // Audio-Latency of the RECORD answer; "" for none
    bool events = false; // name an event port (a listener nobody accepts from) in SETUP
    uint16_t rtspPort = 0, dataPort = 0, controlPort = 0, timingPort = 0, eventPort = 0;
    int dataFd = -1, controlFd = -1, timingFd = -1;

    bool Start() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (listener_ < 0 || bind(listener_, (sockaddr *)&a, sizeof a) != 0 ||
            listen(listener_, 4) != 0 || getsockname(listener_, (sockaddr *)&a, &length) != 0)
            return false;
        rtspPort = ntohs(a.sin_port);
        if (events) {
            eventListener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            a.sin_port = 0;
            if (eventListener_ < 0 || bind(eventListener_, (sockaddr *)&a, sizeof a) != 0 ||
                listen(eventListener_, 4) != 0 ||
                getsockname(eventListener_, (sockaddr *)&a, &length) != 0)
                return false;
            eventPort = ntohs(a.sin_port);
        }
        dataFd = BoundUdp(&dataPort);
        controlFd = BoundUdp(&controlPort);
        timingFd = BoundUdp(&timingPort);
        return dataFd >= 0 && controlFd >= 0 && timingFd >= 0 &&
               ThreadStart(&thread_, "rtsp-peer", Serve, this);
    }
    ~ScriptedPeer() {
        stop_ = 1;
        ThreadJoin(&thread_);
        for (int fd : {listener_, eventListener_, connection_.load(), dataFd, controlFd, timingFd})
            if (fd >= 0) close(fd);
    }
    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> hold(lock_);
        return requests_;
    }
    bool WaitForRequests(size_t count, int timeoutMs) {
        return WaitUntil([&] { return Requests().size() >= count; }, timeoutMs);
    }
    // Hangs up the control connection, as a receiver going away does.
    void HangUp() { hangUp_ = 1; }
    bool WaitForClosedBySender(int timeoutMs) {
        return WaitUntil([&] { return closedBySender_.load() != 0; }, timeoutMs);
    }

  private:
    static void Serve(void *arg) { ((ScriptedPeer *)arg)->Run(); }

    void Run() {
        while (!stop_.load() && connection_.load() < 0) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 50) == 1)
                connection_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        }
        std::string buffer;
        while (!stop_.load()) {
            int fd = connection_.load();
            if (hangUp_.exchange(0)) {
                shutdown(fd, SHUT_RDWR);
                return;
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) != 1) continue;
            char chunk[4096];
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                closedBySender_ = 1;
                return;
            }
            buffer.append(chunk, (size_t)n);
            for (;;) {
                size_t head = buffer.find("\r\n\r\n");
                if (head == std::string::npos) break;
                size_t bodyLength = 0;
                size_t at = buffer.find("Content-Length: ");
                if (at != std::string::npos && at < head)
                    bodyLength = strtoul(buffer.c_str() + at + 16, nullptr, 10);
                if (buffer.size() < head + 4 + bodyLength) break;
                std::string text = buffer.substr(0, head + 4 + bodyLength);
                buffer.erase(0, text.size());
                {
                    std::lock_guard<std::mutex> hold(lock_);
                    requests_.push_back({text, MonotonicNanos()});
                }
                Answer(fd, text.substr(0, text.find(' ')));
            }
        }
    }

    void Answer(int fd, const std::string &method) {
        std::string answer;
        if (method == refuse) {
            answer = "RTSP/1.0 " + std::to_string(refuseStatus) + " Refused\r\n";
        } else {
            answer = "RTSP/1.0 200 OK\r\n";
            if (method == "SETUP")
                answer += "Transport: RTP/AVP/UDP;unicast;mode=screen;server_port=" +
                          std::to_string(dataPort) +
                          ";control_port=" + std::to_string(controlPort) +
                          ";timing_port=" + std::to_string(timingPort) +
                          (events ? ";event_port=" + std::to_string(eventPort) : "") + "\r\n";
            if (method == "RECORD" && !latency.empty())
                answer += "Audio-Latency: " + latency + "\r\n";
        }
        answer += "Content-Length: 0\r\n\r\n";
        (void)!send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
    }

    int listener_ = -1, eventListener_ = -1;
    std::atomic<int> connection_{-1};
    std::atomic<int> stop_{0}, hangUp_{0}, closedBySender_{0};
    Thread thread_{};
    std::mutex lock_;
    std::vector<Request> requests_;
};

struct AudioController {
    std::atomic<int> disconnected{0};
    std::atomic<int> audioDisconnected{0};
    std::atomic<int> audioFailure{-1};
};

const MirroringControllerOps kControllerOps = {
    .onStart = nullptr,
    .onDisconnected = [](void *user,
                         MirroringConnection *) { ((AudioController *)user)->disconnected++; },
    .onPasswordRequired = nullptr,
    .onPasswordChanged = nullptr,
    .onStoredPasswordQuery = nullptr,
    .onDeviceInUse = nullptr,
    .onAudioDisconnected =
        [](AudioConnection *audio, MirroringConnection *connection) {
            AudioController *c = (AudioController *)connection->user;
            c->audioFailure = audio->failure.load();
            c->audioDisconnected++;
        },
    .audio = &kAudioConnectionOps,
};

const char kDeviceId[] = "0x0a1b2c3d4e5f";

class AudioConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!EnterPrivateNetwork()) GTEST_SKIP() << "needs CAP_SYS_ADMIN for a network namespace";
        char tmpl[] = "/tmp/ostrel-audio-XXXXXX";
        dir = mkdtemp(tmpl);
        FakeCaptureInstallFrameHandler();
        host = CFStringFromBytes("127.0.0.1", 0);
        deviceId = CFStringFromBytes(kDeviceId, 0);
        capture.framesPerSecond = 10; // pictures only show that mirroring goes on
        startsBefore = FakeSystemAudioStarts();
        stopsBefore = FakeSystemAudioStops();
        std::string ports = dir + "/ports";
        receiver = StartChild({OSTREL_RECEIVER, "--bind", "127.0.0.1", "--port-file", ports,
                               "--width", "1280", "--height", "720", "--duration", "60"});
        ASSERT_TRUE(receiver.pid > 0 && WaitForFileText(ports, "mirror", 10000));
    }
    void TearDown() override {
        if (connection) FreeMirroringConnection(connection);
        NtpdStop(NtpdVideo());
        NtpdStop(NtpdAudio());
        if (receiver.pid > 0) StopChild(receiver, SIGTERM, 5000);
        CFValueRelease(host);
        CFValueRelease(deviceId);
        if (!dir.empty()) {
            std::string cmd = "rm -rf '" + dir + "'";
            EXPECT_EQ(0, system(cmd.c_str()));
        }
    }
    // Mirrors with audio on to the peer's RTSP port and waits for pictures to flow.
    void StartMirroring(uint16_t audioPort) {
        connection =
            StartMirroringConnection(host, audioPort, kAudioCodecAacEld, 0, 0, &kFakeCaptureOps,
                                     &capture, 1, deviceId, &kControllerOps, &controller, nullptr);
        ASSERT_NE(nullptr, connection);
        ASSERT_TRUE(MirroringGoesOn()) << log.Text();
    }
    // Mirroring streams and keeps making pictures.
    bool MirroringGoesOn() {
        int before = capture.picturesEncoded.load();
        return WaitUntil([&] { return connection->state.load() == kMirroringStreaming; }, 10000) &&
               WaitUntil([&] { return capture.picturesEncoded.load() >= before + 3; }, 10000);
    }
    int LogCount(const std::string &needle) {
        std::string text = log.Text();
        int count = 0;
        for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at++)
            count++;
        return count;
    }

    LogCapture log;
    std::string dir;
    Child receiver;
    CFValue *host = nullptr;
    CFValue *deviceId = nullptr;
    FakeCapture capture;
    AudioController controller;
    MirroringConnection *connection = nullptr;
    int startsBefore = 0, stopsBefore = 0;
};

std::string Header(const char *name, const char *value) {
    return std::string(name) + ": " + value + "\r\n";
}

TEST_F(AudioConnectionTest, NegotiatesStreamsAndStopsWithTheMirroring) {
    ScriptedPeer peer;
    peer.latency = "11025";
    peer.events = true;
    ASSERT_TRUE(peer.Start());
    StartMirroring(peer.rtspPort);
    ASSERT_TRUE(WaitUntil([&] { return FakeSystemAudioStarts() == startsBefore + 1; }, 10000))
        << log.Text();
    // Six negotiation requests, then the first keep-alive at once and the next two seconds on.
    ASSERT_TRUE(peer.WaitForRequests(8, 10000)) << log.Text();
    std::vector<ScriptedPeer::Request> r = peer.Requests();

    std::string announce = r[1].text;
    size_t slash = announce.find("rtsp://127.0.0.1/");
    ASSERT_NE(std::string::npos, slash) << announce;
    std::string number = announce.substr(slash + 17, announce.find(' ', slash) - slash - 17);
    int stream = atoi(number.c_str());
    EXPECT_TRUE(stream >= 0 && stream < 32768 && std::to_string(stream) == number) << number;
    std::string base = "rtsp://127.0.0.1/" + number;
    std::string ids = Header("DACP-ID", "5E02C7A19F3D4B68") + Header("Active-Remote", "4720583916");
    std::string device = Header("x-apple-device-id", kDeviceId);
    std::string agent = Header("User-Agent", "OstrelW/1.1");
    std::string sdp = "v=0\r\no=AirTunes " + number +
                      " 0 IN IP4 10.0.0.2\r\ns=AirTunes\r\nc=IN IP4 10.0.0.2\r\nt=0 0\r\n"
                      "m=audio 0 RTP/AVP 96\r\na=rtpmap:96 mpeg4-generic/44100/2\r\n"
                      "a=fmtp:96 mode=AAC-eld; constantDuration=480\r\na=min-latency:4100\r\n"
                      "m=video 0 RTP/AVP 97\r\na=rtmap:97 H264\r\na=fmtp:97\r\n";
    char name[256] = {0};
    ASSERT_EQ(0, gethostname(name, sizeof name - 1));
    size_t n = strlen(name);
    std::string dmap("mlit", 4);
    for (uint32_t v : {(uint32_t)(30 + n)})
        dmap += std::string{(char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v};
    dmap += std::string("asal\0\0\0\0asar\0\0\0\6Ostrelminm\0\0\0", 29) + (char)n + name;

    EXPECT_EQ("OPTIONS * RTSP/1.0\r\n" + agent + device + "Content-Length: 0\r\n\r\n", r[0].text);
    EXPECT_EQ("ANNOUNCE " + base + " RTSP/1.0\r\n" + ids +
                  Header("Content-Type", "application/sdp") + agent + device +
                  "Content-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp,
              r[1].text);
    EXPECT_EQ("SETUP " + base + "/audio RTSP/1.0\r\n" +
                  Header("Transport", "RTP/AVP/UDP;unicast;mode=screen;timing_port=51965;x-events;"
                                      "control_port=53551;redundant=2") +
                  ids + agent + device + "Content-Length: 0\r\n\r\n",
              r[2].text);
    EXPECT_EQ("RECORD " + base + " RTSP/1.0\r\n" + Header("Range", "npt=0-") + ids +
                  Header("RTP-Info", "seq=1920;rtptime=0") + agent + device +
                  "Content-Length: 0\r\n\r\n",
              r[3].text);
    EXPECT_EQ("SET_PARAMETER " + base + " RTSP/1.0\r\n" + ids +
                  Header("Content-Type", "text/parameters") + agent + device +
                  "Content-Length: 9\r\n\r\nvolume: 0",
              r[4].text);
    EXPECT_EQ("SET_PARAMETER " + base + " RTSP/1.0\r\n" + Header("User-Agent", "Ostrel/1.2") +
                  Header("content-type", "application/x-dmap-tagged") +
                  Header("rtp-info", "rtptime=3678580334") + ids + device +
                  "Content-Length: " + std::to_string(38 + n) + "\r\n\r\n" + dmap,
              r[5].text);
    std::string keepAlive = "OPTIONS * RTSP/1.0\r\n" + Header("User-Agent", "OstrelW/1.2") +
                            Header("Active-Remote", "4720583916") +
                            Header("DACP-ID", "5E02C7A19F3D4B68") + device +
                            "Content-Length: 0\r\n\r\n";
    EXPECT_EQ(keepAlive, r[6].text);
    EXPECT_EQ(keepAlive, r[7].text);
    EXPECT_GE(r[7].atNanos - r[6].atNanos, 1500000000LL);
    EXPECT_TRUE(log.Contains("Audio: Completed Setup with ports: timing(51965-" +
                             std::to_string(peer.timingPort) + "), control(53551-" +
                             std::to_string(peer.controlPort) + "), audio(" +
                             std::to_string(peer.dataPort) + "), video(0), event(" +
                             std::to_string(peer.eventPort) + ")"))
        << log.Text();
    EXPECT_TRUE(log.WaitFor("Socket Connect: Audio Port Server Event", 5000));

    // The audio timing service answers on its port.
    std::vector<uint8_t> timing(32, 0);
    timing[0] = 0x80;
    timing[1] = 0xD2;
    std::vector<uint8_t> reply = UdpExchange(kAudioLocalTimingPort, timing, 2000);
    ASSERT_EQ(32u, reply.size());
    EXPECT_EQ(0x80, reply[0]);
    EXPECT_EQ(0xD3, reply[1]);

    // Frames from system audio reach the data port; the sync packet carries the latency.
    for (int i = 0; i < 5; i++) {
        std::vector<uint8_t> frame(100, (uint8_t)(i + 1));
        ASSERT_TRUE(
            FakeSystemAudioPush(frame.data(), (int64_t)frame.size(), (uint64_t)time(nullptr)));
    }
    std::vector<uint8_t> first = ReadDatagram(peer.dataFd, 5000);
    ASSERT_EQ(112u, first.size());
    EXPECT_EQ(0x80600000u, BE32(first, 0));
    EXPECT_EQ(0u, BE32(first, 4));
    EXPECT_EQ(1, first[12]);
    std::vector<uint8_t> sync = ReadDatagram(peer.controlFd, 5000);
    ASSERT_EQ(20u, sync.size());
    EXPECT_EQ(0x90D40004u, BE32(sync, 0));
    EXPECT_EQ(0u - 11025u, BE32(sync, 4));

    // A retransmission request from the control port brings packet 2 back to the data port.
    std::vector<uint8_t> request(18, 0);
    request[0] = 0x80;
    request[1] = 0xD5;
    request[5] = 2;
    request[7] = 1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(kAudioLocalControlPort);
    ASSERT_EQ(
        18, sendto(peer.controlFd, request.data(), request.size(), 0, (sockaddr *)&to, sizeof to));
    std::vector<uint8_t> resent;
    for (int i = 0; i < 20 && resent.empty(); i++) {
        std::vector<uint8_t> d = ReadDatagram(peer.dataFd, 3000);
        if (d.empty()) break;
        if (d[0] == 0x80 && d[1] == 0xD6) resent = d;
    }
    ASSERT_EQ(4u + 112u, resent.size());
    EXPECT_EQ(0x80D60002u, BE32(resent, 0));
    EXPECT_EQ(0x80600002u, BE32(resent, 4));
    EXPECT_EQ(3, resent[16]);

    // Stopping the mirroring stops the audio with it: no failure, everything released.
    StopMirroringConnection(connection);
    EXPECT_EQ(1, controller.disconnected.load());
    EXPECT_EQ(1, controller.audioDisconnected.load());
    EXPECT_EQ(kAudioNoFailure, controller.audioFailure.load());
    EXPECT_EQ(nullptr, connection->audio.load());
    EXPECT_EQ(stopsBefore + 1, FakeSystemAudioStops());
    EXPECT_FALSE(NtpdIsRunning(NtpdAudio()));
    EXPECT_TRUE(peer.WaitForClosedBySender(5000));
    EXPECT_EQ(1, LogCount("AirPlay: Attempting to Stop Audio."));
    EXPECT_TRUE(log.Contains("Socket Set was destroyed"));
    // Stopping again, either of them, does nothing.
    StopMirroringConnection(connection);
    kAudioConnectionOps.stop(&connection->audio);
    EXPECT_EQ(1, controller.audioDisconnected.load());
    EXPECT_EQ(1, LogCount("AirPlay: Attempting to Stop Audio."));
}

// Each refused step ends the audio without a failure; the mirroring streams on. The first
// audio connection is the one the mirroring connection starts, later ones are started as
// the user's audio switch does.
TEST_F(AudioConnectionTest, RefusedStepsEndTheAudioWhileMirroringGoesOn) {
    const struct {
        const char *method;
        int status;
    } steps[] = {{"OPTIONS", 500}, {"ANNOUNCE", 453}, {"SETUP", 500}, {"RECORD", 404}};
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(steps[i].method);
        ScriptedPeer peer;
        peer.refuse = steps[i].method;
        peer.refuseStatus = steps[i].status;
        ASSERT_TRUE(peer.Start());
        if (i == 0) {
            StartMirroring(peer.rtspPort);
        } else {
            ASSERT_EQ(1, kAudioConnectionOps.start(&connection->audio, host, peer.rtspPort, nullptr,
                                                   kControllerOps.onAudioDisconnected, connection,
                                                   deviceId, kAudioCodecAacEld));
        }
        ASSERT_TRUE(WaitUntil([&] { return controller.audioDisconnected.load() == i + 1; }, 10000))
            << log.Text();
        EXPECT_EQ(kAudioNoFailure, controller.audioFailure.load());
        std::vector<ScriptedPeer::Request> r = peer.Requests();
        ASSERT_EQ((size_t)(i + 1), r.size());
        EXPECT_EQ(0u, r.back().text.find(std::string(steps[i].method) + " "));
        EXPECT_TRUE(peer.WaitForClosedBySender(5000));
        EXPECT_FALSE(NtpdIsRunning(NtpdAudio()));
        EXPECT_EQ(startsBefore, FakeSystemAudioStarts());
        EXPECT_TRUE(MirroringGoesOn());
        EXPECT_EQ(kMirroringNoFailure, connection->failure.load());
        EXPECT_EQ(0, controller.disconnected.load());
    }
    EXPECT_EQ(0, LogCount("Client audio connection failed"));
    StopMirroringConnection(connection);
    EXPECT_EQ(4, controller.audioDisconnected.load());
}

TEST_F(AudioConnectionTest, ReceiverHangingUpEndsTheAudioWithFailureTwo) {
    ScriptedPeer peer;
    ASSERT_TRUE(peer.Start());
    StartMirroring(peer.rtspPort);
    ASSERT_TRUE(WaitUntil([&] { return FakeSystemAudioStarts() == startsBefore + 1; }, 10000))
        << log.Text();
    ASSERT_TRUE(peer.WaitForRequests(6, 10000));
    peer.HangUp();
    ASSERT_TRUE(WaitUntil([&] { return controller.audioDisconnected.load() == 1; }, 10000))
        << log.Text();
    EXPECT_EQ(kAudioDisconnectedByHost, controller.audioFailure.load());
    EXPECT_TRUE(log.Contains("Client audio connection failed (Disconnected by host: Not ATV2 or "
                             "Firmware Version Incorrect? Upgrade or Reboot Apple TV): 12291"))
        << log.Text();
    EXPECT_EQ(stopsBefore + 1, FakeSystemAudioStops());
    EXPECT_FALSE(NtpdIsRunning(NtpdAudio()));
    EXPECT_TRUE(MirroringGoesOn());
    // The ended connection is still held; stopping it (twice) only releases it.
    kAudioConnectionOps.stop(&connection->audio);
    kAudioConnectionOps.stop(&connection->audio);
    EXPECT_EQ(nullptr, connection->audio.load());
    EXPECT_EQ(1, controller.audioDisconnected.load());
    EXPECT_EQ(1, LogCount("AirPlay: Attempting to Stop Audio."));
    StopMirroringConnection(connection);
    EXPECT_EQ(1, controller.audioDisconnected.load());
    EXPECT_EQ(kMirroringNoFailure, connection->failure.load());
}

// The built-in receiver's audio side on ports of its own, beside the fixture's receiver that
// takes the pictures; extra options configure how it treats the sound.
struct AudioReceiver {
    Child child;
    uint16_t port = 0;
    bool Start(const std::string &dir, const std::string &name, std::vector<std::string> extra) {
        std::string ports = dir + "/" + name + ".ports";
        std::vector<std::string> argv = {OSTREL_RECEIVER,
                                         "--bind",
                                         "127.0.0.1",
                                         "--http-port",
                                         "0",
                                         "--mirror-port",
                                         "0",
                                         "--audio-port",
                                         "0",
                                         "--port-file",
                                         ports,
                                         "--duration",
                                         "60"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        child = StartChild(argv);
        if (child.pid <= 0 || !WaitForFileText(ports, "audio", 10000)) return false;
        std::string text = ReadFileText(ports);
        size_t at = text.find("audio ");
        port = at == std::string::npos ? 0 : (uint16_t)atoi(text.c_str() + at + 6);
        return port != 0;
    }
    ~AudioReceiver() {
        if (child.pid > 0) StopChild(child, SIGTERM, 5000);
    }
};

// A receiver that leaves one request unanswered: the sound ends at its bound with failure 5
// and a line naming the request; the picture goes on.
TEST_F(AudioConnectionTest, SilentReceiverEndsTheSoundAtItsBoundWhileMirroringGoesOn) {
    const struct {
        const char *silentAt;
        const char *named;
    } steps[] = {
        {"OPTIONS", "OPTIONS"}, {"RECORD", "RECORD"}, {"keep-alive", "the keep-alive OPTIONS"}};
    ScriptedPeer idle; // the mirroring connection's own audio goes here and streams
    ASSERT_TRUE(idle.Start());
    StartMirroring(idle.rtspPort);
    ASSERT_TRUE(WaitUntil(
        [&] {
            return controller.audioDisconnected.load() == 0 &&
                   FakeSystemAudioStarts() == startsBefore + 1;
        },
        10000));
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(steps[i].silentAt);
        AudioReceiver rx;
        ASSERT_TRUE(rx.Start(dir, steps[i].silentAt, {"--silent-at", steps[i].silentAt}));
        int64_t start = MonotonicNanos();
        ASSERT_EQ(1, kAudioConnectionOps.start(&connection->audio, host, rx.port, nullptr,
                                               kControllerOps.onAudioDisconnected, connection,
                                               deviceId, kAudioCodecAacEld));
        ASSERT_TRUE(WaitUntil([&] { return controller.audioDisconnected.load() == i + 2; },
                              kAudioAnswerTimeoutMs + 8000))
            << log.Text();
        int64_t tookMs = (MonotonicNanos() - start) / 1000000;
        EXPECT_GE(tookMs, kAudioAnswerTimeoutMs - 100);
        EXPECT_EQ(kAudioNoAnswer, controller.audioFailure.load());
        EXPECT_TRUE(log.Contains(std::string("Audio: the receiver did not answer ") +
                                 steps[i].named + " within 10 s; ending the audio"))
            << log.Text();
        EXPECT_FALSE(NtpdIsRunning(NtpdAudio()));
        EXPECT_TRUE(MirroringGoesOn());
        EXPECT_EQ(kMirroringNoFailure, connection->failure.load());
        EXPECT_EQ(0, controller.disconnected.load());
    }
    // Only the streaming one took over the PC's sound, and every take-over was given back.
    EXPECT_EQ(startsBefore + 2, FakeSystemAudioStarts());
    EXPECT_EQ(stopsBefore + 2, FakeSystemAudioStops());
    StopMirroringConnection(connection);
}

// The sound's password requests as a controller sees them; answered from the test's thread.
struct PasswordController : AudioController {
    std::atomic<int> videoRequests{0};
    std::atomic<int> soundRequests{0};
    std::atomic<int> lastRetried{-1};
    std::atomic<int> canAsk{1};
};

const MirroringControllerOps kPasswordControllerOps = {
    .onStart = nullptr,
    .onDisconnected = [](void *user,
                         MirroringConnection *) { ((AudioController *)user)->disconnected++; },
    .onPasswordRequired = [](void *user, MirroringConnection *, SocketSet *,
                             int) { ((PasswordController *)user)->videoRequests++; },
    .onPasswordChanged = nullptr,
    .onStoredPasswordQuery = nullptr,
    .onDeviceInUse = nullptr,
    .onAudioDisconnected = kControllerOps.onAudioDisconnected,
    .audio = &kAudioConnectionOps,
    .onAudioPasswordRequired =
        [](void *user, MirroringConnection *, int retried) {
            PasswordController *p = (PasswordController *)user;
            p->lastRetried = retried;
            p->soundRequests++;
            return p->canAsk.load();
        },
};

// A receiver that protects only its sound: the sound's challenge reaches the sound (never the
// picture's password path); the held password goes first, a refused one is asked for again,
// and a declined or unaskable one ends the sound alone with failure 6.
TEST_F(AudioConnectionTest, SoundOnlyPasswordIsAskedForTheSoundAlone) {
    AudioReceiver rx;
    ASSERT_TRUE(rx.Start(dir, "password", {"--audio-password", "s3cret"}));
    PasswordController pc;
    connection =
        StartMirroringConnection(host, rx.port, kAudioCodecAacEld, 0, 0, &kFakeCaptureOps, &capture,
                                 1, deviceId, &kPasswordControllerOps, &pc, nullptr);
    ASSERT_NE(nullptr, connection);
    ASSERT_TRUE(MirroringGoesOn()) << log.Text();
    // Asked once; a wrong answer is refused and asked for again with the retry flag.
    ASSERT_TRUE(WaitUntil([&] { return pc.soundRequests.load() == 1; }, 10000)) << log.Text();
    EXPECT_EQ(0, pc.lastRetried.load());
    SetAudioConnectionPassword(&connection->audio, "wrong");
    ASSERT_TRUE(WaitUntil([&] { return pc.soundRequests.load() == 2; }, 10000)) << log.Text();
    EXPECT_EQ(1, pc.lastRetried.load());
    SetAudioConnectionPassword(&connection->audio, "s3cret");
    ASSERT_TRUE(WaitUntil([&] { return FakeSystemAudioStarts() == startsBefore + 1; }, 10000))
        << log.Text();
    EXPECT_EQ(0, pc.audioDisconnected.load());
    EXPECT_EQ(0, pc.videoRequests.load()) << "the sound's challenge went to the picture";

    // Started again with the password held: no one is asked.
    SCOPED_TRACE("held password");
    CFValue *held = CFStringFromBytes("s3cret", 0);
    ASSERT_EQ(1, kAudioConnectionOps.start(&connection->audio, host, rx.port, held,
                                           kPasswordControllerOps.onAudioDisconnected, connection,
                                           deviceId, kAudioCodecAacEld));
    CFValueRelease(held);
    ASSERT_TRUE(WaitUntil([&] { return FakeSystemAudioStarts() == startsBefore + 2; }, 10000))
        << log.Text();
    EXPECT_EQ(2, pc.soundRequests.load());

    // Declined by the user, then nobody to ask: each ends the sound with failure 6 within
    // moments; the picture goes on.
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round == 0 ? "declined" : "nobody to ask");
        pc.canAsk = round == 0;
        int requests = pc.soundRequests.load(), ended = pc.audioDisconnected.load();
        ASSERT_EQ(1, kAudioConnectionOps.start(&connection->audio, host, rx.port, nullptr,
                                               kPasswordControllerOps.onAudioDisconnected,
                                               connection, deviceId, kAudioCodecAacEld));
        ASSERT_TRUE(WaitUntil([&] { return pc.soundRequests.load() == requests + 1; }, 10000));
        if (round == 0) SetAudioConnectionPassword(&connection->audio, nullptr);
        // The first start also replaces a streaming connection, which ends without a failure.
        int expected = ended + (round == 0 ? 2 : 1);
        ASSERT_TRUE(WaitUntil([&] { return pc.audioDisconnected.load() == expected; }, 5000))
            << log.Text();
        EXPECT_EQ(kAudioPasswordRequired, pc.audioFailure.load());
        EXPECT_TRUE(MirroringGoesOn());
        EXPECT_EQ(0, pc.disconnected.load());
        EXPECT_EQ(kMirroringNoFailure, connection->failure.load());
    }
    EXPECT_TRUE(log.Contains("Audio: no password was given for the sound; ending the audio"));
    EXPECT_TRUE(log.Contains("Audio: the receiver wants a password for the sound and no one can "
                             "give it; ending the audio, the picture goes on"));
    EXPECT_EQ(0, pc.videoRequests.load());
    StopMirroringConnection(connection);
}

// Sound alone to a speaker: no mirroring connection; the owner table hears the password
// request, its answer lets the sound stream, and the end reaches the owner.
struct SpeakerOwner {
    std::atomic<int> requests{0};
    std::atomic<int> ended{0};
    std::atomic<void *> endedOwner{nullptr};
};

TEST_F(AudioConnectionTest, SpeakerSoundAnswersToItsOwner) {
    AudioReceiver rx;
    ASSERT_TRUE(rx.Start(dir, "speaker", {"--audio-password", "s3cret"}));
    static const AudioOwnerOps kOwner = {
        .onPasswordRequired = [](void *owner, AudioConnection *, int) {
            ((SpeakerOwner *)owner)->requests++;
            return 1;
        }};
    SpeakerOwner owner;
    std::atomic<AudioConnection *> slot{nullptr};
    auto ended = [](AudioConnection *audio, MirroringConnection *mirroring) {
        SpeakerOwner *o = (SpeakerOwner *)audio->owner;
        if (mirroring) return; // must not happen: counted as no end at all
        o->endedOwner = audio->owner;
        o->ended++;
    };
    ASSERT_EQ(1, StartOwnedAudioConnection(&slot, host, rx.port, nullptr, ended, &kOwner, &owner,
                                           deviceId, kAudioCodecAacEld));
    ASSERT_TRUE(WaitUntil([&] { return owner.requests.load() == 1; }, 10000)) << log.Text();
    SetAudioConnectionPassword(&slot, "s3cret");
    ASSERT_TRUE(WaitUntil([&] { return FakeSystemAudioStarts() == startsBefore + 1; }, 10000))
        << log.Text();
    int32_t state = 0;
    AudioConnectionStatus(&slot, &state, nullptr);
    EXPECT_EQ(kAudioStreaming, state);
    StopAudioConnection(&slot);
    EXPECT_EQ(1, owner.ended.load());
    EXPECT_EQ(&owner, owner.endedOwner.load());
    EXPECT_EQ(nullptr, slot.load());
    EXPECT_EQ(stopsBefore + 1, FakeSystemAudioStops());
}

// A stop that lands while system audio is being started (the output being taken over)
// waits for that start and undoes it: no driver is left sending for the freed connection.
TEST_F(AudioConnectionTest, StopDuringTheSoundsStartLeavesNoCapture) {
    ScriptedPeer peer;
    ASSERT_TRUE(peer.Start());
    FakeSystemAudioHoldStarts();
    StartMirroring(peer.rtspPort);
    ASSERT_TRUE(FakeSystemAudioWaitStartHeld(10000)) << log.Text();
    std::thread stopper([&] { StopMirroringConnection(connection); });
    // The teardown is under way (past its look at what it has to stop) before the start ends.
    bool tearingDown = log.WaitFor("Audio Outgoing about to Close the SocketSet..", 5000);
    FakeSystemAudioReleaseStarts();
    stopper.join();
    ASSERT_TRUE(tearingDown) << log.Text();
    EXPECT_EQ(1, controller.audioDisconnected.load());
    EXPECT_EQ(nullptr, connection->audio.load());
    EXPECT_EQ(0, SystemAudioIsActive()) << "the capture outlived its connection";
    EXPECT_EQ(FakeSystemAudioStarts() - startsBefore, FakeSystemAudioStops() - stopsBefore);
    const uint8_t frame[16] = {1};
    EXPECT_FALSE(FakeSystemAudioPush(frame, sizeof frame, (uint64_t)time(nullptr)));
    EXPECT_FALSE(NtpdIsRunning(NtpdAudio()));
}

// The PC's sound that cannot be captured, at the start or later (its sound server gone for
// good), ends the audio with failure 3, so that the menu does not say "Connected" over
// silence; the mirroring goes on.
TEST_F(AudioConnectionTest, SoundThatCannotBeCapturedEndsTheAudioWithAFailure) {
    ScriptedPeer refusing;
    ASSERT_TRUE(refusing.Start());
    FakeSystemAudioFailStarts(true);
    StartMirroring(refusing.rtspPort);
    ASSERT_TRUE(WaitUntil([&] { return controller.audioDisconnected.load() == 1; }, 10000))
        << log.Text();
    FakeSystemAudioFailStarts(false);
    EXPECT_EQ(kAudioUnknownError, controller.audioFailure.load());
    EXPECT_TRUE(log.Contains("Audio: the PC's sound could not be captured; ending the audio"));
    EXPECT_EQ(kAudioIdle, connection->audio.load()->state.load());
    EXPECT_EQ(kAudioUnknownError, connection->audio.load()->failure.load());
    EXPECT_TRUE(refusing.WaitForClosedBySender(5000));
    EXPECT_TRUE(MirroringGoesOn());

    ScriptedPeer peer;
    ASSERT_TRUE(peer.Start());
    ASSERT_EQ(1,
              kAudioConnectionOps.start(&connection->audio, host, peer.rtspPort, nullptr,
                                        kControllerOps.onAudioDisconnected, connection, deviceId, kAudioCodecAacEld));
    ASSERT_TRUE(WaitUntil([&] { return FakeSystemAudioStarts() == startsBefore + 1; }, 10000))
        << log.Text();
    ASSERT_TRUE(
        WaitUntil([&] { return connection->audio.load()->state.load() == kAudioStreaming; }, 5000));
    ASSERT_TRUE(FakeSystemAudioLose());
    ASSERT_TRUE(WaitUntil([&] { return controller.audioDisconnected.load() == 2; }, 10000))
        << log.Text();
    EXPECT_EQ(kAudioUnknownError, controller.audioFailure.load());
    EXPECT_TRUE(log.Contains("Audio: the PC's sound can no longer be captured; ending the audio"));
    EXPECT_EQ(stopsBefore + 1, FakeSystemAudioStops());
    EXPECT_EQ(0, SystemAudioIsActive());
    EXPECT_TRUE(peer.WaitForClosedBySender(5000));
    EXPECT_TRUE(MirroringGoesOn());
    EXPECT_EQ(kMirroringNoFailure, connection->failure.load());
    StopMirroringConnection(connection);
    EXPECT_EQ(2, controller.audioDisconnected.load());
    EXPECT_EQ(1, controller.disconnected.load());
}

} // namespace
