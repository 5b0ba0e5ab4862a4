#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log.h"
#include "capture/capture_manager.h"
#include "plist/cfvalue.h"
#include "shell/settings.h"
#include "tests/support/file_text.h"

namespace {

void WriteFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string Plist(const std::string &body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n" +
           body + "</dict>\n</plist>\n";
}

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ostrel-settings-XXXXXX";
        root = mkdtemp(tmpl);
        setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        setenv("OSTREL_MACHINE_CONFIG_DIR", (root + "/machine").c_str(), 1);
        local = root + "/data/Ostrel/";
        LogOutputMode = 7;
    }
    void TearDown() override {
        SettingsSetPassword(nullptr);
        LogOutputMode = 1;
        unsetenv("OSTREL_MACHINE_CONFIG_DIR");
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }
    void Prepare(const std::string &folder, const std::string &text) {
        std::string cmd = "mkdir -p '" + folder + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
        WriteFile(folder + "Settings.xml", text);
    }
    std::string root, local;
};

TEST_F(SettingsTest, FirstStartWritesTheDefaultsInTheirOrder) {
    SettingsOpen();
    std::string xml = ReadFileText(local + "Settings.xml");
    const char *order[] = {"<key>Overscan</key>\n\t<string>10</string>",
                           "<key>Quality</key>\n\t<string>2</string>",
                           "<key>MaxFPS</key>\n\t<string>30</string>",
                           "<key>MirroringReminder</key>\n\t<string>0</string>",
                           "<key>MirroringReminderMinutes</key>\n\t<string>30</string>",
                           "<key>ShowMouse</key>\n\t<string>1</string>",
                           "<key>AudioEnabled</key>\n\t<integer>0</integer>",
                           "<key>Force720p</key>\n\t<string>0</string>",
                           "<key>LegacyVideo</key>\n\t<true/>"};
    size_t at = 0;
    for (const char *entry : order) {
        size_t found = xml.find(entry, at);
        ASSERT_NE(std::string::npos, found) << entry << "\n" << xml;
        at = found;
    }
    EXPECT_EQ(std::string::npos, xml.find("LastPassword"));
    EXPECT_FALSE(AudioEnabledFlag);
}

// The default underscan and the one read back from the file it was saved to must give
// the same picture: a widened float 0.1 made 1724-pixel pictures of a 1920 display on the
// first start and 1728 on every later one.
TEST_F(SettingsTest, FirstAndLaterStartsGiveTheSamePictureSize) {
    SettingsOpen();
    double first = Settings.values.overscan;
    SettingsOpen(); // the file now exists and is read
    double later = Settings.values.overscan;
    EXPECT_EQ(first, later);
    float w1, h1, w2, h2, f;
    ComputeOutputSize(1920, 1080, 1920, 1080, first, &w1, &h1, &f);
    ComputeOutputSize(1920, 1080, 1920, 1080, later, &w2, &h2, &f);
    EXPECT_EQ(w1, w2);
    EXPECT_EQ(h1, h2);
    EXPECT_EQ(1728.0f, w1);
}

TEST_F(SettingsTest, LoadTakesStringsTruthAndDefaultsAsTheFileSays) {
    Prepare(local, Plist("\t<key>MaxFPS</key>\n\t<string>200</string>\n"
                         "\t<key>Overscan</key>\n\t<string>15</string>\n"
                         "\t<key>Quality</key>\n\t<integer>3</integer>\n"
                         "\t<key>AudioEnabled</key>\n\t<string>1</string>\n"
                         "\t<key>MirroringReminder</key>\n\t<string>yes</string>\n"
                         "\t<key>LegacyVideo</key>\n\t<false/>\n"));
    SettingsOpen();
    const SettingsValues &v = Settings.values;
    EXPECT_EQ(200, v.maxFps); // not clamped on load
    EXPECT_DOUBLE_EQ(0.15, v.overscan);
    EXPECT_EQ(2, v.quality); // an integer element is not a string: default kept
    EXPECT_EQ(1, v.audioEnabled);
    EXPECT_TRUE(AudioEnabledFlag);
    EXPECT_EQ(0, v.mirroringReminder); // "yes" reads as 0
    EXPECT_EQ(30, v.mirroringReminderMinutes);
    EXPECT_EQ(1, v.legacyVideo);
    ASSERT_EQ(1, SettingsSave());
    EXPECT_NE(std::string::npos,
              ReadFileText(local + "Settings.xml").find("<key>LegacyVideo</key>\n\t<true/>"));
}

TEST_F(SettingsTest, PasswordsAreScrambledAndSurviveMarkupCharacters) {
    EXPECT_EQ("aca", ScramblePassword("abc"));
    EXPECT_EQ("abc", ScramblePassword("aca"));
    SettingsOpen();
    const char *secret = "p<a&s>s\"w'rd";
    CFValue *pw = CFStringFromBytes(secret, 0);
    SettingsSetPassword(pw);
    CFValueRelease(pw);
    ASSERT_EQ(1, SettingsSave());
    SettingsSetPassword(nullptr);
    SettingsLoad();
    ASSERT_NE(nullptr, Settings.values.lastPassword);
    EXPECT_STREQ(secret, CFStringText(Settings.values.lastPassword));
}

TEST_F(SettingsTest, UnreadableFileGivesDefaultsAndStaysUntilTheNextSave) {
    Prepare(local, "this is not a property list");
    SettingsOpen();
    EXPECT_EQ(30, Settings.values.maxFps);
    EXPECT_EQ("this is not a property list", ReadFileText(local + "Settings.xml"));
    Settings.values.maxFps = 45;
    ASSERT_EQ(1, SettingsSave());
    SettingsLoad();
    EXPECT_EQ(45, Settings.values.maxFps);
}

TEST_F(SettingsTest, RoamingFolderTakesTheLocalSettingsOnlyOnce) {
    Prepare(local, Plist("\t<key>MaxFPS</key>\n\t<string>24</string>\n"));
    Prepare(root + "/config/Halvane/", "");
    WriteFile(root + "/config/Halvane/Ostrel.conf", "UseRoamingFolder=true\n");
    SettingsOpen();
    EXPECT_EQ(root + "/config/Ostrel/Settings.xml", Settings.path);
    EXPECT_EQ(24, Settings.values.maxFps);

    WriteFile(local + "Settings.xml", Plist("\t<key>MaxFPS</key>\n\t<string>50</string>\n"));
    SettingsOpen();
    EXPECT_EQ(24, Settings.values.maxFps); // the roaming file is not overwritten
}

TEST_F(SettingsTest, AutoUpdateSwitchFallsThroughAnEmptyUserValue) {
    Prepare(root + "/config/Halvane/", "");
    Prepare(root + "/machine/Halvane/", "");
    WriteFile(root + "/config/Halvane/Ostrel.conf", "DisableAutoUpdates=\n");
    WriteFile(root + "/machine/Halvane/Ostrel.conf", "DisableAutoUpdates=TRUE\n");
    EXPECT_TRUE(AutoUpdatesDisabled());
    WriteFile(root + "/config/Halvane/Ostrel.conf", "DisableAutoUpdates=no\n");
    EXPECT_FALSE(AutoUpdatesDisabled());
}

} // namespace
