// NTPd against third-party peers: an NTP client that must accept its replies, and a
// packet dissector that must read them as NTP server packets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <unistd.h>

#include "mirroring/ntpd.h"
#include "test_support.h"

namespace {

bool HaveProgram(const char *name) {
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

class NtpdPeerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!EnterPrivateNetwork()) GTEST_SKIP() << "needs CAP_SYS_ADMIN for a network namespace";
        char tmpl[] = "/tmp/ostrel-ntpd-XXXXXX";
        dir = mkdtemp(tmpl);
    }
    void TearDown() override {
        NtpdStop(NtpdVideo());
        if (!dir.empty()) {
            std::string cmd = "rm -rf '" + dir + "'";
            EXPECT_EQ(0, system(cmd.c_str()));
        }
    }
    // One query by the NTP client in its "measure and exit" mode; returns its stderr.
    ChildResult QueryWithNtpClient() {
        return RunChild({"chronyd", "-Q", "-d", "server 127.0.0.1 port 7010 iburst maxsamples 1",
                         "pidfile " + dir + "/chronyd.pid", "cmdport 0"},
                        20000);
    }
    std::string dir;
};

TEST_F(NtpdPeerTest, NtpClientAcceptsTheReplyAndSeesTheStreamClockOffset) {
    if (!HaveProgram("chronyd")) GTEST_SKIP() << "chronyd not installed";
    ASSERT_EQ(1, NtpdStartVideo());
    ChildResult r = QueryWithNtpClient();
    ASSERT_EQ(0, r.status) << r.err;
    std::smatch m;
    std::string text = r.out + r.err;
    ASSERT_TRUE(std::regex_search(text, m, std::regex("System clock wrong by (-?[0-9.]+) seconds")))
        << text;
    double offset = std::stod(m[1].str());
    // The client reads the stream seconds as NTP seconds (from 1900) in the era that
    // follows its own, so the whole distance is 2^32 - (1900 to 1970) - the stream epoch.
    const double expected = 4294967296.0 - 2208988800.0 - 1329095810.0;
    EXPECT_NEAR(expected, offset, 1.0) << text;
}

TEST_F(NtpdPeerTest, DissectorReadsAVersion4StratumOneServerReply) {
    if (!HaveProgram("chronyd") || !HaveProgram("tshark")) GTEST_SKIP() << "chronyd/tshark missing";
    ASSERT_EQ(1, NtpdStartVideo());
    std::string pcap = dir + "/ntp.pcap";
    Child capture = StartChild({"tshark", "-i", "lo", "-f", "udp port 7010", "-c", "2", "-a",
                                "duration:20", "-w", pcap});
    ASSERT_GT(capture.pid, 0);
    ASSERT_TRUE(WaitForFileText(capture.errPath, "Capturing on", 15000))
        << ReadFileText(capture.errPath);
    ChildResult client = QueryWithNtpClient();
    EXPECT_EQ(0, client.status) << client.err;
    ChildResult cap = StopChild(capture, 0, 20000);
    ASSERT_EQ(0, cap.status) << cap.err;

    ChildResult fields =
        RunChild({"tshark", "-r", pcap, "-d", "udp.port==7010,ntp", "-Y", "udp.srcport==7010",
                  "-T", "fields", "-e", "ntp.flags.vn", "-e", "ntp.flags.mode", "-e",
                  "ntp.stratum", "-e", "ntp.ppoll", "-e", "ntp.refid"},
                 20000);
    ASSERT_EQ(0, fields.status) << fields.err;
    std::string line = fields.out.substr(0, fields.out.find('\n'));
    // version, mode (4 = server), stratum, poll, reference id "OSTR" in hex.
    EXPECT_EQ("4\t4\t1\t2\t4f535452", line) << fields.out;
}

} // namespace
