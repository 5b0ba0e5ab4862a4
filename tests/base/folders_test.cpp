#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "base/folders.h"
#include "tests/support/file_text.h"

namespace {

void WriteFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Points the user and machine configuration at private folders for one test.
class FoldersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ostrel-folders-XXXXXX";
        root = mkdtemp(tmpl);
        for (const char *d : {"/config", "/config/Halvane", "/data", "/machine", "/machine/Halvane"})
            ASSERT_EQ(0, mkdir((root + d).c_str(), 0700));
        setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        setenv("OSTREL_MACHINE_CONFIG_DIR", (root + "/machine").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("OSTREL_MACHINE_CONFIG_DIR");
        unsetenv("OSTREL_OPENER");
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }
    void User(const std::string &text) { WriteFile(root + "/config/Halvane/Ostrel.conf", text); }
    void Machine(const std::string &text) { WriteFile(root + "/machine/Halvane/Ostrel.conf", text); }
    std::string root;
};

TEST_F(FoldersTest, UserValueWinsOverMachineWhateverItSays) {
    User("UseRoamingFolder=false\n");
    Machine("UseRoamingFolder=true\n");
    EXPECT_FALSE(ShouldUseRoamingFolder("Ostrel"));
    EXPECT_EQ(root + "/data/Ostrel/", DataFolder());

    // Even an empty user value is a value for this switch.
    User("UseRoamingFolder=\n");
    EXPECT_FALSE(ShouldUseRoamingFolder("Ostrel"));
}

TEST_F(FoldersTest, MachineValueCountsWhenTheUserHasNone) {
    User("[General]\nOtherSwitch=1\n");
    Machine("UseRoamingFolder=1\n");
    EXPECT_TRUE(ShouldUseRoamingFolder("Ostrel"));
    EXPECT_EQ(root + "/config/Ostrel/", DataFolder());
    struct stat st {};
    EXPECT_EQ(0, stat((root + "/config/Ostrel").c_str(), &st));
}

TEST_F(FoldersTest, OnlyTheFourTrueSpellingsSelectRoaming) {
    for (const char *yes : {"true", "True", "TRUE", "1", "\"true\""}) {
        User(std::string("UseRoamingFolder=") + yes + "\n");
        EXPECT_TRUE(ShouldUseRoamingFolder("Ostrel")) << yes;
    }
    for (const char *no : {"yes", "tRue", "2", "true1", "dword:00000001"}) {
        User(std::string("UseRoamingFolder=") + no + "\n");
        Machine("UseRoamingFolder=true\n");
        EXPECT_FALSE(ShouldUseRoamingFolder("Ostrel")) << no;
    }
}

TEST_F(FoldersTest, UnknownProductsNeverReadTheConfiguration) {
    User("UseRoamingFolder=true\n");
    EXPECT_TRUE(ShouldUseRoamingFolder("Ostrel"));
    EXPECT_FALSE(ShouldUseRoamingFolder("Other"));
    EXPECT_FALSE(ShouldUseRoamingFolder(""));
    // The sibling product reads its own file.
    EXPECT_FALSE(ShouldUseRoamingFolder("Glintra"));
    WriteFile(root + "/config/Halvane/Glintra.conf", "UseRoamingFolder=TRUE\n");
    EXPECT_TRUE(ShouldUseRoamingFolder("Glintra"));
}

TEST_F(FoldersTest, EmptyUserValueCanCountAsAbsent) {
    User("DisableAutoUpdates=\n");
    Machine("DisableAutoUpdates=true\n");
    std::string value;
    ASSERT_EQ(1, ReadRegistrySwitch("Ostrel", "DisableAutoUpdates", true, &value));
    EXPECT_EQ("true", value);
    ASSERT_EQ(1, ReadRegistrySwitch("Ostrel", "DisableAutoUpdates", false, &value));
    EXPECT_EQ("", value);
}

TEST(TimeStampedName, PadsEveryFieldAfterTheYear) {
    struct tm when {};
    when.tm_year = 2027 - 1900;
    when.tm_mon = 0;
    when.tm_mday = 5;
    when.tm_hour = 9;
    when.tm_min = 7;
    when.tm_sec = 3;
    EXPECT_EQ("CrashLog_20270105_090703.dmp", TimeStampedName("CrashLog_", ".dmp", when));
    EXPECT_EQ("OstrelLog_20270105_090703.txt", TimeStampedName("OstrelLog_", ".txt", when));
}

TEST_F(FoldersTest, LocateLogFileCopiesAndOpensFolderThenCopy) {
    std::string record = root + "/opened.txt";
    std::string opener = root + "/opener.sh";
    WriteFile(opener, "#!/bin/sh\necho \"$1\" >> '" + record + "'\n");
    ASSERT_EQ(0, chmod(opener.c_str(), 0755));
    setenv("OSTREL_OPENER", opener.c_str(), 1);

    std::string folder = DataFolder();
    // Two presses in the same second write the same copy; the second replaces the first.
    for (int attempt = 0; attempt < 5; attempt++) {
        WriteFile(folder + "Ostrel.log", "first\r\n");
        WriteFile(record, "");
        std::string first = LocateLogFile();
        WriteFile(folder + "Ostrel.log", "first\r\nsecond\r\n");
        std::string second = LocateLogFile();
        ASSERT_FALSE(first.empty());
        if (first != second) continue; // crossed a second boundary; try again
        EXPECT_EQ(0u, second.find(folder + "OstrelLog_"));
        EXPECT_EQ("first\r\nsecond\r\n", ReadFileText(second));
        EXPECT_EQ(folder + "\n" + second + "\n" + folder + "\n" + second + "\n",
                  ReadFileText(record));
        return;
    }
    FAIL() << "never managed two presses within one second";
}

TEST_F(FoldersTest, LocateLogFileWithoutALogReportsFailure) {
    setenv("OSTREL_OPENER", "/bin/true", 1);
    EXPECT_EQ("", LocateLogFile());
}

} // namespace
