#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "shell/startup.h"

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
    int RunProgram(const char *arg) {
        std::string cmd = std::string(OSTREL_BINARY) + " " + arg + " 2>/dev/null";
        int status = system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
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
    std::ifstream log(root + "/data/Ostrel/Ostrel.log", std::ios::binary);
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_EQ(0u, text.str().find("Debug Log Started\r\nOstrel for Linux ("));
    EXPECT_NE(std::string::npos, text.str().find("***System Info***\r\n"));
    EXPECT_NE(std::string::npos, text.str().find("System timing minimum resolution: "));
    EXPECT_TRUE(text.str().size() > 17 &&
                text.str().substr(text.str().size() - 17) == "Debug Log Ended\r\n");
}

} // namespace
