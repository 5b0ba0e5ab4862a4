// The update check against feeds served on loopback by a small HTTP server in the test:
// newer, same, older, skipped, malformed, a server that never answers, one that drips its
// answer without end, and no server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QElapsedTimer>
#include <QtCore/QTimer>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>

#include "base/log.h"
#include "shell/ov_updater.h"
#include "shell/updater.h"

namespace {

std::string Feed(const std::string &items) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
           "<channel><title>Ostrel</title>\n" +
           items + "</channel></rss>\n";
}

std::string Item(const std::string &version, const std::string &notes = "<p>Fixes &amp; more</p>") {
    return "<item><title>Ostrel " + version +
           "</title>"
           "<description><![CDATA[" +
           notes +
           "]]></description>"
           "<enclosure url=\"https://example.invalid/ostrel_" +
           version + ".deb\" sparkle:version=\"" + version +
           "\" length=\"1\" type=\"application/octet-stream\"/>"
           "</item>\n";
}

// Answers every request with body (or not at all when silent; or, dripping, with headers
// promising a large feed and then one byte every 100 ms).
class FeedServer {
  public:
    FeedServer() {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    request += s->readAll().toStdString();
                    if (request.find("\r\n\r\n") == std::string::npos || silent) return;
                    if (dripping) {
                        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/rss+xml"
                                           "\r\nContent-Length: 100000\r\n\r\n<";
                        s->write(head.data(), (qint64)head.size());
                        auto *drip = new QTimer(s);
                        QObject::connect(drip, &QTimer::timeout, s, [s] { s->write(" ", 1); });
                        drip->start(100);
                        return;
                    }
                    std::string reply = "HTTP/1.1 " + status +
                                        "\r\nContent-Type: application/rss+xml\r\n"
                                        "Content-Length: " +
                                        std::to_string(body.size()) +
                                        "\r\nConnection: close\r\n\r\n" + body;
                    s->write(reply.data(), (qint64)reply.size());
                    s->disconnectFromHost();
                });
            }
        });
    }
    std::string Url() const {
        return "http://127.0.0.1:" + std::to_string(server.serverPort()) + "/appcast.xml";
    }
    QTcpServer server;
    std::string body, request, status = "200 OK";
    bool silent = false;
    bool dripping = false;
};

class UpdaterTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "updater_test";
        static char *argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) app = new QCoreApplication(argc, argv);
    }
    void SetUp() override {
        char tmpl[] = "/tmp/ostrel-updater-XXXXXX";
        root = mkdtemp(tmpl);
        setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        setenv("OSTREL_MACHINE_CONFIG_DIR", (root + "/machine").c_str(), 1);
        LogOutputMode = 7;
    }
    void TearDown() override {
        unsetenv("OSTREL_MACHINE_CONFIG_DIR");
        LogOutputMode = 1;
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }
    void PointFeedAt(const std::string &url) {
        mkdir((root + "/config").c_str(), 0700);
        mkdir((root + "/config/Halvane").c_str(), 0700);
        std::ofstream(root + "/config/Halvane/Ostrel.conf")
            << "[Ostrel]\nUpdateFeedURL=" << url << "\n";
    }
    // Runs one check and waits (bounded) for its outcome.
    UpdateOutcome Check(std::string *message, int timeoutMs = 2000) {
        Updater *u = UpdaterCreate(false, timeoutMs);
        bool done = false;
        UpdateOutcome outcome = kUpdateFailed;
        UpdaterCheck(u, false, [&](UpdateOutcome o, const std::string &m) {
            outcome = o;
            *message = m;
            done = true;
        });
        QElapsedTimer clock;
        clock.start();
        while (!done && clock.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        UpdaterDestroy(u);
        EXPECT_TRUE(done) << "the check never finished";
        return outcome;
    }
    static QCoreApplication *app;
    std::string root;
};
QCoreApplication *UpdaterTest::app = nullptr;

TEST(AppcastTest, VersionsCompareByNumberNotText) {
    EXPECT_EQ(1, CompareVersions("0.10.0", "0.9.9"));
    EXPECT_EQ(0, CompareVersions("1.2", "1.2.0"));
    EXPECT_EQ(-1, CompareVersions("1.2", "1.2.1"));
    EXPECT_EQ(-1, CompareVersions("1.2b", "1.2c"));
    EXPECT_EQ(1, CompareVersions("2", "1.99.99"));
}

TEST(AppcastTest, NewestItemWinsAndBrokenItemsAreSkipped) {
    AppcastRelease r;
    std::string error;
    std::string feed = Feed(Item("0.2.0") + Item("0.10.1") +
                            "<item><title>no enclosure</title></item>" + Item("0.3.0"));
    ASSERT_TRUE(AppcastParse(feed, &r, &error));
    EXPECT_EQ("0.10.1", r.version);
    EXPECT_EQ("https://example.invalid/ostrel_0.10.1.deb", r.downloadUrl);
    EXPECT_EQ("<p>Fixes &amp; more</p>", r.notes) << "CDATA is taken as it stands";
    EXPECT_FALSE(AppcastParse("<html>not a feed</html>", &r, &error));
    EXPECT_FALSE(AppcastParse(Feed("<item><enclosure url=\"x\"/></item>"), &r, &error));
    EXPECT_FALSE(AppcastParse(Feed("<item><enclosure url=\"x\" sparkle:version=\"1"), &r, &error));
}

TEST_F(UpdaterTest, NewerSameOlderAndSkippedReleases) {
    FeedServer server;
    PointFeedAt(server.Url());
    std::string message;

    server.body = Feed(Item("99.0.0"));
    EXPECT_EQ(kUpdateAvailable, Check(&message));
    EXPECT_EQ("Ostrel 99.0.0 is available (this is " OSTREL_VERSION ").", message);
    EXPECT_NE(std::string::npos, server.request.find("GET /appcast.xml HTTP/1.1"));

    server.body = Feed(Item(OSTREL_VERSION));
    EXPECT_EQ(kUpdateNone, Check(&message));
    server.body = Feed(Item("0.0.1"));
    EXPECT_EQ(kUpdateNone, Check(&message));
    EXPECT_EQ("Ostrel " OSTREL_VERSION " is the newest version available.", message);

    SetSkippedVersion("99.0.0");
    EXPECT_EQ("99.0.0", SkippedVersion());
    server.body = Feed(Item("99.0.0"));
    EXPECT_EQ(kUpdateSkipped, Check(&message));
    server.body = Feed(Item("99.0.1")); // a later release is offered again
    EXPECT_EQ(kUpdateAvailable, Check(&message));
}

TEST_F(UpdaterTest, MalformedFeedsAndErrorsGiveAClearMessage) {
    FeedServer server;
    PointFeedAt(server.Url());
    std::string message;
    server.body = "<html><body>Moved</body></html>";
    EXPECT_EQ(kUpdateFailed, Check(&message));
    EXPECT_EQ("The update feed could not be understood: not an RSS feed", message);
    server.body = Feed("<item><title>half");
    EXPECT_EQ(kUpdateFailed, Check(&message));
    EXPECT_EQ(0u, message.find("The update feed could not be understood: "));
    server.status = "404 Not Found";
    server.body = "gone";
    EXPECT_EQ(kUpdateFailed, Check(&message));
    EXPECT_EQ(0u, message.find("The update feed could not be read: ")) << message;
}

TEST_F(UpdaterTest, UnreachableOrSilentServersEndTheCheck) {
    std::string message;
    {
        FeedServer gone;
        PointFeedAt(gone.Url());
        gone.server.close(); // nothing listens there any more
    }
    EXPECT_EQ(kUpdateFailed, Check(&message));
    EXPECT_EQ(0u, message.find("The update feed could not be read: ")) << message;

    FeedServer silent;
    silent.silent = true;
    PointFeedAt(silent.Url());
    EXPECT_EQ(kUpdateFailed, Check(&message, 500));
    EXPECT_EQ(0u, message.find("The update feed could not be read: ")) << message;
}

// A feed that keeps sending a byte now and then never lets the transfer go idle: the check
// still ends within its total time, and the same updater can check again afterwards (the
// "Check for Updates" button would otherwise do nothing for the rest of the run).
TEST_F(UpdaterTest, DrippingFeedEndsWithinTheTotalTimeAndTheNextCheckRuns) {
    FeedServer drip;
    drip.dripping = true;
    PointFeedAt(drip.Url());
    Updater *u = UpdaterCreate(false, 1500);
    for (int round = 0; round < 2; round++) {
        bool done = false;
        std::string message;
        UpdaterCheck(u, false, [&](UpdateOutcome o, const std::string &m) {
            EXPECT_EQ(kUpdateFailed, o);
            message = m;
            done = true;
        });
        QElapsedTimer clock;
        clock.start();
        while (!done && clock.elapsed() < 15000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        ASSERT_TRUE(done) << "round " << round << ": the check did not end";
        EXPECT_LT(clock.elapsed(), 6000) << "round " << round;
        EXPECT_EQ("The update feed could not be read: no complete answer within 1.5 s", message);
    }
    UpdaterDestroy(u);
}

} // namespace
