#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "shell/startup.h"
#include "tests/support/child_process.h"
#include "tests/support/file_text.h"

namespace {

class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ostrel-start-XXXXXX";
        root = mkdtemp(tmpl);
        ASSERT_EQ(0, mkdir((root + "/run").c_str(), 0700));
        setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
        setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }
    // The program's exit code, or -1 when it did not exit normally.
    int RunProgram(const char *arg) {
        int code = -1;
        RunCommand(std::string(OSTREL_BINARY) + " " + arg + " 2>/dev/null", &code);
        return code;
    }
    std::string root;
};

TEST_F(StartupTest, ASecondCopyLeavesAtOnceWithoutLogging) {
    int held = AcquireSingleInstanceLock();
    ASSERT_GE(held, 0);
    EXPECT_EQ(-1, AcquireSingleInstanceLock());
    EXPECT_EQ(255, RunProgram("--system-info")); // exit code -1
    struct stat st {};
    EXPECT_NE(0, stat((root + "/data/Ostrel/Ostrel.log").c_str(), &st)) << "the second copy logged";
    close(held);

    EXPECT_EQ(0, RunProgram("--system-info"));
    std::string text = ReadFileText(root + "/data/Ostrel/Ostrel.log");
    EXPECT_EQ(0u, text.find("Debug Log Started\r\nOstrel for Linux ("));
    EXPECT_NE(std::string::npos, text.find("***System Info***\r\n"));
    EXPECT_NE(std::string::npos, text.find("System timing minimum resolution: "));
    EXPECT_TRUE(text.size() > 17 && text.substr(text.size() - 17) == "Debug Log Ended\r\n");
}

} // namespace
