#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plist/cfvalue.h"
#include "shell/tray_menu.h"

namespace {

CFValue *Names(std::initializer_list<const char *> names) {
    CFValue *a = CFArrayNew(4);
    for (const char *n : names) {
        CFValue *s = CFStringFromBytes(n, 0);
        CFArrayPush(a, s);
        CFValueRelease(s);
    }
    return a;
}

CFValue *Window(uintptr_t id, const char *title, const char *app) {
    CFValue *w = CFDictionaryNew(4);
    CFValue *v[] = {CFPointerNew(id), CFStringFromBytes(title, 0), CFStringFromBytes(app, 0)};
    CFDictionaryPutText(w, v[0], "HWND");
    CFDictionaryPutText(w, v[1], "WindowName");
    CFDictionaryPutText(w, v[2], "AppName");
    for (CFValue *x : v)
        CFValueRelease(x);
    return w;
}

// An application record: its first window plus "Children" holding all its windows.
CFValue *App(const char *name, std::vector<std::pair<uintptr_t, const char *>> windows) {
    CFValue *app = Window(windows[0].first, windows[0].second, name);
    CFValue *children = CFArrayNew(4);
    for (auto &w : windows) {
        CFValue *child = Window(w.first, w.second, name);
        CFArrayPush(children, child);
        CFValueRelease(child);
    }
    CFDictionaryPutText(app, children, "Children");
    CFValueRelease(children);
    return app;
}

class TrayMenuTest : public ::testing::Test {
  protected:
    void SetUp() override {
        in = TrayMenuInputs{};
        in.servicesStarted = true;
        in.selectedIndex = -1;
        displays = Names({"Display 1 - (1920x1080)", "Display 2 - (1280x1024)"});
        in.displayNames = displays;
    }
    void TearDown() override {
        CFValueRelease(displays);
        CFValueRelease(services);
        CFValueRelease(apps);
    }
    const MenuEntry *Find(const std::vector<MenuEntry> &menu, int id, size_t nth = 0) {
        for (const MenuEntry &e : menu)
            if (e.kind == kMenuItem && e.id == id && nth-- == 0) return &e;
        return nullptr;
    }
    std::string StatusLine() {
        auto menu = BuildTrayMenu(&in);
        return menu[2].text;
    }
    std::string AudioLine() {
        auto menu = BuildTrayMenu(&in);
        return Find(menu, kCommandToggleAudio)->text;
    }
    TrayMenuInputs in;
    CFValue *displays = nullptr;
    CFValue *services = nullptr;
    CFValue *apps = nullptr;
};

TEST_F(TrayMenuTest, WholeMenuBeforeAndAfterTheServicesStart) {
    in.servicesStarted = false;
    EXPECT_EQ(
        "[ ] Show Preferences #32769\n---\n[ ] Help and Support #33836\n---\n[ ] Exit #32771\n",
        DescribeMenu(BuildTrayMenu(&in)));
    in.servicesStarted = true;
    in.preferencesVisible = true;
    EXPECT_EQ("[ ] Hide Preferences #32770\n"
              "---\n"
              "[ ] (AirPlay: Not Connected) #32776\n"
              "[ ] (No Devices found) #32776\n"
              "---\n"
              "[x] Display 1 - (1920x1080) #33801\n"
              "[ ] Display 2 - (1280x1024) #33802\n"
              "[ ] Specific App... >\n"
              "---\n"
              "[ ] (Audio: Disabled) #32773\n"
              "[ ] Enable Audio #32773\n"
              "---\n"
              "[ ] Help and Support #33836\n"
              "---\n"
              "[ ] Exit #32771\n",
              DescribeMenu(BuildTrayMenu(&in)));
    in.displayNames = nullptr;
    auto menu = BuildTrayMenu(&in);
    const MenuEntry *none = Find(menu, kCommandFirstDisplay);
    ASSERT_TRUE(none);
    EXPECT_EQ("No Local Display Found", none->text);
    EXPECT_TRUE(none->greyed);
}

TEST_F(TrayMenuTest, ConnectionStatusLineForEveryStateAndReason) {
    struct Case {
        bool has;
        int state, failure;
        const char *text;
    } cases[] = {
        {false, 0, 0, "AirPlay: Not Connected"},     {true, 0, 3, "AirPlay: Not Connected"},
        {true, 6, 1, "AirPlay: Connection Blocked"}, {true, 6, 2, "AirPlay: Disconnected Remotely"},
        {true, 6, 3, "AirPlay: Connection Failed"},  {true, 6, 0, "AirPlay: Unknown State"},
        {true, 2, 7, "AirPlay: Unknown State"},      {true, 4, 0, "AirPlay: Mirroring..."},
        {true, 6, 4, "AirPlay: Screen Capture Failed"}, {true, 3, 4, "AirPlay: Screen Capture Failed"},
        {true, 1, 0, "AirPlay: Connecting..."},      {true, 3, 0, "AirPlay: Connecting..."},
    };
    for (const Case &c : cases) {
        in.hasConnection = c.has;
        in.connectionState = c.state;
        in.connectionFailure = c.failure;
        EXPECT_EQ(c.text, StatusLine()) << "state " << c.state << " failure " << c.failure;
    }
}

TEST_F(TrayMenuTest, ReceiversAreCheckedAndGreyedWhileConnecting) {
    services = Names({"Den", "Kitchen"});
    in.services = services;
    in.selectedIndex = 1;
    in.hasConnection = true;
    in.connectionState = 2; // negotiating
    auto menu = BuildTrayMenu(&in);
    const MenuEntry *den = Find(menu, kCommandFirstReceiver, 1); // after the status line
    const MenuEntry *kitchen = Find(menu, kCommandFirstReceiver + 1);
    ASSERT_TRUE(den && kitchen);
    EXPECT_EQ("Den", den->text);
    EXPECT_FALSE(den->checked);
    EXPECT_TRUE(kitchen->checked);
    EXPECT_TRUE(den->greyed && kitchen->greyed && !kitchen->enabled);
    // Failed: enabled again, with the reason in the status line.
    in.connectionState = 6;
    in.connectionFailure = 3;
    menu = BuildTrayMenu(&in);
    EXPECT_TRUE(Find(menu, kCommandFirstReceiver + 1)->enabled);
    EXPECT_EQ("AirPlay: Connection Failed", menu[2].text);
    // Mirroring (established): enabled, so choosing one switches or stops.
    in.connectionState = 4;
    in.connectionFailure = 0;
    in.established = true;
    menu = BuildTrayMenu(&in);
    EXPECT_TRUE(Find(menu, kCommandFirstReceiver + 1)->enabled);
}

TEST_F(TrayMenuTest, AudioLinesForStatesAndRememberedFailures) {
    struct Case {
        bool enabled, hasAudio;
        int state, failure, last;
        const char *line, *toggle;
        bool toggleEnabled;
    } cases[] = {
        {true, true, 9, 0, 0, "Audio: Connected", "Disable Audio", true},
        {true, false, 0, 0, 0, "Audio: Not Connected", "Disable Audio", true},
        {true, true, 11, 0, 0, "Audio: Disconnecting...", "Disable Audio", false},
        {true, true, 5, 0, 0, "Audio: Connecting...", "Disable Audio", true},
        {false, true, 11, 0, 0, "Audio: Disconnecting...", "Enable Audio", false},
        {false, false, 0, 0, 0, "Audio: Disabled", "Enable Audio", true},
        // The live connection's reason wins and leaves the flag alone.
        {true, true, 5, 1, 0, "Audio: Connection Blocked", "Disable Audio", true},
        {true, true, 5, 4, 0, "Audio: Connecting...", "Disable Audio", true},
        {true, true, 5, 9, 0, "Audio: Unknown State", "Disable Audio", true},
        // A remembered failure switches audio off; a remembered 4 does nothing.
        {true, false, 0, 0, 1, "Audio: Connection Blocked", "Enable Audio", true},
        {true, false, 0, 0, 2, "Audio: Disconnected Remotely", "Enable Audio", true},
        {true, false, 0, 0, 3, "Audio: Connection Failed", "Enable Audio", true},
        {true, false, 0, 0, 4, "Audio: Not Connected", "Disable Audio", true},
    };
    for (const Case &c : cases) {
        in.audioEnabled = c.enabled;
        in.hasAudioConnection = c.hasAudio;
        in.audioState = c.state;
        in.audioFailure = c.failure;
        in.lastAudioFailure = c.last;
        auto menu = BuildTrayMenu(&in);
        const MenuEntry *line = Find(menu, kCommandToggleAudio);
        const MenuEntry *toggle = Find(menu, kCommandToggleAudio, 1);
        ASSERT_TRUE(line && toggle);
        SCOPED_TRACE(std::string(c.line) + " state " + std::to_string(c.state));
        EXPECT_EQ(c.line, line->text);
        EXPECT_TRUE(line->greyed);
        EXPECT_EQ(c.toggle, toggle->text);
        EXPECT_EQ(c.toggleEnabled, toggle->enabled);
        EXPECT_FALSE(toggle->greyed);
        EXPECT_EQ(std::string(c.toggle) == "Disable Audio", in.audioEnabled);
    }
}

TEST_F(TrayMenuTest, ApplicationSubmenuNumbersItemsInTheOrderTheyAreMade) {
    apps = CFArrayNew(3);
    CFValue *a[] = {App("Editor", {{0x100, "a.txt"}, {0x101, "b.txt"}, {0x102, "c.txt"}}),
                    App("Terminal", {{0x200, "shell"}}),
                    App("Viewer", {{0x300, "one"}, {0x301, "two"}})};
    for (CFValue *x : a) {
        CFArrayPush(apps, x);
        CFValueRelease(x);
    }
    in.apps = apps;
    auto menu = BuildTrayMenu(&in);
    const MenuEntry *sub = nullptr;
    for (const MenuEntry &e : menu)
        if (e.kind == kMenuSubmenu) sub = &e;
    ASSERT_TRUE(sub);
    EXPECT_EQ("[ ] Specific App... >\n"
              "  [ ] Editor >\n"
              "    [ ] a.txt #33850\n"
              "    [ ] b.txt #33851\n"
              "    [ ] c.txt #33852\n"
              "  [ ] Terminal #33853\n"
              "  [ ] Viewer >\n"
              "    [ ] one #33854\n"
              "    [ ] two #33855\n",
              DescribeMenu({*sub}));
    EXPECT_EQ(0x101u, AppWindowForCommand(apps, 33851));
    EXPECT_EQ(0x200u, AppWindowForCommand(apps, 33853));
    EXPECT_EQ(0x301u, AppWindowForCommand(apps, 33855));
    EXPECT_EQ(0u, AppWindowForCommand(apps, 33856));
    EXPECT_EQ(0u, AppWindowForCommand(apps, 33849));

    // A chosen window: the submenu is checked and named after its application; no
    // display is checked.
    in.chosenAppWindow = 0x301;
    menu = BuildTrayMenu(&in);
    for (const MenuEntry &e : menu) {
        if (e.kind == kMenuSubmenu) {
            EXPECT_TRUE(e.checked);
            EXPECT_EQ("Viewer", e.text);
        } else if (e.id >= kCommandFirstDisplay && e.id < kCommandFirstDisplay + 32) {
            EXPECT_FALSE(e.checked) << e.text;
        }
    }
    // A window no longer listed keeps the check with the generic title.
    in.chosenAppWindow = 0x999;
    menu = BuildTrayMenu(&in);
    for (const MenuEntry &e : menu)
        if (e.kind == kMenuSubmenu) EXPECT_EQ("Specific App...", e.text);
}

} // namespace
