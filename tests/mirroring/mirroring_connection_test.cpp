// The mirroring connection end to end against the project's own receiver, in a private
// network namespace (the ports 7000, 7100 and 7010 are fixed).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <regex>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/event.h"
#include "fake_capture.h"
#include "mirroring/mirroring_connection.h"
#include "mirroring/ntpd.h"
#include "plist/cfvalue.h"
#include "test_support.h"
#include "tests/support/wait.h"

namespace {

struct FakeController {
    std::atomic<int> disconnected{0};
    std::atomic<int> deviceInUse{0};
    std::atomic<int> passwordRequests{0};
    std::atomic<int> passwordChanges{0};
    std::atomic<int> starts{0};
    std::string password;           // given when asked
    std::string firstPassword;      // given instead at the first request, when set
    std::atomic<int> lastRetried{-1};
    CFValue *stored = nullptr;      // handed out by the stored-password query
    std::string changedTo;
};

FakeController *ControllerOf(MirroringConnection *c) { return (FakeController *)c->user; }

const MirroringControllerOps kControllerOps = {
    .onStart = [](void *, MirroringConnection *c) { ControllerOf(c)->starts++; },
    .onDisconnected = [](void *user, MirroringConnection *) {
        ((FakeController *)user)->disconnected++;
    },
    .onPasswordRequired =
        [](void *, MirroringConnection *c, SocketSet *, int retried) {
            FakeController *f = ControllerOf(c);
            f->lastRetried = retried;
            const std::string &give =
                f->passwordRequests++ == 0 && !f->firstPassword.empty() ? f->firstPassword
                                                                         : f->password;
            if (!give.empty()) SetConnectionPassword(c, give.c_str());
        },
    .onPasswordChanged =
        [](void *, MirroringConnection *c, CFValue *password) {
            ControllerOf(c)->changedTo = CFStringText(password);
            ControllerOf(c)->passwordChanges++;
        },
    .onStoredPasswordQuery =
        [](void *, MirroringConnection *c, CFValue **out, void *) {
            FakeController *f = ControllerOf(c);
            if (f->stored) *out = CFValueRetain(f->stored);
        },
    .onDeviceInUse = [](void *, MirroringConnection *c) { ControllerOf(c)->deviceInUse++; },
};

long JsonNumber(const std::string &json, const std::string &pattern) {
    std::smatch m;
    if (!std::regex_search(json, m, std::regex(pattern + "\\s*(-?[0-9]+)"))) return -1;
    return std::stol(m[1].str());
}

// The receiver report's lastVideoGeometry object, or "" when it has none.
static std::string LastVideoGeometry(const std::string &report) {
    std::smatch m;
    if (!std::regex_search(report, m, std::regex("\"lastVideoGeometry\": (\\{[^}]*\\})")))
        return "";
    return m[1].str();
}

class Receiver {
  public:
    bool Start(const std::string &dir, std::vector<std::string> args) {
        report = dir + "/report.json";
        std::string ports = dir + "/ports";
        std::vector<std::string> argv = {OSTREL_RECEIVER, "--bind", "127.0.0.1", "--report",
                                         report, "--port-file", ports, "--exit-on-disconnect",
                                         "--duration", "60"};
        argv.insert(argv.end(), args.begin(), args.end());
        child = StartChild(argv);
        return child.pid > 0 && WaitForFileText(ports, "mirror", 10000);
    }
    // Waits for the receiver to leave (it does once the sender is gone) and reads its report.
    std::string Finish() {
        ChildResult r = StopChild(child, 0, 5000);
        log = r.err + r.out;
        return ReadFileText(report);
    }
    ~Receiver() {
        if (child.pid > 0) StopChild(child, SIGTERM, 5000);
    }
    Child child;
    std::string report;
    std::string log;
};

class MirroringConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!EnterPrivateNetwork()) GTEST_SKIP() << "needs CAP_SYS_ADMIN for a network namespace";
        char tmpl[] = "/tmp/ostrel-mirror-XXXXXX";
        dir = mkdtemp(tmpl);
        FakeCaptureInstallFrameHandler();
        host = CFStringFromBytes("127.0.0.1", 0);
        deviceId = CFStringFromBytes("0x0a1b2c3d4e5f", 0);
    }
    void TearDown() override {
        if (connection) FreeMirroringConnection(connection);
        NtpdStop(NtpdVideo());
        CFValueRelease(host);
        CFValueRelease(deviceId);
        CFValueRelease(controller.stored);
        if (!dir.empty()) {
            std::string cmd = "rm -rf '" + dir + "'";
            EXPECT_EQ(0, system(cmd.c_str()));
        }
    }
    void Connect() {
        connection = StartMirroringConnection(host, 0, 3, 0, 0, &kFakeCaptureOps, &capture, 0,
                                              deviceId, &kControllerOps, &controller, nullptr);
        ASSERT_NE(nullptr, connection);
        EXPECT_EQ(1, controller.starts.load());
        EXPECT_EQ(connection, CurrentMirroringConnection());
    }
    bool WaitForStreaming(int pictures) {
        return WaitUntil([&] { return connection->state.load() == kMirroringStreaming; }, 10000) &&
               WaitUntil([&] { return capture.picturesEncoded.load() >= pictures; }, 15000);
    }
    bool WaitForDisconnect() {
        return WaitUntil([&] { return controller.disconnected.load() > 0; }, 15000);
    }

    LogCapture log;
    std::string dir;
    CFValue *host = nullptr;
    CFValue *deviceId = nullptr;
    FakeCapture capture;
    FakeController controller;
    MirroringConnection *connection = nullptr;
};

TEST_F(MirroringConnectionTest, StreamsDecodablePicturesAndStopsCleanly) {
    Receiver rx;
    ASSERT_TRUE(rx.Start(dir, {"--width", "1280", "--height", "720"}));
    Connect();
    ASSERT_TRUE(WaitForStreaming(60)) << log.Text();
    EXPECT_EQ(1280, capture.receiverWidth);
    EXPECT_EQ(720, capture.targetHeight);
    StopMirroringConnection(connection);
    EXPECT_EQ(kMirroringIdle, connection->state.load());
    EXPECT_EQ(kMirroringNoFailure, connection->failure.load());
    EXPECT_EQ(0, connection->established.load());
    EXPECT_EQ(1, controller.disconnected.load());
    EXPECT_EQ(1, capture.starts.load());
    EXPECT_EQ(1, capture.stops.load());
    EXPECT_FALSE(NtpdIsRunning(NtpdVideo()));
    // A second stop changes nothing and reports nothing twice.
    StopMirroringConnection(connection);
    EXPECT_EQ(1, controller.disconnected.load());

    std::string report = rx.Finish();
    ASSERT_FALSE(report.empty()) << rx.log;
    // Both requests with their headers in order, the device id among them.
    EXPECT_NE(std::string::npos,
              report.find("\"method\": \"GET\", \"uri\": \"/stream.xml\", \"status\": 200, "
                          "\"headers\": {\"rmodel\": \"PC1,1\", \"X-Apple-ProtocolVersion\": \"1\", "
                          "\"User-Agent\": \"Ostrel/1.1\", \"x-apple-device-id\": \"0x0a1b2c3d4e5f\", "
                          "\"Content-Length\": \"0\"}"))
        << report;
    EXPECT_NE(std::string::npos,
              report.find("\"method\": \"POST\", \"uri\": \"/stream\", \"status\": 200, "
                          "\"headers\": {\"Content-Type\": \"application/octet-stream\", "
                          "\"User-Agent\": \"Ostrel/1.1\", \"x-apple-device-id\": \"0x0a1b2c3d4e5f\", "
                          "\"Content-Length\": \"273\"}"))
        << report;
    EXPECT_NE(std::string::npos, report.find("\"packetSequence\": \"CV")) << report;
    EXPECT_NE(std::string::npos, report.find("\"stratum\": 1, \"refid\": \"OSTR\"")) << report;
    // Port 7000 was touched once without a request; the stream ran on port 7100.
    EXPECT_NE(std::string::npos,
              report.find("\"connections\": {\"http\": 1, \"mirror\": 1, \"withoutRequest\": 1}"))
        << report;
    EXPECT_EQ(1, JsonNumber(report, "\"streamXmlServed\":")) << report;
    EXPECT_NE(std::string::npos, report.find("\"postStream\": {\"received\": 1, \"checked\": true, "
                                             "\"ok\": true, \"bodyLength\": 273"))
        << report;
    EXPECT_GE(JsonNumber(report, "\"codecPackets\":"), 1) << report;
    EXPECT_EQ(0, JsonNumber(report, "\"picturesBeforeCodec\":")) << report;
    EXPECT_EQ(0, JsonNumber(report, "\"headerAnomalies\":")) << report;
    EXPECT_EQ(0, JsonNumber(report, "\"badVideoPayloads\":")) << report;
    EXPECT_GE(JsonNumber(report, "\"framesDecoded\":"), 30) << report;
    EXPECT_EQ(0, JsonNumber(report, "\"decodeErrors\":")) << report;
    EXPECT_EQ(1280, JsonNumber(report, "\"decodedSize\": \\{\"width\":")) << report;
    // The receiver's timing requests to UDP 7010 were answered and accepted.
    EXPECT_GE(JsonNumber(report, "\"ntp\": \\{\"target\": \"[^\"]*\", \"requests\":"), 1) << report;
    EXPECT_GE(JsonNumber(report, "\"replies\":"), 1) << report;
    EXPECT_EQ(0, JsonNumber(report, "\"badReplies\":")) << report;
    EXPECT_TRUE(log.Contains("Got AirPlay DeviceID: 0x0a1b2c3d4e5f\r\n"));
    EXPECT_TRUE(log.Contains("Main Mirroring Connection Established\r\n"));
    EXPECT_TRUE(log.Contains("AirPlay: Past NTP Server Stop!\r\n"));
}

TEST_F(MirroringConnectionTest, Forced720pIsPlacedOnTheFullScreenOfAFullHdReceiver) {
    Receiver rx;
    ASSERT_TRUE(rx.Start(dir, {"--width", "1920", "--height", "1080", "--overscanned",
                               "--overscan-form", "string"}));
    capture.force720p = 1;
    Connect();
    ASSERT_TRUE(WaitForStreaming(20)) << log.Text();
    EXPECT_EQ(1920, capture.receiverWidth);
    EXPECT_EQ(1280, capture.targetWidth);
    EXPECT_FLOAT_EQ(0.1f, capture.overscan);
    StopMirroringConnection(connection);
    std::string report = rx.Finish();
    std::string geometry = LastVideoGeometry(report);
    ASSERT_FALSE(geometry.empty()) << report;
    EXPECT_EQ(1280, JsonNumber(geometry, "\"width\":")) << geometry;
    EXPECT_EQ(1919, JsonNumber(geometry, "\"right\":")) << geometry;
    EXPECT_EQ(1079, JsonNumber(geometry, "\"bottom\":")) << geometry;
    EXPECT_EQ(0, JsonNumber(geometry, "\"left\":")) << geometry;
}

TEST_F(MirroringConnectionTest, PacketsDescribeThePictureTheyCarryNotTheCurrentSize) {
    Receiver rx;
    ASSERT_TRUE(rx.Start(dir, {"--width", "1280", "--height", "720"}));
    // Pictures are encoded at 1280x720 while the capture side already reports 960x720.
    capture.reportedPictureWidth = 960;
    capture.reportedPictureHeight = 720;
    Connect();
    ASSERT_TRUE(WaitForStreaming(10)) << log.Text();
    StopMirroringConnection(connection);
    std::string report = rx.Finish();
    // The last pictures may still be in flight when the stop closes the stream.
    EXPECT_GE(JsonNumber(report, "\"framesDecoded\":"), 5) << report;
    EXPECT_EQ(0, JsonNumber(report, "\"sizeMismatches\":")) << report;
    std::string geometry = LastVideoGeometry(report);
    ASSERT_FALSE(geometry.empty()) << report;
    EXPECT_EQ(1280, JsonNumber(geometry, "\"width\":")) << geometry;
    EXPECT_EQ(0, JsonNumber(geometry, "\"left\":")) << geometry;
    EXPECT_EQ(1279, JsonNumber(geometry, "\"right\":")) << geometry;
}

TEST_F(MirroringConnectionTest, DescriptionThatIsNoPropertyListStillStartsTheStream) {
    std::string xml = dir + "/stream.xml";
    FILE *f = fopen(xml.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fputs("this is not a property list", f);
    fclose(f);
    {
        // A capture side that holds no sizes yet streams at the size of an unknown receiver.
        Receiver rx;
        ASSERT_TRUE(rx.Start(dir, {"--stream-xml", xml}));
        Connect();
        ASSERT_TRUE(WaitForStreaming(5)) << log.Text();
        EXPECT_EQ(1, capture.sizeCalls);
        EXPECT_EQ(1280, capture.receiverWidth);
        EXPECT_EQ(720, capture.receiverHeight);
        EXPECT_EQ(1280, capture.targetWidth);
        EXPECT_EQ(720, capture.targetHeight);
        StopMirroringConnection(connection);
        EXPECT_EQ(kMirroringNoFailure, connection->failure.load());
        std::string report = rx.Finish();
        EXPECT_GE(JsonNumber(report, "\"framesDecoded\":"), 1) << report;
        EXPECT_EQ(1280, JsonNumber(report, "\"decodedSize\": \\{\"width\":")) << report;
    }
    FreeMirroringConnection(connection);
    connection = nullptr;
    {
        // Sizes already held are kept.
        std::lock_guard<std::mutex> hold(capture.lock);
        capture.receiverWidth = capture.targetWidth = 1920;
        capture.receiverHeight = capture.targetHeight = 1080;
        capture.sizeCalls = 0;
    }
    std::string second = dir + "/second";
    ASSERT_EQ(0, mkdir(second.c_str(), 0700));
    Receiver rx;
    ASSERT_TRUE(rx.Start(second, {"--stream-xml", xml}));
    controller.starts = 0;
    Connect();
    ASSERT_TRUE(WaitForStreaming(capture.picturesEncoded.load() + 5)) << log.Text();
    EXPECT_EQ(0, capture.sizeCalls);
    EXPECT_EQ(1920, capture.targetWidth);
    StopMirroringConnection(connection);
}

// Without a descriptor for its socket the connection cannot open its main set: it records
// the failure and ends as after any other failure, so that a hosted run exits.
TEST_F(MirroringConnectionTest, MainSetThatCannotBeOpenedEndsTheConnection) {
    rlimit saved{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    std::vector<int> fillers;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        fillers.push_back(fd);
    // Room for the connection's five events, none for its socket.
    ASSERT_GE(fillers.size(), 5u);
    for (int i = 0; i < 5; i++) {
        close(fillers.back());
        fillers.pop_back();
    }
    connection = StartMirroringConnection(host, 0, 3, 0, 0, &kFakeCaptureOps, &capture, 0, deviceId,
                                          &kControllerOps, &controller, nullptr);
    bool ended = connection && WaitForDisconnect();
    for (int fd : fillers)
        close(fd);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));
    ASSERT_NE(nullptr, connection);
    ASSERT_TRUE(ended) << log.Text();
    EXPECT_EQ(kMirroringUnknownError, connection->failure.load());
    EXPECT_EQ(kMirroringIdle, connection->state.load());
    EXPECT_EQ(0, capture.starts.load());
    EXPECT_TRUE(log.Contains("could not open the mirroring socket")) << log.Text();
    // The controller's own stop afterwards changes nothing.
    StopMirroringConnection(connection);
    EXPECT_EQ(1, controller.disconnected.load());
}

TEST_F(MirroringConnectionTest, HeartbeatsStartSevenSecondsIntoTheConnection) {
    Receiver rx;
    ASSERT_TRUE(rx.Start(dir, {"--width", "1280", "--height", "720"}));
    capture.framesPerSecond = 6; // enough pictures to carry heartbeats, little work
    int64_t connected = time(nullptr);
    Connect();
    ASSERT_TRUE(WaitForStreaming(1)) << log.Text();
    ASSERT_TRUE(WaitUntil([&] { return time(nullptr) >= connected + 9; }, 15000));
    StopMirroringConnection(connection);
    std::string report = rx.Finish();
    long heartbeats = JsonNumber(report, "\"heartbeats\":");
    // First at connect + 5 + 2 whole seconds at the earliest, then at most every other second.
    EXPECT_GE(heartbeats, 1) << report;
    EXPECT_LE(heartbeats, 2) << report;
    EXPECT_EQ(0, JsonNumber(report, "\"headerAnomalies\":")) << report;
}

TEST_F(MirroringConnectionTest, ReceiverInUseStopsWithoutStreaming) {
    Receiver rx;
    ASSERT_TRUE(rx.Start(dir, {"--busy"}));
    Connect();
    ASSERT_TRUE(WaitForDisconnect()) << log.Text();
    EXPECT_EQ(1, controller.deviceInUse.load());
    EXPECT_EQ(kMirroringDisconnectedByHost, connection->failure.load());
    EXPECT_EQ(kMirroringIdle, connection->state.load());
    EXPECT_EQ(0, capture.starts.load());
    EXPECT_TRUE(log.Contains("Received response code: 453"));
    // The stop began on the receive thread; a later stop from the controller returns at once.
    StopMirroringConnection(connection);
    EXPECT_EQ(1, controller.disconnected.load());
}

TEST_F(MirroringConnectionTest, NoReceiverGivesTheConnectFailure) {
    Connect();
    ASSERT_TRUE(WaitForDisconnect()) << log.Text();
    EXPECT_EQ(kMirroringConnectFailed, connection->failure.load());
    EXPECT_EQ(kMirroringIdle, connection->state.load());
    EXPECT_TRUE(log.Contains("Client mirroring connection failed (Unable to Connect: Firewall?): 12293"))
        << log.Text();
    EXPECT_EQ(0, capture.starts.load());
}

TEST_F(MirroringConnectionTest, ReceiverClosingMidStreamStopsCapture) {
    Receiver rx;
    ASSERT_TRUE(rx.Start(dir, {"--width", "1280", "--height", "720", "--close-after-packets", "20"}));
    Connect();
    ASSERT_TRUE(WaitForDisconnect()) << log.Text();
    EXPECT_EQ(kMirroringDisconnectedByHost, connection->failure.load());
    EXPECT_EQ(kMirroringIdle, connection->state.load());
    EXPECT_TRUE(log.Contains("Client mirroring connection failed (Disconnected by host: Not ATV2 "
                             "or Firmware Version Incorrect? Upgrade or Reboot Apple TV): 1229"))
        << log.Text();
    EXPECT_EQ(1, capture.starts.load());
    EXPECT_EQ(1, capture.stops.load());
    EXPECT_FALSE(NtpdIsRunning(NtpdVideo()));
}

TEST_F(MirroringConnectionTest, PasswordAskedOnceThenStreams) {
    Receiver rx;
    ASSERT_TRUE(rx.Start(dir, {"--password", "s3cret", "--width", "1280", "--height", "720"}));
    controller.password = "s3cret";
    Connect();
    ASSERT_TRUE(WaitForStreaming(10)) << log.Text();
    EXPECT_EQ(1, controller.passwordRequests.load());
    EXPECT_EQ(1, controller.passwordChanges.load());
    EXPECT_EQ("s3cret", controller.changedTo);
    EXPECT_TRUE(log.Contains("Video got request for password\r\n"));
    StopMirroringConnection(connection);
    std::string report = rx.Finish();
    EXPECT_GE(JsonNumber(report, "\"accepted\":"), 1) << report;
}

TEST_F(MirroringConnectionTest, RefusedPasswordIsAskedForAgainWithTheRetryFlag) {
    Receiver rx;
    ASSERT_TRUE(rx.Start(dir, {"--password", "s3cret", "--width", "1280", "--height", "720"}));
    controller.firstPassword = "wrong";
    controller.password = "s3cret";
    Connect();
    ASSERT_TRUE(WaitForStreaming(5)) << log.Text();
    EXPECT_EQ(2, controller.passwordRequests.load());
    EXPECT_EQ(1, controller.lastRetried.load());
    EXPECT_EQ(2, controller.passwordChanges.load());
    EXPECT_EQ("s3cret", controller.changedTo);
    StopMirroringConnection(connection);
    EXPECT_EQ(kMirroringNoFailure, connection->failure.load());
}

TEST_F(MirroringConnectionTest, StoredPasswordIsUsedWithoutAsking) {
    Receiver rx;
    ASSERT_TRUE(rx.Start(dir, {"--password", "s3cret", "--width", "1280", "--height", "720"}));
    controller.stored = CFStringFromBytes("s3cret", 0);
    Connect();
    ASSERT_TRUE(WaitForStreaming(10)) << log.Text();
    EXPECT_EQ(0, controller.passwordRequests.load());
    StopMirroringConnection(connection);
    EXPECT_EQ(kMirroringNoFailure, connection->failure.load());
}

// A listener on the loopback mirroring port that accepts nothing by itself; -1 on failure.
static int ListenOnMirroringPort(int backlog) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) return -1;
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(kMirroringPort);
    if (bind(listener, (sockaddr *)&a, sizeof a) != 0 || listen(listener, backlog) != 0) {
        close(listener);
        return -1;
    }
    return listener;
}

TEST_F(MirroringConnectionTest, StopWhileWaitingForTheStreamDescription) {
    // A peer that accepts on 7100 and never answers.
    int listener = ListenOnMirroringPort(4);
    ASSERT_GE(listener, 0);
    Connect();
    ASSERT_TRUE(WaitUntil([&] { return connection->state.load() == kMirroringConnected; }, 10000));
    StopMirroringConnection(connection);
    EXPECT_EQ(kMirroringIdle, connection->state.load());
    EXPECT_EQ(1, controller.disconnected.load());
    EXPECT_EQ(0, capture.starts.load());
    EXPECT_TRUE(EventIsSet(connection->teardownEvent));
    EXPECT_FALSE(log.Contains("Signalled to start streaming"));
    close(listener);
}

// A receiver whose accept queue is full drops the connection attempt without a word: the
// connection gives up at its bound instead of the kernel's two minutes, as a connect failure.
TEST_F(MirroringConnectionTest, ReceiverThatNeverTakesTheConnectionEndsItWithinTheBound) {
    int listener = ListenOnMirroringPort(0);
    ASSERT_GE(listener, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(kMirroringPort);
    // Backlog 0 holds one connection that nobody accepts; the next attempt's SYN is dropped.
    int filler = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(0, connect(filler, (sockaddr *)&a, sizeof a));
    int64_t start = MonotonicNanos();
    Connect();
    ASSERT_TRUE(WaitUntil([&] { return controller.disconnected.load() > 0; },
                          kMirroringAnswerTimeoutMs + 5000))
        << log.Text();
    int64_t tookMs = (MonotonicNanos() - start) / 1000000;
    EXPECT_GE(tookMs, kMirroringAnswerTimeoutMs - 100);
    EXPECT_EQ(kMirroringConnectFailed, connection->failure.load());
    EXPECT_EQ(kMirroringIdle, connection->state.load());
    EXPECT_TRUE(log.Contains("AirPlay: the receiver did not accept the connection on port 7100 "
                             "within 15 s"))
        << log.Text();
    EXPECT_EQ(0, capture.starts.load());
    close(filler);
    close(listener);
}

// ApplyStreamInfo on its own: the size and overscan rules.
class StreamInfoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        connection.capture = &kFakeCaptureOps;
        connection.captureContext = &capture;
    }
    void Apply(CFValue *width, CFValue *height, CFValue *overscanned) {
        CFValue *info = CFDictionaryNew(4);
        if (width) CFDictionaryPutText(info, width, "width");
        if (height) CFDictionaryPutText(info, height, "height");
        if (overscanned) CFDictionaryPutText(info, overscanned, "overscanned");
        ApplyStreamInfo(&connection, info);
        CFValueRelease(info);
    }
    LogCapture log;
    FakeCapture capture;
    MirroringConnection connection;
};

TEST_F(StreamInfoTest, OnlyTheTwoKnownWidthsAreTakenAsTheyCome) {
    Apply(CFNumberFromSigned(1920), CFNumberFromSigned(1080), nullptr);
    EXPECT_EQ(1920, capture.receiverWidth);
    EXPECT_EQ(1080, capture.receiverHeight);
    EXPECT_EQ(1920, capture.targetWidth);
    Apply(CFNumberFromSigned(1366), CFNumberFromSigned(768), nullptr);
    EXPECT_EQ(1280, capture.receiverWidth);
    EXPECT_EQ(720, capture.receiverHeight);
    Apply(CFNumberFromSigned(1280), CFNumberFromSigned(1024), nullptr);
    EXPECT_EQ(1280, capture.receiverWidth);
    EXPECT_EQ(1024, capture.receiverHeight); // the height is not checked
    // Heights that no screen has are replaced, not passed on to the capture side.
    for (int bad : {0, -1080, 100000}) {
        Apply(CFNumberFromSigned(1920), CFNumberFromSigned(bad), nullptr);
        EXPECT_EQ(1920, capture.receiverWidth);
        EXPECT_EQ(1080, capture.receiverHeight) << bad;
        EXPECT_EQ(1080, capture.targetHeight) << bad;
    }
    Apply(nullptr, nullptr, nullptr);
    EXPECT_EQ(1280, capture.receiverWidth);
    EXPECT_EQ(720, capture.receiverHeight);
    EXPECT_EQ(0.0f, capture.overscan);
}

TEST_F(StreamInfoTest, Forced720pKeepsTheReceiverSize) {
    capture.force720p = 1;
    Apply(CFNumberFromSigned(1920), CFNumberFromSigned(1080), nullptr);
    EXPECT_EQ(1920, capture.receiverWidth);
    EXPECT_EQ(1080, capture.receiverHeight);
    EXPECT_EQ(1280, capture.targetWidth);
    EXPECT_EQ(720, capture.targetHeight);
}

TEST_F(StreamInfoTest, OverscanFromTrueTextOrATrueNumberOnly) {
    Apply(nullptr, nullptr, CFStringFromBytes("1", 0));
    EXPECT_EQ(0.0f, capture.overscan);
    Apply(nullptr, nullptr, CFStringFromBytes("yes", 0));
    EXPECT_EQ(0.0f, capture.overscan);
    Apply(nullptr, nullptr, CFNumberFromBool(0));
    EXPECT_EQ(0.0f, capture.overscan);
    Apply(nullptr, nullptr, CFStringFromBytes("TRUE", 0));
    EXPECT_FLOAT_EQ(0.1f, capture.overscan);
    capture.overscan = 0;
    Apply(nullptr, nullptr, CFNumberFromSigned(1));
    EXPECT_FLOAT_EQ(0.1f, capture.overscan);
}

} // namespace
