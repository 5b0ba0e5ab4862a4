#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/crash.h"
#include "base/folders.h"
#include "base/log.h"
#include "tests/support/child_process.h"
#include "tests/support/file_text.h"

namespace {

// A crash while the roaming folder holds the log still puts the dump in the local folder,
// closes the log with its two final lines and ends the process with the original signal.
TEST(CrashHandler, DumpGoesToTheLocalFolderAndTheLogIsClosed) {
    char tmpl[] = "/tmp/ostrel-crash-XXXXXX";
    std::string root = mkdtemp(tmpl);
    ASSERT_EQ(0, mkdir((root + "/config").c_str(), 0700));
    ASSERT_EQ(0, mkdir((root + "/config/Halvane").c_str(), 0700));
    std::ofstream(root + "/config/Halvane/Ostrel.conf") << "UseRoamingFolder=true\n";

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDERR_FILENO);
        SetDebugLogPath((DataFolder() + "Ostrel.log").c_str());
        OpenDebugLog();
        if (!InstallCrashHandler()) _exit(3);
        DebugLog(2, "about to crash\n");
        volatile int *null = nullptr;
        *null = 1;
        _exit(4);
    }
    // A handler that hangs instead of ending the process is killed at the bound.
    int status = EndChild(child, 0, 20000);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << status;
    EXPECT_EQ(SIGSEGV, WTERMSIG(status));

    EXPECT_EQ("Debug Log Started\r\nabout to crash\r\nException Occured, creating mini-dump\r\n"
              "Debug Log Ended\r\n",
              ReadFileText(root + "/config/Ostrel/Ostrel.log"));

    std::string dumpName;
    if (DIR *d = opendir((root + "/data/Ostrel").c_str())) {
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name.rfind("CrashLog_", 0) == 0) dumpName = name;
        }
        closedir(d);
    }
    ASSERT_EQ(std::string("CrashLog_YYYYMMDD_HHMMSS.dmp").size(), dumpName.size()) << dumpName;
    EXPECT_EQ(".dmp", dumpName.substr(dumpName.size() - 4));
    std::string dump = ReadFileText(root + "/data/Ostrel/" + dumpName);
    EXPECT_EQ(0u, dump.find("signal 11 (SEGV)"));
    EXPECT_NE(std::string::npos, dump.find("address 0x0 "));
    EXPECT_NE(std::string::npos, dump.find("backtrace:\n"));
    EXPECT_NE(std::string::npos, dump.find("maps:\n"));
    EXPECT_NE(std::string::npos, dump.find("[stack]"));

    std::string cmd = "rm -rf '" + root + "'";
    ASSERT_EQ(0, system(cmd.c_str()));
}

} // namespace
