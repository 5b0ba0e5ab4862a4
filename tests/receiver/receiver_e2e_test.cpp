// The receiver as a process: HTTP through curl, streams from an independent test
// sender built on libx264, and the report, picture and recording it leaves behind.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "tests/receiver/test_support.h"

namespace {

class ReceiverProcessTest : public ::testing::Test {
  protected:
    ReceiverProcess receiver;
    void TearDown() override { ReceiverCleanup(&receiver, HasFailure()); }
    bool StopAndReadReport(Json *report, int signal = SIGTERM) {
        int status = ReceiverStop(&receiver, signal);
        EXPECT_EQ(status, 0);
        std::string text = ReadFileText(receiver.ReportPath());
        bool parsed = JsonParse(text, report);
        EXPECT_TRUE(parsed) << text;
        return parsed;
    }
    std::string Curl(const std::string &arguments, int port, const std::string &path, int *code) {
        int exitCode = -1;
        std::string out =
            RunCommand("curl -s --max-time 10 -o '" + receiver.dir + "/body' -w '%{http_code}' " +
                           arguments + " http://127.0.0.1:" + std::to_string(port) + path,
                       &exitCode);
        *code = atoi(out.c_str());
        EXPECT_EQ(exitCode, 0) << out;
        return ReadFileText(receiver.dir + "/body");
    }
};

// Sends bytes in pieces of varying size, so that headers and payloads straddle reads.
bool SendInPieces(int fd, const std::vector<uint8_t> &bytes, unsigned seed) {
    size_t position = 0;
    while (position < bytes.size()) {
        seed = seed * 1103515245 + 12345;
        size_t piece = 1 + (seed >> 16) % 3000;
        if (piece > bytes.size() - position) piece = bytes.size() - position;
        if (!SendAll(fd, bytes.data() + position, piece)) return false;
        position += piece;
        if ((seed >> 8) % 7 == 0) usleep(1000);
    }
    return true;
}

int CountContainerPictures(const std::string &path, int *width, int *height) {
    AVFormatContext *format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return -1;
    if (avformat_find_stream_info(format, nullptr) < 0) {
        avformat_close_input(&format);
        return -1;
    }
    *width = format->streams[0]->codecpar->width;
    *height = format->streams[0]->codecpar->height;
    AVPacket *packet = av_packet_alloc();
    int count = 0;
    while (av_read_frame(format, packet) >= 0) {
        count++;
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    return count;
}

TEST_F(ReceiverProcessTest, ScreenDescriptionCarriesTheConfiguredSize) {
    ASSERT_TRUE(ReceiverStart(&receiver, {"--width", "1280", "--height", "720", "--overscanned"}));
    int code = 0;
    std::string body = Curl("", receiver.mirrorPort, "/stream.xml", &code);
    EXPECT_EQ(code, 200);
    EXPECT_NE(body.find("<key>width</key>\n\t<integer>1280</integer>"), std::string::npos) << body;
    EXPECT_NE(body.find("<key>height</key>\n\t<integer>720</integer>"), std::string::npos) << body;
    EXPECT_NE(body.find("<key>overscanned</key>\n\t<true/>"), std::string::npos) << body;
    // The first port answers the same request.
    body = Curl("", receiver.httpPort, "/stream.xml", &code);
    EXPECT_EQ(code, 200);
    EXPECT_NE(body.find("<integer>1280</integer>"), std::string::npos);
    Curl("-H 'X-Twice: one' -H 'x-twice: two'", receiver.mirrorPort, "/nothing", &code);
    EXPECT_EQ(code, 404);
    Json report;
    ASSERT_TRUE(StopAndReadReport(&report));
    EXPECT_EQ(report["streamXmlServed"].number, 2);
    EXPECT_EQ(report["notFound"].number, 1);
    // Every request is listed with its headers; a repeated header is not lost.
    ASSERT_EQ(report["requests"].items.size(), 3u);
    const Json &last = report["requests"][2];
    EXPECT_EQ(last["uri"].text, "/nothing");
    EXPECT_EQ(last["status"].number, 404);
    EXPECT_EQ(last["headers"]["X-Twice"].text, "one");
    EXPECT_EQ(last["headers"]["x-twice#2"].text, "two");
    EXPECT_EQ(report["auth"]["result"].text, "none");
}

TEST_F(ReceiverProcessTest, ScreenDescriptionFromAFileAndOverscanForms) {
    ASSERT_TRUE(ReceiverStart(&receiver, {"--overscanned", "--overscan-form", "integer",
                                          "--refresh-rate", "50", "--version-string", "9.9"}));
    int code = 0;
    std::string body = Curl("", receiver.mirrorPort, "/stream.xml", &code);
    EXPECT_NE(body.find("<key>overscanned</key>\n\t<integer>1</integer>"), std::string::npos)
        << body;
    EXPECT_NE(body.find("<real>0.02</real>"), std::string::npos) << body;
    EXPECT_NE(body.find("<string>9.9</string>"), std::string::npos) << body;
    ReceiverCleanup(&receiver);

    receiver = ReceiverProcess();
    char pattern[] = "/tmp/ostrel-rx-xml-XXXXXX";
    int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    const char custom[] = "not a property list";
    ASSERT_EQ(write(fd, custom, sizeof custom - 1), (ssize_t)(sizeof custom - 1));
    close(fd);
    bool started = ReceiverStart(&receiver, {"--stream-xml", pattern});
    if (started) body = Curl("", receiver.mirrorPort, "/stream.xml", &code);
    unlink(pattern);
    ASSERT_TRUE(started);
    EXPECT_EQ(code, 200);
    EXPECT_EQ(body, custom);
}

TEST_F(ReceiverProcessTest, BadOptionsAndTakenPortsFailAtStart) {
    int code = 0;
    RunCommand(std::string(RECEIVER_BINARY) + " --width 0 2>/dev/null", &code);
    EXPECT_EQ(code, 2);
    RunCommand(std::string(RECEIVER_BINARY) + " --no-such-option 2>/dev/null", &code);
    EXPECT_EQ(code, 2);
    ASSERT_TRUE(ReceiverStart(&receiver, {}));
    std::string command = std::string(RECEIVER_BINARY) + " --bind 127.0.0.1 --http-port " +
                          std::to_string(receiver.httpPort) + " --mirror-port 0 --duration 2 2>&1";
    std::string out = RunCommand(command, &code);
    EXPECT_EQ(code, 1);
    EXPECT_NE(out.find("Cannot listen on 127.0.0.1:" + std::to_string(receiver.httpPort)),
              std::string::npos)
        << out;
}

TEST_F(ReceiverProcessTest, DigestPasswordIsChallengedAndChecked) {
    ASSERT_TRUE(ReceiverStart(&receiver, {"--password", "s3cret"}));
    int code = 0;
    Curl("", receiver.mirrorPort, "/stream.xml", &code);
    EXPECT_EQ(code, 401);
    std::string headers = RunCommand("curl -s --max-time 10 -D - -o /dev/null http://127.0.0.1:" +
                                         std::to_string(receiver.mirrorPort) + "/stream.xml",
                                     &code);
    EXPECT_NE(headers.find("WWW-Authenticate: Digest realm=\"AirPlay\", nonce=\""),
              std::string::npos)
        << headers;
    Curl("--digest -u iTunes:wrong", receiver.mirrorPort, "/stream.xml", &code);
    EXPECT_EQ(code, 401);
    std::string body = Curl("--digest -u iTunes:s3cret", receiver.mirrorPort, "/stream.xml", &code);
    EXPECT_EQ(code, 200);
    EXPECT_NE(body.find("<key>width</key>"), std::string::npos);
    Json report;
    ASSERT_TRUE(StopAndReadReport(&report));
    EXPECT_EQ(report["auth"]["accepted"].number, 1);
    EXPECT_EQ(report["auth"]["refused"].number, 1);
    EXPECT_EQ(report["auth"]["result"].text, "accepted");
    EXPECT_EQ(report["auth"]["user"].text, "iTunes");
    EXPECT_EQ(report["streamXmlServed"].number, 1);
}

TEST_F(ReceiverProcessTest, BusyReceiverAnswers453) {
    ASSERT_TRUE(ReceiverStart(&receiver, {"--busy"}));
    int code = 0;
    Curl("", receiver.mirrorPort, "/stream.xml", &code);
    EXPECT_EQ(code, 453);
    Json report;
    ASSERT_TRUE(StopAndReadReport(&report, SIGINT)); // Ctrl-C ends a run as cleanly
    EXPECT_EQ(report["busyRefusals"].number, 1);
    EXPECT_EQ(report["streamXmlServed"].number, 0);
}

// Commands on the control socket change a running receiver: busy from one request to the
// next, and "close" ends a connection that is open and idle at that moment.
TEST_F(ReceiverProcessTest, ControlSocketSwitchesBusyAndClosesConnections) {
    ASSERT_TRUE(ReceiverStart(&receiver, {"--control", "@DIR@/control"}));
    auto command = [&](const std::string &text) {
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s/control", receiver.dir.c_str());
        ssize_t sent =
            sendto(fd, text.data(), text.size(), 0, (sockaddr *)&address, sizeof address);
        close(fd);
        return sent == (ssize_t)text.size();
    };
    int code = 0;
    ASSERT_TRUE(command("busy on"));
    ASSERT_TRUE(ReceiverWaitForLog(&receiver, "Control: busy on", 1, 10));
    Curl("", receiver.mirrorPort, "/stream.xml", &code);
    EXPECT_EQ(code, 453);
    ASSERT_TRUE(command("busy off"));
    ASSERT_TRUE(ReceiverWaitForLog(&receiver, "Control: busy off", 1, 10));
    Curl("", receiver.mirrorPort, "/stream.xml", &code);
    EXPECT_EQ(code, 200);

    int fd = ConnectLocal(receiver.mirrorPort);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(ReceiverWaitForLog(&receiver, "connection accepted on the mirroring port", 3, 10));
    ASSERT_TRUE(command("close"));
    timeval wait{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0); // the receiver's end closed, within the bound
    close(fd);
    EXPECT_TRUE(command("nonsense"));
    EXPECT_TRUE(
        ReceiverWaitForLog(&receiver, "Control: unknown command \"nonsense\" ignored", 1, 10));
    Json report;
    ASSERT_TRUE(StopAndReadReport(&report));
    EXPECT_EQ(report["busyRefusals"].number, 1);
    EXPECT_EQ(report["streamXmlServed"].number, 1);
    EXPECT_EQ(access((receiver.dir + "/control").c_str(), F_OK), -1); // removed at exit
}

TEST_F(ReceiverProcessTest, RealStreamDecodesCleanlyAndIsCountedExactly) {
    const int width = 320, height = 240, pictures = 30;
    TestStream stream;
    ASSERT_TRUE(EncodeTestStream(width, height, pictures, &stream));
    int timingPort = 0;
    TimingServer *timing = TimingServerStart(2.5, &timingPort);
    ASSERT_NE(timing, nullptr);
    ASSERT_TRUE(
        ReceiverStart(&receiver, {"--ntp-port", std::to_string(timingPort), "--exit-on-disconnect",
                                  "--png", "@DIR@/last.png", "--record", "@DIR@/stream.h264"}));
    // A sender touches the first port once and drops it.
    int touch = ConnectLocal(receiver.httpPort);
    ASSERT_GE(touch, 0);
    close(touch);
    int fd = OpenStream(receiver.mirrorPort, BuildSetupPlist());
    ASSERT_GE(fd, 0);
    PacketGeometry geometry{(float)width, (float)height, 0, 0, width - 1.0f, height - 1.0f};
    std::vector<uint8_t> bytes = BuildPacket(1, stream.avcc, StreamClockFixed(-0.2), geometry);
    for (int i = 0; i < pictures; i++) {
        std::vector<uint8_t> packet =
            BuildPacket(0, stream.pictures[i], StreamClockFixed(-0.2), geometry);
        bytes.insert(bytes.end(), packet.begin(), packet.end());
        if (i % 10 == 9) {
            std::vector<uint8_t> heartbeat = BuildHeartbeat();
            bytes.insert(bytes.end(), heartbeat.begin(), heartbeat.end());
        }
    }
    ASSERT_TRUE(SendInPieces(fd, bytes, 7));
    // Stay connected for three timing requests (one at once, then one a second); by the
    // third, the receiver has long had the first two replies.
    for (int wait = 0; wait < 200 && TimingServerAnswered(timing) < 3; wait++)
        usleep(50 * 1000);
    close(fd);
    ASSERT_TRUE(ReceiverWaitExit(&receiver, 10))
        << "the receiver did not stop after the sender left";
    EXPECT_EQ(receiver.exitStatus, 0);
    int requests = 0, wellFormed = 0;
    TimingServerStop(timing, &requests, &wellFormed);
    EXPECT_GE(requests, 3);
    EXPECT_EQ(requests, wellFormed);

    Json report;
    ASSERT_TRUE(JsonParse(ReadFileText(receiver.ReportPath()), &report));
    EXPECT_TRUE(report["postStream"]["ok"].boolean);
    EXPECT_EQ(report["postStream"]["bodyLength"].number, 273);
    EXPECT_EQ(report["senderHeaders"]["checked"].number, 2);
    EXPECT_TRUE(report["senderHeaders"]["ok"].boolean);
    EXPECT_EQ(report["packets"]["video"].number, pictures);
    EXPECT_EQ(report["packets"]["codec"].number, 1);
    EXPECT_EQ(report["packets"]["heartbeat"].number, 3);
    EXPECT_EQ(report["packets"]["total"].number, pictures + 4);
    EXPECT_EQ(report["packets"]["headerAnomalies"].number, 0);
    std::string sequence = "C";
    for (int i = 0; i < pictures; i++)
        sequence += i % 10 == 9 ? "VH" : "V";
    EXPECT_EQ(report["packetSequence"].text, sequence);
    EXPECT_EQ(report["timestampRegressions"].number, 0);
    EXPECT_GE(report["heartbeatTiming"]["firstAfterSeconds"].number, 0);
    EXPECT_GE(report["heartbeatTiming"]["minGapSeconds"].number, 0);
    EXPECT_EQ(report["framesDecoded"].number, pictures);
    EXPECT_EQ(report["decodeErrors"].number, 0);
    EXPECT_EQ(report["sizeMismatches"].number, 0);
    EXPECT_EQ(report["decodedSize"]["width"].number, width);
    EXPECT_EQ(report["decodedSize"]["height"].number, height);
    EXPECT_EQ(report["lastVideoGeometry"]["right"].number, width - 1);
    EXPECT_EQ(report["lastVideoGeometry"]["bottom"].number, height - 1);
    EXPECT_EQ(report["avc"]["profile"].number, stream.avcc[1]);
    EXPECT_EQ(report["avc"]["level"].number, stream.avcc[3]);
    // Stamped 200 ms in the past, so the latency is at least that; the upper
    // bound only rules out a misread fixed-point timestamp.
    EXPECT_EQ(report["latencyMs"]["count"].number, pictures);
    EXPECT_GE(report["latencyMs"]["min"].number, 199);
    EXPECT_LT(report["latencyMs"]["max"].number, 5000);
    EXPECT_LE(report["latencyMs"]["p50"].number, report["latencyMs"]["p99"].number);
    EXPECT_GE(report["ntp"]["replies"].number, 2);
    EXPECT_EQ(report["ntp"]["badReplies"].number, 0);
    EXPECT_EQ(report["ntp"]["refid"].text, "TEST");
    EXPECT_NEAR(report["ntp"]["offsetMs"]["p50"].number, 2500, 100);
    EXPECT_GE(report["ntp"]["roundTripMs"]["min"].number, 0);
    // The sender's clock runs 2.5 s ahead; corrected, the latency is 200 ms plus transfer again.
    EXPECT_NEAR(report["latencyCorrectedMs"]["min"].number,
                report["latencyMs"]["min"].number + report["ntp"]["offsetMs"]["p50"].number, 0.01);
    EXPECT_EQ(report["connections"]["withoutRequest"].number, 1);

    int pngWidth = 0, pngHeight = 0;
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(ReadPng(receiver.dir + "/last.png", &pngWidth, &pngHeight, &rgb));
    EXPECT_EQ(pngWidth, width);
    EXPECT_EQ(pngHeight, height);
    // Upper half red, lower half blue (sampled away from the moving bar).
    const uint8_t *upper = &rgb[((height / 4) * width + width - 8) * 3];
    const uint8_t *lower = &rgb[((3 * height / 4) * width + width - 8) * 3];
    EXPECT_GT(upper[0], 180);
    EXPECT_LT(upper[1], 90);
    EXPECT_LT(upper[2], 90);
    EXPECT_LT(lower[0], 90);
    EXPECT_LT(lower[1], 90);
    EXPECT_GT(lower[2], 160);

    int recordedWidth = 0, recordedHeight = 0;
    EXPECT_EQ(
        CountContainerPictures(receiver.dir + "/stream.h264", &recordedWidth, &recordedHeight),
        pictures);
    EXPECT_EQ(recordedWidth, width);
}

// An independent NTP server as the sender's timing peer: it must accept the
// receiver's requests, and the offset must come out as the distance between its
// 1900-based clock and the stream clock.
TEST_F(ReceiverProcessTest, TimingRequestsAreAnsweredByAStandardNtpServer) {
    int code = 0;
    std::string chronyd = RunCommand("command -v chronyd", &code);
    if (code != 0) GTEST_SKIP() << "chronyd is not installed";
    while (!chronyd.empty() && chronyd.back() == '\n')
        chronyd.pop_back();
    ASSERT_TRUE(ReceiverStart(&receiver, {}));
    int ntpPort = FreeUdpPort();
    ASSERT_GT(ntpPort, 0);
    std::string config = receiver.dir + "/chrony.conf";
    FILE *file = fopen(config.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fprintf(file,
            "port %d\nbindaddress 127.0.0.1\nallow 127.0.0.1\nlocal stratum 8\ncmdport 0\n"
            "pidfile %s/chronyd.pid\n",
            ntpPort, receiver.dir.c_str());
    fclose(file);
    std::string serverLog = receiver.dir + "/chronyd.log";
    pid_t server =
        SpawnChild({chronyd, "-d", "-x", "-u", "root", "-f", config}, {serverLog, serverLog});
    ASSERT_GT(server, 0);
    ReceiverStop(&receiver);
    receiver = ReceiverProcess();
    bool started = ReceiverStart(&receiver, {"--ntp-port", std::to_string(ntpPort)});
    int fd = started ? OpenStream(receiver.mirrorPort, BuildSetupPlist()) : -1;
    // Requests go once a second; two answered ones are enough to judge.
    bool answered = fd >= 0 && ReceiverWaitForLog(&receiver, "Timing: reply,", 2, 20);
    if (fd >= 0) close(fd);
    Json report;
    bool haveReport = started && StopAndReadReport(&report);
    EndChild(server);
    ASSERT_TRUE(started);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(answered) << ReadFileText(receiver.LogPath());
    ASSERT_TRUE(haveReport);
    EXPECT_GE(report["ntp"]["requests"].number, 2);
    EXPECT_GE(report["ntp"]["replies"].number, 1) << ReadFileText(serverLog);
    EXPECT_EQ(report["ntp"]["badReplies"].number, 0);
    EXPECT_EQ(report["ntp"]["stratum"].number, 8);
    const double epochDistanceMs = (2208988800.0 + 1329095810.0) * 1000;
    EXPECT_NEAR(report["ntp"]["offsetMs"]["p50"].number, epochDistanceMs, 2000);
    EXPECT_LT(report["ntp"]["roundTripMs"]["max"].number, 1000);
}

TEST_F(ReceiverProcessTest, CodecChangeMidStreamAndMp4Recording) {
    TestStream first, second;
    ASSERT_TRUE(EncodeTestStream(320, 240, 10, &first));
    ASSERT_TRUE(EncodeTestStream(176, 144, 10, &second));
    ASSERT_TRUE(ReceiverStart(&receiver, {"--record", "@DIR@/stream.mp4"}));
    int fd = OpenStream(receiver.mirrorPort, BuildSetupPlist());
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> bytes;
    for (const TestStream *part : {&first, &second}) {
        PacketGeometry geometry{320, 240, 0, 0, 319, 239};
        // The second part is stamped a second back: one step back in time.
        double shift = part == &first ? 0 : -1;
        std::vector<uint8_t> codec = BuildPacket(1, part->avcc, StreamClockFixed(shift), geometry);
        bytes.insert(bytes.end(), codec.begin(), codec.end());
        for (auto &picture : part->pictures) {
            std::vector<uint8_t> packet =
                BuildPacket(0, picture, StreamClockFixed(shift), geometry);
            bytes.insert(bytes.end(), packet.begin(), packet.end());
        }
    }
    ASSERT_TRUE(SendAll(fd, bytes.data(), bytes.size()));
    close(fd);
    // Every packet is in once the receiver has seen the connection end.
    ASSERT_TRUE(ReceiverWaitForLog(&receiver, "connection ended (", 1, 10));
    Json report;
    ASSERT_TRUE(StopAndReadReport(&report));
    EXPECT_EQ(report["packets"]["codec"].number, 2);
    EXPECT_EQ(report["timestampRegressions"].number, 1);
    EXPECT_TRUE(report["heartbeatTiming"]["firstAfterSeconds"].kind == Json::kNull);
    EXPECT_EQ(report["framesDecoded"].number, 20);
    EXPECT_EQ(report["decodeErrors"].number, 0);
    EXPECT_EQ(report["decodedSize"]["width"].number, 176);
    EXPECT_EQ(report["decodedSize"]["height"].number, 144);
    // The second part's headers still announce 320x240.
    EXPECT_EQ(report["sizeMismatches"].number, 10);
    EXPECT_EQ(report["record"]["pictures"].number, 20);
    int recordedWidth = 0, recordedHeight = 0;
    EXPECT_EQ(CountContainerPictures(receiver.dir + "/stream.mp4", &recordedWidth, &recordedHeight),
              20);
    EXPECT_EQ(recordedWidth, 320); // the recording keeps its first codec record
}

TEST_F(ReceiverProcessTest, MalformedPacketsAreReportedAndTheReceiverCarriesOn) {
    TestStream stream;
    ASSERT_TRUE(EncodeTestStream(160, 128, 2, &stream));
    ASSERT_TRUE(ReceiverStart(&receiver, {"--png", "@DIR@/none.png"}));
    int fd = OpenStream(receiver.mirrorPort, BuildSetupPlist({{"sessionId", "123456789"}}),
                        "0x0123456789AB");
    ASSERT_GE(fd, 0);
    PacketGeometry geometry{160, 128, 0, 0, 159, 127};
    std::vector<uint8_t> bytes;
    auto append = [&](const std::vector<uint8_t> &packet) {
        bytes.insert(bytes.end(), packet.begin(), packet.end());
    };
    append(BuildPacket(7, {1, 2, 3, 4, 5}, StreamClockFixed(0), geometry)); // unknown type
    append(BuildPacket(0, {0, 0, 0, 50, 0x65, 1, 2}, StreamClockFixed(0), geometry)); // overrun
    append(BuildPacket(1, {1, 0x64, 0, 0x1f, 0xff, 0xe1, 0, 40}, StreamClockFixed(0), geometry));
    std::vector<uint8_t> heartbeat = BuildHeartbeat();
    heartbeat[6] = 31;
    append(heartbeat);
    std::vector<uint8_t> huge = BuildHeartbeat();
    huge[0] = huge[1] = huge[2] = 0xff;
    huge[3] = 0x7f;
    append(huge);
    ASSERT_TRUE(SendAll(fd, bytes.data(), bytes.size()));
    // The receiver drops a connection whose framing it cannot follow.
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0);
    close(fd);
    // Garbage HTTP gets a 400 and does not disturb the next client.
    int garbage = ConnectLocal(receiver.mirrorPort);
    ASSERT_GE(garbage, 0);
    const char junk[] = "\x16\x03\x01 hello\r\n\r\n";
    ASSERT_TRUE(SendAll(garbage, junk, sizeof junk - 1));
    int status = 0;
    std::string head, body;
    EXPECT_TRUE(ReadResponse(garbage, &status, &head, &body));
    EXPECT_EQ(status, 400);
    close(garbage);
    ASSERT_TRUE(ReceiverAlive(&receiver));
    int code = 0;
    Curl("", receiver.mirrorPort, "/stream.xml", &code);
    EXPECT_EQ(code, 200);

    Json report;
    ASSERT_TRUE(StopAndReadReport(&report));
    EXPECT_FALSE(report["postStream"]["ok"].boolean);
    ASSERT_EQ(report["postStream"]["problems"].items.size(), 1u);
    EXPECT_NE(report["postStream"]["problems"][0].text.find("sessionId"), std::string::npos);
    // Upper-case digits in the device id, on both requests; curl's request later
    // lacks the sender's headers altogether.
    EXPECT_FALSE(report["senderHeaders"]["ok"].boolean);
    int deviceIdProblems = 0, missingRmodel = 0;
    for (auto &problem : report["senderHeaders"]["problems"].items) {
        deviceIdProblems += problem.text.find("\"0x0123456789AB\"") != std::string::npos;
        missingRmodel += problem.text.find("no rmodel header") != std::string::npos;
    }
    EXPECT_EQ(deviceIdProblems, 2);
    EXPECT_EQ(missingRmodel, 1);
    EXPECT_EQ(report["packets"]["unknown"].number, 1);
    EXPECT_EQ(report["packets"]["badVideoPayloads"].number, 1);
    EXPECT_EQ(report["packets"]["badCodecPayloads"].number, 1);
    EXPECT_EQ(report["packets"]["picturesBeforeCodec"].number, 1);
    EXPECT_EQ(report["packets"]["oversized"].number, 1);
    EXPECT_EQ(report["packets"]["headerAnomalies"].number, 2); // unknown type, heartbeat form
    EXPECT_EQ(report["packets"]["heartbeat"].number, 1);
    EXPECT_EQ(report["badRequests"].number, 1);
    EXPECT_EQ(report["framesDecoded"].number, 0);
    EXPECT_FALSE(report["png"]["written"].boolean);
    EXPECT_FALSE(report["anomalies"].items.empty());
}

TEST_F(ReceiverProcessTest, APeerThatNeverReadsIsDroppedWithoutHarm) {
    ASSERT_TRUE(ReceiverStart(&receiver, {}));
    int fd = ConnectLocal(receiver.mirrorPort);
    ASSERT_GE(fd, 0);
    std::string requests;
    for (int i = 0; i < 20000; i++)
        requests += "GET /stream.xml HTTP/1.1\r\n\r\n";
    SendAll(fd, requests.data(), requests.size()); // may fail once the receiver gives up
    // Stay connected, reading nothing, until the receiver gives up on this peer.
    for (int wait = 0; wait < 100; wait++) {
        if (ReadFileText(receiver.LogPath()).find("does not read its responses") !=
            std::string::npos)
            break;
        usleep(50 * 1000);
    }
    close(fd);
    int code = 0;
    Curl("", receiver.mirrorPort, "/stream.xml", &code);
    EXPECT_EQ(code, 200);
    Json report;
    ASSERT_TRUE(StopAndReadReport(&report));
    EXPECT_LT(report["streamXmlServed"].number, 20000);
    EXPECT_NE(ReadFileText(receiver.LogPath()).find("does not read its responses"),
              std::string::npos);
}

TEST_F(ReceiverProcessTest, DurationEndsTheRunAndCloseAfterPacketsDropsTheSender) {
    TestStream stream;
    ASSERT_TRUE(EncodeTestStream(160, 128, 5, &stream));
    ASSERT_TRUE(ReceiverStart(&receiver, {"--duration", "3", "--close-after-packets", "3"}));
    int fd = OpenStream(receiver.mirrorPort, BuildSetupPlist());
    ASSERT_GE(fd, 0);
    PacketGeometry geometry{160, 128, 0, 0, 159, 127};
    std::vector<uint8_t> bytes = BuildPacket(1, stream.avcc, StreamClockFixed(0), geometry);
    for (auto &picture : stream.pictures) {
        std::vector<uint8_t> packet = BuildPacket(0, picture, StreamClockFixed(0), geometry);
        bytes.insert(bytes.end(), packet.begin(), packet.end());
    }
    ASSERT_TRUE(SendAll(fd, bytes.data(), bytes.size()));
    char byte;
    EXPECT_LE(recv(fd, &byte, 1, 0), 0);
    close(fd);
    ASSERT_TRUE(ReceiverWaitExit(&receiver, 8));
    EXPECT_EQ(receiver.exitStatus, 0);
    Json report;
    ASSERT_TRUE(JsonParse(ReadFileText(receiver.ReportPath()), &report));
    EXPECT_EQ(report["packets"]["total"].number, 3);
    EXPECT_EQ(report["framesDecoded"].number, 2);
    EXPECT_GE(report["durationSeconds"].number, 2.9);
}

} // namespace
