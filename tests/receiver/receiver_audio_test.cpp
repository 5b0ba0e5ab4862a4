// The receiver's audio side against a scripted sender written here: RTSP negotiation,
// RTP packets carrying real AAC-ELD frames (made by the project's encoder core), sync
// packets, redundant copies and a 20-packet history that answers retransmission requests.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <deque>

#include "aaceld/aaceld.h"
#include "tests/receiver/test_support.h"
#include "tools/receiver/rx_digest.h"

namespace {

double Monotonic() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

void PutBe16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

void PutBe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (24 - 8 * i));
}

uint16_t Be16(const uint8_t *p) {
    return (uint16_t)(p[0] << 8 | p[1]);
}

int UdpSocket(bool bind127) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind127) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, (sockaddr *)&local, sizeof local) != 0) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

int LocalPort(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, (sockaddr *)&local, &length);
    return ntohs(local.sin_port);
}

void SendTo(int fd, int port, const std::vector<uint8_t> &bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons((uint16_t)port);
    sendto(fd, bytes.data(), bytes.size(), 0, (sockaddr *)&to, sizeof to);
}

// AAC-ELD frames of interleaved stereo float input, one per 480 sample frames.
std::vector<std::vector<uint8_t>> EncodeEld(const std::vector<float> &interleaved, int *delay) {
    std::vector<std::vector<uint8_t>> frames;
    EncoderConfig config = {39, 128000, 3, 2, 44100, 44100, 5, 480, {0, 0, 0, 0, 0}};
    AacEldEncoder *encoder = nullptr;
    if (EncoderOpen(&config, &encoder) != kEncoderOk) return frames;
    EncoderSlot slot;
    EncoderInfo info{};
    if (EncoderInit(encoder, &slot) != kEncoderOk || EncoderGetInfo(encoder, &info) != kEncoderOk) {
        EncoderClose(encoder);
        return frames;
    }
    if (delay) *delay = info.delay;
    uint8_t out[4096];
    for (size_t at = 0; at + 960 <= interleaved.size(); at += 960) {
        int n = EncoderEncode(encoder, interleaved.data() + at, 960, &slot, out, sizeof out);
        if (n > 0) frames.emplace_back(out, out + n);
    }
    EncoderClose(encoder);
    return frames;
}

// Four times real time: quick, yet no burst a busy receiver's socket buffer could overflow.
void PaceFrame(double start, int frame) {
    double due = start + (frame + 1) * 480 / 44100.0 / 4;
    double wait = due - Monotonic();
    if (wait > 0) usleep((useconds_t)(wait * 1e6));
}

// The sender: RTSP on one TCP connection, RTP to the receiver's data port, sync packets to
// its control port from the control socket, which also takes retransmission requests.
struct ScriptedSender {
    int rtsp = -1;
    int data = -1, control = -1, timing = -1;
    int serverPort = 0, controlPort = 0, timingPort = 0, eventPort = 0;
    int latency = 0; // from the RECORD answer
    std::string recordHead;
    std::deque<std::vector<uint8_t>> history; // the last 20 packets sent
    uint16_t sequence = 0;
    uint32_t rtpTime = 0;
    int requests = 0, requestsUnder18 = 0, answered = 0, notInHistory = 0, timingAnswered = 0;

    ~ScriptedSender() {
        for (int fd : {rtsp, data, control, timing})
            if (fd >= 0) close(fd);
    }
    // One request; returns the status (0 when the exchange failed).
    int Request(const std::string &method, const std::string &uri,
                const std::vector<std::string> &headers, const std::string &body,
                std::string *head = nullptr) {
        std::string text = method + " " + uri + " RTSP/1.0\r\n";
        for (auto &header : headers)
            text += header + "\r\n";
        text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        int status = 0;
        std::string responseHead, responseBody;
        if (!SendAll(rtsp, text.data(), text.size()) ||
            !ReadResponse(rtsp, &status, &responseHead, &responseBody))
            return 0;
        if (head) *head = responseHead;
        return status;
    }
    static int HeaderNumber(const std::string &head, const std::string &name) {
        size_t at = head.find(name);
        return at == std::string::npos ? -1 : atoi(head.c_str() + at + name.size());
    }
    // OPTIONS, ANNOUNCE, SETUP, RECORD; returns the first status other than 200, or 200.
    int Negotiate(int port) {
        rtsp = ConnectLocal(port);
        data = UdpSocket(false);
        control = UdpSocket(true);
        timing = UdpSocket(true);
        if (rtsp < 0 || data < 0 || control < 0 || timing < 0) return 0;
        std::string base = "rtsp://127.0.0.1/4242";
        int status = Request("OPTIONS", "*", {"User-Agent: scripted"}, "");
        if (status != 200) return status;
        std::string sdp = "v=0\r\no=AirTunes 4242 0 IN IP4 10.0.0.1\r\ns=AirTunes\r\n"
                          "c=IN IP4 10.0.0.1\r\nt=0 0\r\nm=audio 0 RTP/AVP 96\r\n"
                          "a=rtpmap:96 mpeg4-generic/44100/2\r\n"
                          "a=fmtp:96 mode=AAC-eld; constantDuration=480\r\n"
                          "a=min-latency:4100\r\nm=video 0 RTP/AVP 97\r\n"
                          "a=rtmap:97 H264\r\na=fmtp:97\r\n";
        status = Request("ANNOUNCE", base, {"Content-Type: application/sdp"}, sdp);
        if (status != 200) return status;
        std::string head;
        status = Request("SETUP", base + "/audio",
                         {"Transport: RTP/AVP/UDP;unicast;mode=screen;timing_port=" +
                          std::to_string(LocalPort(timing)) + ";x-events;control_port=" +
                          std::to_string(LocalPort(control)) + ";redundant=2"},
                         "", &head);
        if (status != 200) return status;
        serverPort = HeaderNumber(head, "server_port=");
        controlPort = HeaderNumber(head, "control_port=");
        timingPort = HeaderNumber(head, "timing_port=");
        eventPort = HeaderNumber(head, "event_port=");
        status = Request("RECORD", base, {"Range: npt=0-", "RTP-Info: seq=1920;rtptime=0"}, "",
                         &recordHead);
        latency = HeaderNumber(recordHead, "Audio-Latency: ");
        return status;
    }
    void Sync(uint32_t forRtp, double streamSeconds, bool first) {
        std::vector<uint8_t> packet(20);
        packet[0] = first ? 0x90 : 0x80;
        packet[1] = 0xD4;
        PutBe16(&packet[2], 4);
        PutBe32(&packet[4], forRtp - (uint32_t)latency);
        PutBe32(&packet[8], (uint32_t)streamSeconds);
        PutBe32(&packet[12],
                (uint32_t)((streamSeconds - std::floor(streamSeconds)) * 4294967295.0));
        PutBe32(&packet[16], forRtp);
        SendTo(control, controlPort, packet);
    }
    // Sync every 91 packets (stream time from streamTimeOf), three copies, the new packet.
    void SendFrame(const std::vector<uint8_t> &frame, double streamSeconds) {
        if (sequence % 91 == 0) Sync(rtpTime, streamSeconds, sequence == 0);
        for (size_t i = 0; i < 3 && i < history.size(); i++)
            SendTo(data, serverPort, history[history.size() - 1 - i]);
        std::vector<uint8_t> packet(12);
        packet[0] = 0x80;
        packet[1] = 0x60;
        PutBe16(&packet[2], sequence);
        PutBe32(&packet[4], rtpTime);
        packet.insert(packet.end(), frame.begin(), frame.end());
        history.push_back(packet);
        if (history.size() > 20) history.pop_front();
        SendTo(data, serverPort, packet);
        sequence++;
        rtpTime += 480;
    }
    // Answers what waits on the control and timing sockets.
    void Serve() {
        uint8_t datagram[2048];
        for (;;) {
            ssize_t n = recv(control, datagram, sizeof datagram, 0);
            if (n < 0) break;
            if (n < 8 || datagram[0] != 0x80 || datagram[1] != 0xD5) continue;
            requests++;
            if (n < 18) requestsUnder18++;
            uint16_t first = Be16(datagram + 4), count = Be16(datagram + 6);
            for (uint16_t k = 0; k < count; k++) {
                bool found = false;
                for (auto &stored : history) {
                    if (Be16(&stored[2]) != (uint16_t)(first + k)) continue;
                    std::vector<uint8_t> answer = {0x80, 0xD6, 0, 0};
                    PutBe16(&answer[2], (uint16_t)(first + k));
                    answer.insert(answer.end(), stored.begin(), stored.end());
                    SendTo(data, serverPort, answer);
                    found = true;
                    answered++;
                }
                if (!found) notInHistory++;
            }
        }
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t n;
        while ((n = recvfrom(timing, datagram, sizeof datagram, 0, (sockaddr *)&from,
                             &fromLength)) >= 0) {
            if (n != 32 || datagram[0] != 0x80 || datagram[1] != 0xD2) continue;
            uint8_t reply[32] = {0x80, 0xD3};
            memcpy(reply + 2, datagram + 2, 6);
            memcpy(reply + 8, datagram + 24, 8);
            uint64_t now = StreamClockFixed(0);
            for (int i = 0; i < 8; i++)
                reply[16 + i] = reply[24 + i] = (uint8_t)(now >> (56 - 8 * i));
            sendto(timing, reply, sizeof reply, 0, (sockaddr *)&from, fromLength);
            timingAnswered++;
        }
    }
    // Serves until done() or the deadline; true when done() came true.
    template <typename Done> bool ServeUntil(Done done, double seconds) {
        double deadline = Monotonic() + seconds;
        while (Monotonic() < deadline) {
            Serve();
            if (done()) return true;
            pollfd fds[2] = {{control, POLLIN, 0}, {timing, POLLIN, 0}};
            poll(fds, 2, 20);
        }
        return false;
    }
};

class ReceiverAudioTest : public ::testing::Test {
  protected:
    ReceiverProcess receiver;
    void TearDown() override { ReceiverCleanup(&receiver, HasFailure()); }
    bool Report(Json *report) {
        EXPECT_TRUE(ReceiverWaitExit(&receiver, 15)) << "the receiver did not stop";
        EXPECT_EQ(receiver.exitStatus, 0);
        std::string text = ReadFileText(receiver.ReportPath());
        bool parsed = JsonParse(text, report);
        EXPECT_TRUE(parsed) << text;
        return parsed;
    }
};

std::vector<float> Tone(double frequency, double amplitude, size_t frames) {
    std::vector<float> samples(frames * 2);
    for (size_t i = 0; i < frames; i++)
        samples[2 * i] = samples[2 * i + 1] =
            (float)(amplitude * std::sin(2 * M_PI * frequency * (double)i / 44100.0));
    return samples;
}

// The whole audio road: negotiation with every SET_PARAMETER, a 1 kHz tone in real frames,
// three packets refused on purpose and recovered from the sender's history, one asked for
// after it left the history, timing exchanges, and the WAV and figures that come out.
TEST_F(ReceiverAudioTest, ScriptedSenderIsDecodedWithRecoveredPacketsAndAWav) {
    const int count = 360;
    int delay = 0;
    std::vector<std::vector<uint8_t>> frames =
        EncodeEld(Tone(1000, 0.5, count * 480 + 480), &delay);
    ASSERT_GE((int)frames.size(), count);
    frames.resize(count);
    ASSERT_TRUE(ReceiverStart(&receiver, {"--drop-audio", "5,50,300", "--late-request", "100",
                                          "--wav", "@DIR@/heard.wav", "--exit-on-disconnect"}));
    ScriptedSender sender;
    ASSERT_EQ(sender.Negotiate(receiver.audioPort), 200);
    EXPECT_GT(sender.serverPort, 0);
    EXPECT_GT(sender.controlPort, 0);
    EXPECT_GT(sender.timingPort, 0);
    EXPECT_GT(sender.eventPort, 0);
    EXPECT_EQ(sender.latency, 4410) << sender.recordHead;
    int event = ConnectLocal(sender.eventPort);
    EXPECT_GE(event, 0);
    std::string base = "rtsp://127.0.0.1/4242";
    EXPECT_EQ(sender.Request("SET_PARAMETER", base, {"Content-Type: text/parameters"}, "volume: 0"),
              200);
    std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(100, 'x');
    EXPECT_EQ(sender.Request("SET_PARAMETER", base,
                             {"content-type: image/png", "rtp-info: rtptime=3678580334"}, png),
              200);
    std::string dmap = SampleTrackDmap();
    EXPECT_EQ(
        sender.Request("SET_PARAMETER", base, {"content-type: application/x-dmap-tagged"}, dmap),
        200);
    // With a CSeq (which this protocol's senders leave out) the answer echoes it.
    std::string head;
    EXPECT_EQ(sender.Request("OPTIONS", "*", {"CSeq: 7"}, "", &head), 200);
    EXPECT_NE(head.find("CSeq: 7"), std::string::npos) << head;

    double streamStart = 1000.0, start = Monotonic();
    for (int i = 0; i < count; i++) {
        sender.SendFrame(frames[i], streamStart + i * 480 / 44100.0);
        sender.Serve();
        PaceFrame(start, i);
    }
    // Three recoveries, the late request, and a timing exchange.
    EXPECT_TRUE(sender.ServeUntil(
        [&] {
            return sender.answered >= 3 && sender.notInHistory >= 1 && sender.timingAnswered >= 1;
        },
        10))
        << sender.answered << " answered, " << sender.notInHistory << " not in the history";
    EXPECT_EQ(sender.requestsUnder18, 0);
    if (event >= 0) close(event);
    close(sender.rtsp);
    sender.rtsp = -1;

    Json report;
    ASSERT_TRUE(Report(&report));
    const Json &audio = report["audio"];
    EXPECT_EQ(audio["rtsp"]["methods"]["ANNOUNCE"].number, 1);
    EXPECT_EQ(audio["rtsp"]["methods"]["SET_PARAMETER"].number, 3);
    EXPECT_EQ(audio["rtsp"]["keepAlives"].number, 1);
    EXPECT_TRUE(audio["sdp"]["ok"].boolean);
    EXPECT_EQ(audio["transport"]["senderControlPort"].number, LocalPort(sender.control));
    EXPECT_EQ(audio["record"]["rtpInfo"].text, "seq=1920;rtptime=0");
    EXPECT_EQ(audio["volume"].number, 0);
    EXPECT_TRUE(audio["artwork"]["png"].boolean);
    EXPECT_EQ(audio["artwork"]["bytes"].number, png.size());
    EXPECT_EQ(audio["track"]["name"].text, "OFFICE-PC");
    EXPECT_EQ(audio["track"]["artist"].text, "Ostrel");
    EXPECT_TRUE(audio["track"]["complete"].boolean);
    EXPECT_TRUE(audio["track"]["problems"].items.empty());
    EXPECT_EQ(audio["events"]["connections"].number, 1);

    EXPECT_EQ(audio["datagrams"].number, count + 3 * count - 6); // with the copies
    EXPECT_EQ(audio["firstSequence"].number, 0);
    EXPECT_EQ(audio["timestampMismatches"].number, 0);
    EXPECT_EQ(audio["frames"].number, count);
    EXPECT_EQ(audio["framesDecoded"].number, count);
    EXPECT_EQ(audio["decodeErrors"].number, 0);
    EXPECT_EQ(audio["lost"].number, 0);
    EXPECT_EQ(audio["silentFrames"].number, 0);
    EXPECT_EQ(audio["sync"]["packets"].number, (count + 90) / 91);
    EXPECT_EQ(audio["sync"]["firstFlags"].number, 1);
    EXPECT_EQ(audio["sync"]["flagProblems"].number, 0);
    EXPECT_EQ(audio["sync"]["latencyMismatches"].number, 0);
    // Each packet after the third brings three copies; a deliberately dropped packet's
    // copies are refused until its answer arrives.
    const Json &rt = audio["retransmit"];
    EXPECT_EQ(audio["redundantCopies"].number + rt["refusedCopies"].number, 3 * count - 6);
    EXPECT_EQ(rt["deliberateDrops"].number, 3);
    EXPECT_EQ(rt["asked"].number, 3);
    EXPECT_EQ(rt["answered"].number, 3);
    EXPECT_EQ(rt["unanswered"].number, 0);
    EXPECT_EQ(rt["badAnswers"].number, 0);
    EXPECT_EQ(rt["lateRequests"].number, 1);
    EXPECT_EQ(rt["lateAnswered"].number, 0);
    EXPECT_EQ(sender.answered, 3);
    EXPECT_GE(audio["timing"]["replies"].number, 1);
    EXPECT_EQ(audio["timing"]["transmitSeconds"].text, "stream clock");

    printf("tone: %.2f Hz, %.2f dBFS, SNR %.1f dB\n", audio["tone"]["frequencyHz"].number,
           audio["tone"]["rmsDbfs"].number, audio["tone"]["snrDb"].number);
    // The tone comes through: frequency, level (0.5 amplitude: -9 dBFS) and cleanliness.
    EXPECT_NEAR(audio["tone"]["frequencyHz"].number, 1000, 2);
    EXPECT_NEAR(audio["tone"]["rmsDbfs"].number, -9.03, 1.0);
    EXPECT_GT(audio["tone"]["snrDb"].number, 30);
    EXPECT_FALSE(audio["wav"]["failed"].boolean);
    EXPECT_TRUE(audio["anomalies"].items.empty());

    std::string wav = ReadFileText(receiver.dir + "/heard.wav");
    ASSERT_GE(wav.size(), 44u);
    EXPECT_EQ(wav.compare(0, 4, "RIFF"), 0);
    uint32_t rate, dataBytes;
    memcpy(&rate, wav.data() + 24, 4);
    memcpy(&dataBytes, wav.data() + 40, 4);
    EXPECT_EQ(rate, 44100u);
    EXPECT_EQ(wav[22], 2);
    EXPECT_EQ(dataBytes, (uint32_t)count * 480 * 4);
    EXPECT_EQ(wav.size(), 44u + dataBytes);
    // Recovered packets sit in their place: the middle of the WAV holds the tone, not
    // silence, around each dropped frame.
    for (int dropped : {5, 50, 300}) {
        const int16_t *pcm = (const int16_t *)(wav.data() + 44);
        double energy = 0;
        for (int i = dropped * 480; i < (dropped + 1) * 480; i++)
            energy += (double)pcm[2 * i] * pcm[2 * i];
        EXPECT_GT(std::sqrt(energy / 480) / 32768.0, 0.25) << "frame " << dropped;
    }
}

// Each negotiation step can be refused with 453; the steps before it are answered 200.
TEST_F(ReceiverAudioTest, BusyStepIsRefusedWith453) {
    const char *steps[] = {"OPTIONS", "ANNOUNCE", "SETUP", "RECORD"};
    for (int k = 0; k < 4; k++) {
        SCOPED_TRACE(steps[k]);
        ReceiverProcess busy;
        ASSERT_TRUE(ReceiverStart(&busy, {"--busy-audio", steps[k], "--exit-on-disconnect"}));
        ScriptedSender sender;
        EXPECT_EQ(sender.Negotiate(busy.audioPort), 453);
        close(sender.rtsp);
        sender.rtsp = -1;
        EXPECT_TRUE(ReceiverWaitExit(&busy, 10));
        Json report;
        ASSERT_TRUE(JsonParse(ReadFileText(busy.ReportPath()), &report));
        const Json &audio = report["audio"];
        EXPECT_EQ(audio["rtsp"]["busyRefusals"].number, 1);
        EXPECT_EQ(audio["rtsp"]["requests"].number, k + 1);
        EXPECT_EQ(report["requests"][(size_t)k]["method"].text, steps[k]);
        EXPECT_EQ(report["requests"][(size_t)k]["status"].number, 453);
        ReceiverCleanup(&busy);
    }
}

// With a password every audio request is challenged until the credentials are right; a
// connection once accepted stays accepted, and the answers' headers are read in any case.
TEST_F(ReceiverAudioTest, AudioRequestsAreChallengedUntilTheDigestIsRight) {
    ASSERT_TRUE(ReceiverStart(&receiver, {"--password", "secret", "--exit-on-disconnect"}));
    ScriptedSender sender;
    sender.rtsp = ConnectLocal(receiver.audioPort);
    ASSERT_GE(sender.rtsp, 0);
    std::string head;
    ASSERT_EQ(sender.Request("OPTIONS", "*", {}, "", &head), 401);
    size_t at = head.find("nonce=\"");
    ASSERT_NE(at, std::string::npos) << head;
    std::string nonce = head.substr(at + 7, head.find('"', at + 7) - at - 7);
    auto authorization = [&](const std::string &password) {
        return "Authorization: Digest username=\"iTunes\", realm=\"AirPlay\", nonce=\"" + nonce +
               "\", uri=\"*\", response=\"" +
               DigestResponse("OPTIONS", "*", "AirPlay", "iTunes", password, nonce) + "\"";
    };
    EXPECT_EQ(sender.Request("OPTIONS", "*", {authorization("wrong")}, ""), 401);
    EXPECT_EQ(sender.Request("OPTIONS", "*", {authorization("secret")}, ""), 200);
    EXPECT_EQ(sender.Request("GET_PARAMETER", "rtsp://127.0.0.1/1", {}, ""), 200);
    close(sender.rtsp);
    sender.rtsp = -1;
    Json report;
    ASSERT_TRUE(Report(&report));
    EXPECT_EQ(report["auth"]["accepted"].number, 1);
    EXPECT_EQ(report["auth"]["refused"].number, 1);
    EXPECT_EQ(report["auth"]["user"].text, "iTunes");
    EXPECT_EQ(report["audio"]["rtsp"]["requests"].number, 4);
}

// Junk on every audio port is counted and logged; the stream around it decodes.
TEST_F(ReceiverAudioTest, MalformedAudioInputIsReportedAndTheStreamGoesOn) {
    std::vector<std::vector<uint8_t>> frames = EncodeEld(Tone(440, 0.3, 10 * 480 + 480), nullptr);
    ASSERT_GE(frames.size(), 10u);
    ASSERT_TRUE(ReceiverStart(&receiver, {"--exit-on-disconnect"}));
    ScriptedSender sender;
    ASSERT_EQ(sender.Negotiate(receiver.audioPort), 200);
    int junk = ConnectLocal(receiver.audioPort);
    ASSERT_GE(junk, 0);
    ASSERT_TRUE(SendAll(junk, "GARBAGE\r\n\r\n", 11));
    int status = 0;
    std::string head, body;
    EXPECT_TRUE(ReadResponse(junk, &status, &head, &body));
    EXPECT_EQ(status, 400);
    close(junk);
    for (int i = 0; i < 5; i++)
        sender.SendFrame(frames[i], 0);
    std::vector<uint8_t> rtp97 = {0x80, 0x61, 0, 5, 0, 0, 9, 0x60, 0, 0, 0, 0, 1, 2};
    std::vector<uint8_t> shortAnswer = {0x80, 0xD6, 0x80, 0x60, 0, 2, 0, 0, 3, 0xC0, 0, 0, 0, 0, 1};
    SendTo(sender.data, sender.serverPort, {1, 2, 3});
    SendTo(sender.data, sender.serverPort, rtp97);
    SendTo(sender.data, sender.serverPort, shortAnswer);
    std::vector<uint8_t> shortSync(19, 0);
    shortSync[0] = 0x80;
    shortSync[1] = 0xD4;
    SendTo(sender.control, sender.controlPort, shortSync);
    SendTo(sender.control, sender.controlPort, {0x80, 0xD4, 0, 4});
    SendTo(sender.control, sender.controlPort, {0x80, 0xD7, 0, 0, 0, 0, 0, 0});
    std::vector<uint8_t> timing(32, 0);
    timing[0] = 0x80;
    timing[1] = 0xD3;
    SendTo(sender.timing, sender.timingPort, timing); // echoes nothing the receiver sent
    SendTo(sender.timing, sender.timingPort, std::vector<uint8_t>(31, 0));
    for (int i = 5; i < 10; i++)
        sender.SendFrame(frames[i], 0);
    sender.ServeUntil([] { return false; }, 0.3);
    close(sender.rtsp);
    sender.rtsp = -1;

    Json report;
    ASSERT_TRUE(Report(&report));
    const Json &audio = report["audio"];
    EXPECT_EQ(audio["rtsp"]["badRequests"].number, 1);
    EXPECT_EQ(audio["badPackets"].number, 2);
    EXPECT_EQ(audio["retransmit"]["badAnswers"].number, 1);
    EXPECT_EQ(audio["sync"]["bad"].number, 2);
    EXPECT_EQ(audio["sync"]["unknownControl"].number, 1);
    EXPECT_GE(audio["timing"]["badReplies"].number, 2);
    EXPECT_EQ(audio["frames"].number, 10);
    EXPECT_EQ(audio["framesDecoded"].number, 10);
    EXPECT_EQ(audio["decodeErrors"].number, 0);
    EXPECT_EQ(audio["lost"].number, 0);
    bool named = false;
    for (const Json &text : audio["anomalies"].items)
        named = named || text.text.find("at byte 2") != std::string::npos;
    EXPECT_TRUE(named) << "the answer without its sequence number is named as such";
}

// The receiver can end the audio connection by itself, as a sender must expect.
TEST_F(ReceiverAudioTest, ReceiverClosesTheAudioConnectionWhenAsked) {
    std::vector<std::vector<uint8_t>> frames = EncodeEld(Tone(440, 0.1, 40 * 480 + 480), nullptr);
    ASSERT_GE(frames.size(), 40u);
    ASSERT_TRUE(ReceiverStart(&receiver, {"--close-audio-after-packets", "20"}));
    ScriptedSender sender;
    ASSERT_EQ(sender.Negotiate(receiver.audioPort), 200);
    for (int i = 0; i < 40; i++)
        sender.SendFrame(frames[i], 0);
    bool closed = false;
    for (double deadline = Monotonic() + 5; !closed && Monotonic() < deadline;) {
        pollfd fd = {sender.rtsp, POLLIN, 0};
        char byte;
        closed = poll(&fd, 1, 100) == 1 && recv(sender.rtsp, &byte, 1, 0) == 0;
    }
    EXPECT_TRUE(closed);
    Json report;
    ASSERT_EQ(ReceiverStop(&receiver), 0);
    ASSERT_TRUE(JsonParse(ReadFileText(receiver.ReportPath()), &report));
    EXPECT_EQ(report["audio"]["rtsp"]["closedByReceiver"].number, 1);
}

// The sync measurement end to end: pictures that flash at known stream-clock times and
// clicks 30 ms later on the audio's RTP clock, tied by sync packets. The receiver must find
// every pair and report the offset plus the codec's own delay, which it cannot see.
TEST_F(ReceiverAudioTest, AvSyncOffsetOfFlashesAndClicksIsMeasured) {
    const int pictures = 120, flashes = 4;
    std::vector<uint8_t> luma(pictures, 16);
    for (int k = 0; k < flashes; k++)
        for (int i = 15; i < 18; i++)
            luma[k * 30 + i] = 235;
    TestStream video;
    ASSERT_TRUE(EncodeTestStream(160, 96, pictures, &video, luma));
    const double shift = 0.030;
    const int frames = 4 * 92;
    std::vector<float> sound((size_t)frames * 480 * 2 + 960, 0.0f);
    for (int k = 0; k < flashes; k++) {
        size_t start = (size_t)((k + 0.5 + shift) * 44100);
        for (size_t i = 0; i < 220; i++) // 5 ms at 2 kHz
            sound[2 * (start + i)] = sound[2 * (start + i) + 1] =
                (float)(0.8 * std::sin(2 * M_PI * 2000.0 * (double)i / 44100.0));
    }
    int delay = 0;
    std::vector<std::vector<uint8_t>> encoded = EncodeEld(sound, &delay);
    ASSERT_GE((int)encoded.size(), frames);

    ASSERT_TRUE(ReceiverStart(&receiver, {"--avsync", "--exit-on-disconnect"}));
    int stream = OpenStream(receiver.mirrorPort, BuildSetupPlist());
    ASSERT_GE(stream, 0);
    ScriptedSender sender;
    ASSERT_EQ(sender.Negotiate(receiver.audioPort), 200);
    // Both clocks start at t0 on the stream clock: picture i at t0 + i/30, sample n at
    // t0 + n/44100.
    double t0 = (double)(StreamClockFixed(-1) >> 32);
    PacketGeometry geometry{160, 96, 0, 0, 159, 95};
    std::vector<uint8_t> bytes = BuildPacket(1, video.avcc, (uint64_t)t0 << 32, geometry);
    for (int i = 0; i < pictures; i++) {
        double at = t0 + i / 30.0;
        uint64_t fixed = ((uint64_t)at << 32) | (uint64_t)((at - std::floor(at)) * 4294967296.0);
        std::vector<uint8_t> packet = BuildPacket(0, video.pictures[i], fixed, geometry);
        bytes.insert(bytes.end(), packet.begin(), packet.end());
    }
    ASSERT_TRUE(SendAll(stream, bytes.data(), bytes.size()));
    double start = Monotonic();
    for (int i = 0; i < frames; i++) {
        sender.SendFrame(encoded[i], t0 + i * 480 / 44100.0);
        PaceFrame(start, i);
    }
    sender.ServeUntil([] { return false; }, 0.3); // let the last datagrams land
    close(stream);
    close(sender.rtsp);
    sender.rtsp = -1;

    Json report;
    ASSERT_TRUE(Report(&report));
    const Json &sync = report["audio"]["avsync"];
    EXPECT_EQ(report["framesDecoded"].number, pictures);
    EXPECT_EQ(report["audio"]["decodeErrors"].number, 0);
    EXPECT_EQ(sync["flashes"].number, flashes);
    EXPECT_EQ(sync["clicks"].number, flashes);
    EXPECT_EQ(sync["pairs"].number, flashes);
    double expected = (shift + delay / 44100.0) * 1e3;
    EXPECT_NEAR(sync["offsetMs"]["p50"].number, expected, 3) << "codec delay " << delay;
    EXPECT_NEAR(sync["offsetMs"]["min"].number, expected, 3);
    EXPECT_NEAR(sync["offsetMs"]["max"].number, expected, 3);
    printf("A/V offset p50 %.2f ms, expected %.2f ms\n", sync["offsetMs"]["p50"].number, expected);
}

} // namespace
