#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "base/clock.h"
#include "base/log.h"
#include "tests/support/file_text.h"

namespace {

struct Captured {
    std::string text;
    int calls = 0;
};

void Capture(void *context, const char *text, size_t length) {
    auto *c = static_cast<Captured *>(context);
    c->text.append(text, length);
    c->calls++;
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ostrel-log-XXXXXX";
        dir = mkdtemp(tmpl);
        LogOutputMode = 1;
        LogLevelThreshold = 0;
        SetDebugOutput(Capture, &captured);
    }
    void TearDown() override {
        if (DebugLogFd() >= 0) CloseDebugLog();
        SetDebugOutput(nullptr, nullptr);
        LogOutputMode = 1;
        LogLevelThreshold = 0;
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }
    void Open() {
        SetDebugLogPath((dir + "/Ostrel.log").c_str());
        OpenDebugLog();
        captured = {};
    }
    std::string dir;
    Captured captured;
};

TEST_F(LogTest, OnlyTheFinalLineEndBecomesCrLf) {
    DebugLogAlways("abc\n");
    EXPECT_EQ("abc\r\n", captured.text);
    captured = {};
    DebugLogAlways("abc\r\n");
    EXPECT_EQ("abc\r\n", captured.text);
    captured = {};
    DebugLogAlways("\n");
    EXPECT_EQ("\n", captured.text);
    captured = {};
    DebugLogAlways("abc");
    EXPECT_EQ("abc", captured.text);
    captured = {};
    DebugLogAlways("a\nb\n");
    EXPECT_EQ("a\nb\r\n", captured.text);
    captured = {};
    DebugLogAlways("%s=%d\n", "x", 42);
    EXPECT_EQ("x=42\r\n", captured.text);
    EXPECT_EQ(1, captured.calls);
}

TEST_F(LogTest, LongLinesAreCutInsideTheBuffer) {
    std::string longText(5000, 'x');
    DebugLogAlways("%s\n", longText.c_str());
    // Cut to 4095 characters plus the terminating zero; the cut line end is lost.
    EXPECT_EQ(kLogLineBuffer - 1, captured.text.size());
    EXPECT_EQ(std::string(kLogLineBuffer - 1, 'x'), captured.text);

    // The widening to CR LF happens only while the grown text still fits.
    captured = {};
    std::string fits(4092, 'y');
    DebugLogAlways("%s\n", fits.c_str()); // n = 4093
    EXPECT_EQ(fits + "\r\n", captured.text);
    captured = {};
    std::string tooLong(4093, 'z');
    DebugLogAlways("%s\n", tooLong.c_str()); // n = 4094: left alone
    EXPECT_EQ(tooLong + "\n", captured.text);
}

TEST_F(LogTest, ThresholdAndModesDecideWhereLinesGo) {
    LogLevelThreshold = 2;
    DebugLog(1, "hidden\n");
    EXPECT_TRUE(captured.text.empty());
    DebugLog(2, "shown\n");
    EXPECT_EQ("shown\r\n", captured.text);

    LogLevelThreshold = 100;
    captured = {};
    DebugLogAlways("always\n");
    EXPECT_EQ("always\r\n", captured.text);

    LogOutputMode = 7;
    captured = {};
    DebugLogAlways("nowhere\n");
    EXPECT_TRUE(captured.text.empty());
}

TEST_F(LogTest, OpenLogWritesFileAndDebuggerAtLevelTwo) {
    Open();
    EXPECT_EQ(2, LogOutputMode.load());
    EXPECT_EQ(2, LogLevelThreshold.load());
    DebugLog(1, "detail\n");
    DebugLog(2, "event %i\n", 7);
    LogOutputMode = 0; // file only
    DebugLog(2, "file only\n");
    LogOutputMode = 2;
    CloseDebugLog();
    EXPECT_EQ("event 7\r\nDebug Log Ended\r\n", captured.text);
    EXPECT_EQ("Debug Log Started\r\nevent 7\r\nfile only\r\nDebug Log Ended\r\n",
              ReadFileText(dir + "/Ostrel.log"));
}

TEST_F(LogTest, OpenTruncatesAnOldLog) {
    {
        std::ofstream old(dir + "/Ostrel.log");
        old << "left over from the last run\n";
    }
    Open();
    CloseDebugLog();
    EXPECT_EQ("Debug Log Started\r\nDebug Log Ended\r\n", ReadFileText(dir + "/Ostrel.log"));
}

TEST_F(LogTest, UnopenableLogFallsBackToTheDebugger) {
    SetDebugLogPath((dir + "/missing-folder/Ostrel.log").c_str());
    OpenDebugLog();
    EXPECT_EQ("Failed to open log file...\r\nDebug Log Started\r\n", captured.text);
    EXPECT_EQ(-1, DebugLogFd());
    DebugLog(2, "still logged\n");
    EXPECT_NE(std::string::npos, captured.text.find("still logged\r\n"));
}

TEST_F(LogTest, SystemInfoBlockIsBracketedAndComplete) {
    LogSystemInfo();
    const std::string &t = captured.text;
    ASSERT_EQ(0u, t.find("***System Info***\r\n"));
    EXPECT_TRUE(t.size() > 40 && t.compare(t.size() - 19, 19, "***System Info***\r\n") == 0);
    EXPECT_NE(std::string::npos, t.find("Application is 64 bit: 1 OS is 64 bit: 1\r\n"));
    EXPECT_NE(std::string::npos, t.find("Number of processors: "));
    EXPECT_NE(std::string::npos, t.find("Page Size: " + std::to_string(sysconf(_SC_PAGESIZE))));
    EXPECT_NE(std::string::npos, t.find("Processor architecture: AMD64\r\n"));
    EXPECT_NE(std::string::npos, t.find("Active OS: "));
}

// Two failures flooding the log at once, interleaved, for more than a window: each format's
// first lines are written, the rest counted, and every line logged is accounted for by the
// lines written and the counts in the summaries, all in a handful of lines. A line split
// over two calls stays whole, and the lines written go to the file as well.
TEST_F(LogTest, AFloodIsFoldedAndCounted) {
    Open();
    const int64_t start = MonotonicNanos();
    int logged[2] = {0, 0};
    // Past the first one-second window and into the second, bounded by the clock.
    for (int i = 0; i < 10000000 && MonotonicNanos() - start < 1500000000LL; i++) {
        if (i % 7 == 3) {
            DebugLog(2, "Dropped a picture of %d bytes\n", i);
            logged[1]++;
        } else {
            DebugLog(2, "Failed to expand existing buffer of size %d\n", i);
            logged[0]++;
        }
        if (i == 100) {
            DebugLog(2, "Processor architecture: ");
            DebugLog(2, "AMD64\n");
        }
    }
    DebugLog(2, "after the flood\n");
    FlushRepeatedLogLines();
    ASSERT_GT(logged[0], 1000);
    ASSERT_GT(logged[1], 100);

    const char *prefixes[2] = {"Failed to expand existing buffer of size ",
                               "Dropped a picture of "};
    long written[2] = {0, 0}, counted[2] = {0, 0};
    int summaries[2] = {0, 0}, lines = 0;
    std::istringstream in(captured.text);
    std::string line;
    while (std::getline(in, line)) {
        lines++;
        ASSERT_FALSE(line.empty());
        ASSERT_EQ('\r', line.back()) << line;
        line.pop_back();
        for (int k = 0; k < 2; k++) {
            if (line.rfind(prefixes[k], 0) == 0) written[k]++;
            unsigned long long n = 0;
            long long seconds = 0;
            int at = 0;
            if (sscanf(line.c_str(), "... repeated %llu times within %lld s: %n", &n, &seconds,
                       &at) == 2 &&
                at > 0 && line.compare(at, strlen(prefixes[k]), prefixes[k]) == 0) {
                counted[k] += (long)n;
                summaries[k]++;
                EXPECT_TRUE(seconds == 1 || seconds == 2) << line;
            }
        }
    }
    for (int k = 0; k < 2; k++) {
        EXPECT_EQ(kLogFoldWrittenLines, written[k]) << prefixes[k];
        EXPECT_EQ(logged[k], written[k] + counted[k]) << prefixes[k];
        EXPECT_GE(summaries[k], 1);
        EXPECT_LE(summaries[k], 2);
    }
    EXPECT_LE(lines, 2 * kLogFoldWrittenLines + 8) << captured.text.substr(0, 2000);
    EXPECT_NE(std::string::npos, captured.text.find("Processor architecture: AMD64\r\n"));
    EXPECT_NE(std::string::npos, captured.text.find("after the flood\r\n"));
    // The file holds what the debugger output got.
    CloseDebugLog();
    EXPECT_EQ("Debug Log Started\r\n" + captured.text, ReadFileText(dir + "/Ostrel.log"));
}

} // namespace
