// Capture logic that needs no window system: names, escaping, grouping, occlusion rule,
// cursor blending, desktop entries.
#include "capture/capture_backend.h"
#include "capture/capture_method.h"
#include "capture/displays.h"
#include "capture/windows.h"
#include "plist/cfvalue.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

std::string Escaped(const std::string &in) {
    std::string s = in;
    EscapeJsonText(&s);
    return s;
}

TEST(EscapeJsonText, EscapesEachSpecialByteOnce) {
    EXPECT_EQ(Escaped("a/b"), "a\\/b");
    EXPECT_EQ(Escaped("C:\\dir"), "C:\\\\dir");
    EXPECT_EQ(Escaped("say \"hi\""), "say \\\"hi\\\"");
    EXPECT_EQ(Escaped("l1\nl2\tx\ry"), "l1\\nl2\\tx\\ry");
    // One pass: the backslash added for a slash is not escaped again.
    EXPECT_EQ(Escaped("\\/"), "\\\\\\/");
    EXPECT_EQ(Escaped(""), "");
    // Every other byte, including UTF-8 and control bytes, is kept.
    EXPECT_EQ(Escaped("caf\xC3\xA9\x01"), "caf\xC3\xA9\x01");
    // A title made only of escapable bytes doubles without loss.
    std::string many(300, '/');
    EXPECT_EQ(Escaped(many).size(), 600u);
}

TEST(WindowTitle, TruncationKeepsWholeCharacters) {
    std::string ascii(300, 'x');
    TruncateWindowTitle(&ascii);
    EXPECT_EQ(ascii.size(), 253u);
    // 252 ASCII bytes then a two-byte character straddling the limit: cut before it.
    std::string mixed = std::string(252, 'a') + "\xC3\xA9" + "tail";
    TruncateWindowTitle(&mixed);
    EXPECT_EQ(mixed, std::string(252, 'a'));
    std::string shortTitle = "short";
    TruncateWindowTitle(&shortTitle);
    EXPECT_EQ(shortTitle, "short");
    EXPECT_TRUE(IsExcludedWindowTitle("Program Manager"));
    EXPECT_FALSE(IsExcludedWindowTitle("Program Manager 2"));
    EXPECT_FALSE(IsExcludedWindowTitle(""));
}

TEST(DisplayList, NamesRectsAndLimitOf32) {
    DisplayList list{};
    ASSERT_EQ(DisplayListAdd(&list, DisplayRect{0, 0, 1920, 1080}, 11), 1);
    ASSERT_EQ(DisplayListAdd(&list, DisplayRect{1920, 0, 3200, 1024}, 12), 1);
    EXPECT_STREQ(list.names[0], "Display 1 - (1920x1080)");
    EXPECT_STREQ(list.names[1], "Display 2 - (1280x1024)");
    EXPECT_EQ(list.monitors[1], 12u);
    for (int i = 2; i < kMaxDisplays; i++)
        ASSERT_EQ(DisplayListAdd(&list, DisplayRect{0, 0, 10, 10}, i), 1);
    EXPECT_EQ(DisplayListAdd(&list, DisplayRect{0, 0, 99999, 99999}, 99), 0);
    EXPECT_EQ(list.count, kMaxDisplays);
    // The longest possible name still fits with its terminator.
    DisplayList big{};
    DisplayListAdd(&big, DisplayRect{-2000000000, 0, 2000000000, 2000000000}, 1);
    EXPECT_LT(strlen(big.names[0]), (size_t)kDisplayNameBytes);

    DisplayNamesRebuild(&list);
    CFValue *names = DisplayNames();
    ASSERT_EQ(CFArrayCount(names), (uint32_t)kMaxDisplays);
    EXPECT_STREQ(CFStringText(CFArrayGet(names, 1)), "Display 2 - (1280x1024)");
}

TEST(DisplayList, WindowBelongsToDisplayWithLargestOverlap) {
    DisplayList list{};
    DisplayListAdd(&list, DisplayRect{0, 0, 1920, 1080}, 1);
    DisplayListAdd(&list, DisplayRect{1920, 0, 3200, 1024}, 2);
    EXPECT_EQ(DisplayIndexOfRect(&list, DisplayRect{100, 100, 200, 200}), 0);
    EXPECT_EQ(DisplayIndexOfRect(&list, DisplayRect{1900, 10, 2500, 100}), 1);
    EXPECT_EQ(DisplayIndexOfRect(&list, DisplayRect{1800, 10, 1950, 100}), 0);
    EXPECT_EQ(DisplayIndexOfRect(&list, DisplayRect{4000, 0, 4100, 100}), -1);
    // Touching an edge is no overlap.
    EXPECT_EQ(DisplayIndexOfRect(&list, DisplayRect{3200, 0, 3300, 100}), -1);
    DisplayList empty{};
    EXPECT_EQ(DisplayIndexOfRect(&empty, DisplayRect{0, 0, 10, 10}), -1);
}

TEST(WindowCoveredInStack, OnlyVisibleOrdinaryWindowsAboveCount) {
    StackEntry below{1, {0, 0, 100, 100}, 1, 0};
    StackEntry self{2, {50, 50, 250, 250}, 1, 0};
    StackEntry farAway{3, {500, 500, 600, 600}, 1, 0};
    StackEntry overlapping{4, {200, 200, 300, 300}, 1, 0};
    StackEntry dock{5, {0, 0, 1000, 30 + 50}, 1, 1};
    StackEntry hidden{6, {0, 0, 1000, 1000}, 0, 0};

    StackEntry topmost[] = {below, self};
    EXPECT_EQ(WindowCoveredInStack(topmost, 2, 2), 0);
    StackEntry clear[] = {below, self, farAway, dock, hidden};
    EXPECT_EQ(WindowCoveredInStack(clear, 5, 2), 0);
    StackEntry covered[] = {self, farAway, overlapping};
    EXPECT_EQ(WindowCoveredInStack(covered, 3, 2), 1);
    // A window below it never covers it.
    StackEntry coveredFromBelow[] = {overlapping, self, farAway};
    EXPECT_EQ(WindowCoveredInStack(coveredFromBelow, 3, 2), 0);
    StackEntry invisibleSelf = self;
    invisibleSelf.visible = 0;
    StackEntry invisible[] = {invisibleSelf, farAway};
    EXPECT_EQ(WindowCoveredInStack(invisible, 2, 2), 1);
    EXPECT_EQ(WindowCoveredInStack(covered, 3, 77), 0);
    // Rectangles that only share an edge do not intersect.
    StackEntry edge{7, {250, 50, 300, 100}, 1, 0};
    StackEntry touching[] = {self, edge};
    EXPECT_EQ(WindowCoveredInStack(touching, 2, 2), 0);
}

// A slot of w x h BGRX pixels filled with one colour.
std::vector<uint8_t> Slot(int w, int h, uint8_t b, uint8_t g, uint8_t r) {
    std::vector<uint8_t> s((size_t)w * h * 4);
    for (size_t i = 0; i < s.size(); i += 4) {
        s[i] = b;
        s[i + 1] = g;
        s[i + 2] = r;
        s[i + 3] = 0;
    }
    return s;
}

const uint8_t *Pixel(const std::vector<uint8_t> &s, int w, int x, int y) {
    return &s[((size_t)y * w + x) * 4];
}

TEST(DrawCursorOverlay, PlacesCellAtHotSpotAndClipsAtEdges) {
    const int w = 20, h = 10;
    std::vector<uint32_t> argb(4 * 3, 0xFF0000FFu); // opaque blue, 4 wide, 3 high
    CursorImage cursor{4, 3, 1, 2, 1, argb.data()};
    CaptureRect rect{100, 200, w, h};

    auto slot = Slot(w, h, 0, 0, 255);
    DrawCursorOverlay(rect, 105, 204, cursor, slot.data());
    // Cell corner at (105 - 1 - 100, 204 - 2 - 200) = (4, 2).
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            bool inCell = x >= 4 && x < 8 && y >= 2 && y < 5;
            const uint8_t *p = Pixel(slot, w, x, y);
            EXPECT_EQ(p[0], inCell ? 255 : 0) << x << "," << y;
            EXPECT_EQ(p[2], inCell ? 0 : 255) << x << "," << y;
        }

    // At the bottom-right corner only the part inside is drawn (checked by the bounds
    // sanitizer too).
    slot = Slot(w, h, 0, 0, 255);
    DrawCursorOverlay(rect, 100 + w - 1 + 1, 200 + h - 1 + 2, cursor, slot.data());
    EXPECT_EQ(Pixel(slot, w, w - 1, h - 1)[0], 255);
    EXPECT_EQ(Pixel(slot, w, w - 2, h - 1)[0], 0);
    EXPECT_EQ(Pixel(slot, w, w - 1, h - 2)[0], 0);

    // Above and left of the area: only the cell's last row and column land.
    slot = Slot(w, h, 0, 0, 255);
    DrawCursorOverlay(rect, 100 - 3 + 1, 200 - 2 + 2, cursor, slot.data());
    EXPECT_EQ(Pixel(slot, w, 0, 0)[0], 255);
    EXPECT_EQ(Pixel(slot, w, 1, 0)[0], 0);
    EXPECT_EQ(Pixel(slot, w, 0, 1)[0], 0);

    // Entirely outside: nothing changes.
    slot = Slot(w, h, 0, 0, 255);
    auto before = slot;
    DrawCursorOverlay(rect, 5000, -5000, cursor, slot.data());
    DrawCursorOverlay(rect, 100 - 10, 200, cursor, slot.data());
    EXPECT_EQ(slot, before);
}

TEST(DrawCursorOverlay, BlendsStraightColourByAlpha) {
    const int w = 2, h = 1;
    // Half-transparent white, premultiplied: A=128, colour 128.
    uint32_t half = (128u << 24) | (128u << 16) | (128u << 8) | 128u;
    uint32_t pixels[2] = {half, 0x00000000u};
    CursorImage cursor{2, 1, 0, 0, 1, pixels};
    auto slot = Slot(w, h, 0, 100, 200);
    DrawCursorOverlay(CaptureRect{0, 0, w, h}, 0, 0, cursor, slot.data());
    // trunc(under * (1 - 128/255) + 255 * 128/255)
    EXPECT_EQ(Pixel(slot, w, 0, 0)[0], 128);
    EXPECT_EQ(Pixel(slot, w, 0, 0)[1], 177);
    EXPECT_EQ(Pixel(slot, w, 0, 0)[2], 227);
    // Transparent pixel leaves the slot alone.
    EXPECT_EQ(Pixel(slot, w, 1, 0)[1], 100);
    EXPECT_EQ(Pixel(slot, w, 1, 0)[2], 200);
}

TEST(DrawCursorOverlay, TwoToneCursorContrastsWithGround) {
    // A black body with a white border pixel: white becomes black on a light ground.
    uint32_t pixels[2] = {0xFF000000u, 0xFFFFFFFFu};
    ASSERT_EQ(CursorImageIsTwoTone(pixels, 2), 1);
    CursorImage cursor{2, 1, 0, 0, 0, pixels};
    auto light = Slot(2, 1, 250, 240, 230);
    DrawCursorOverlay(CaptureRect{0, 0, 2, 1}, 0, 0, cursor, light.data());
    EXPECT_EQ(Pixel(light, 2, 0, 0)[0], 0);
    EXPECT_EQ(Pixel(light, 2, 1, 0)[0], 0);
    EXPECT_EQ(Pixel(light, 2, 1, 0)[2], 0);
    // On a dark (or only partly light) ground it is drawn white.
    auto dark = Slot(2, 1, 250, 240, 10);
    DrawCursorOverlay(CaptureRect{0, 0, 2, 1}, 0, 0, cursor, dark.data());
    EXPECT_EQ(Pixel(dark, 2, 0, 0)[2], 0);
    EXPECT_EQ(Pixel(dark, 2, 1, 0)[0], 255);
    EXPECT_EQ(Pixel(dark, 2, 1, 0)[2], 255);

    uint32_t coloured[2] = {0xFF000000u, 0xFF00FF00u};
    EXPECT_EQ(CursorImageIsTwoTone(coloured, 2), 0);
    uint32_t soft[2] = {0x80000000u, 0xFFFFFFFFu};
    EXPECT_EQ(CursorImageIsTwoTone(soft, 2), 0);
}

// ---- Window and application records ----

std::map<uint32_t, std::string> gFakeImages;

int FakeImageName(uint32_t processId, char *path, size_t capacity) {
    auto it = gFakeImages.find(processId);
    if (it == gFakeImages.end()) return 0;
    snprintf(path, capacity, "%s", it->second.c_str());
    return 1;
}

class DesktopDirs : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ostrel-desktop-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        mkdir((root_ + "/home").c_str(), 0700);
        mkdir((root_ + "/home/applications").c_str(), 0700);
        mkdir((root_ + "/data").c_str(), 0700);
        mkdir((root_ + "/data/applications").c_str(), 0700);
        SaveEnv("XDG_DATA_HOME", &savedHome_);
        SaveEnv("XDG_DATA_DIRS", &savedDirs_);
        setenv("XDG_DATA_HOME", (root_ + "/home").c_str(), 1);
        setenv("XDG_DATA_DIRS", (root_ + "/data").c_str(), 1);
    }
    static void SaveEnv(const char *name, std::pair<bool, std::string> *saved) {
        const char *v = getenv(name);
        *saved = {v != nullptr, v ? v : ""};
    }
    static void RestoreEnv(const char *name, const std::pair<bool, std::string> &saved) {
        if (saved.first)
            setenv(name, saved.second.c_str(), 1);
        else
            unsetenv(name);
    }
    void TearDown() override {
        RestoreEnv("XDG_DATA_HOME", savedHome_);
        RestoreEnv("XDG_DATA_DIRS", savedDirs_);
        std::string cmd = "rm -rf '" + root_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void Write(const std::string &relative, const std::string &text) {
        std::ofstream(root_ + "/" + relative) << text;
    }
    std::string root_;
    std::pair<bool, std::string> savedHome_, savedDirs_;
};

TEST_F(DesktopDirs, EntryNameByWindowClassThenProgram) {
    Write("data/applications/editor.desktop",
          "[Desktop Entry]\nName=Text Editor\nExec=env LANG=C /usr/bin/gedit %U\n"
          "[Desktop Action new]\nName=New Window\nExec=other\n");
    Write("data/applications/viewer.desktop",
          "[Desktop Entry]\nName = Image Viewer\nExec=\"/opt/my apps/viewer\" --x\n"
          "StartupWMClass=Viewer\n");
    Write("home/applications/override.desktop",
          "[Desktop Entry]\nName=Personal Calc\nTryExec=/usr/bin/calc\nExec=calc\n");
    Write("data/applications/broken.desktop", "[Desktop Entry]\nExec=noname\n");
    Write("data/applications/notes.txt", "[Desktop Entry]\nName=Wrong\nExec=gedit\n");

    EXPECT_EQ(DesktopEntryName("gedit", ""), "Text Editor");
    EXPECT_EQ(DesktopEntryName("viewer", ""), "Image Viewer");
    EXPECT_EQ(DesktopEntryName("anything", "viewer"), "Image Viewer");
    EXPECT_EQ(DesktopEntryName("calc", ""), "Personal Calc");
    EXPECT_EQ(DesktopEntryName("other", ""), "");
    EXPECT_EQ(DesktopEntryName("noname", ""), "");
    EXPECT_EQ(DesktopEntryName("", ""), "");
}

CFValue *Record(uint32_t window, const char *title, const char *app) {
    return WindowRecordNew(window, title, 100 + window, app);
}

std::vector<std::string> Names(CFValue *array, const char *key) {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < CFArrayCount(array); i++)
        out.push_back(CFStringText(CFDictionaryFindText(CFArrayGet(array, i), key)));
    return out;
}

TEST(AppList, GroupsByAppNameAndSortsChildren) {
    CFValue *windows = CFArrayNew(8);
    CFValue *records[] = {Record(1, "b", "Notepad"), Record(2, "Sheet", "calc"),
                          Record(3, "a", "Notepad"), Record(4, "c", "Notepad"),
                          Record(5, "x/y", "Browser")};
    for (CFValue *r : records) {
        CFArrayPush(windows, r);
        CFValueRelease(r);
    }
    CFValue *apps = AppListFromWindows(windows);
    ASSERT_NE(apps, nullptr);
    EXPECT_EQ(Names(apps, "AppName"), (std::vector<std::string>{"Browser", "calc", "Notepad"}));

    CFValue *notepad = CFArrayGet(apps, 2);
    CFValue *children = CFDictionaryFindText(notepad, "Children");
    ASSERT_EQ(CFArrayCount(children), 3u);
    EXPECT_EQ(Names(children, "WindowName"), (std::vector<std::string>{"a", "b", "c"}));
    // Exactly one child is the copy of the application record itself: same window,
    // a different record.
    int copies = 0;
    for (uint32_t i = 0; i < 3; i++) {
        CFValue *child = CFArrayGet(children, i);
        if (CFNumberGetInt(CFDictionaryFindText(child, "HWND_int")) ==
            CFNumberGetInt(CFDictionaryFindText(notepad, "HWND_int"))) {
            EXPECT_NE(child, notepad);
            copies++;
        }
    }
    EXPECT_EQ(copies, 1);
    // The escaped title survives grouping.
    CFValue *browser = CFArrayGet(apps, 0);
    EXPECT_STREQ(CFStringText(CFDictionaryFindText(browser, "WindowName")), "x\\/y");
    // Keys in their fixed order.
    const char *keys[] = {"HWND", "WindowName", "ProcessID", "AppName", "HWND_int", "Children"};
    ASSERT_EQ(CFDictionaryCount(browser), 6u);
    for (uint32_t i = 0; i < 6; i++)
        EXPECT_STREQ(CFStringText(CFDictionaryKeyAt(browser, i)), keys[i]);
    uintptr_t word = 0;
    EXPECT_TRUE(CFPointerGet(CFDictionaryFindText(browser, "HWND"), &word));
    EXPECT_EQ(word, 5u);
    EXPECT_EQ(CFNumberSubtype(CFDictionaryFindText(browser, "ProcessID")), kCFNumberUnsigned);
    EXPECT_EQ(CFNumberSubtype(CFDictionaryFindText(browser, "HWND_int")), kCFNumberSigned);

    CFValueRelease(apps);
    CFValueRelease(windows);
    CFValue *empty = CFArrayNew(1);
    EXPECT_EQ(AppListFromWindows(empty), nullptr);
    EXPECT_EQ(AppListFromWindows(nullptr), nullptr);
    CFValueRelease(empty);
}

TEST(AppList, HandleLow32BitsAreSigned) {
    CFValue *r = WindowRecordNew(0x1FFFFFFFFull, "t", 7, "a");
    EXPECT_EQ(CFNumberGetInt(CFDictionaryFindText(r, "HWND_int")), -1);
    CFValueRelease(r);
}

TEST_F(DesktopDirs, WindowListNamesSkipsAndExcludes) {
    Write("data/applications/pad.desktop", "[Desktop Entry]\nName=Note Pad\nExec=notepad\n");
    Write("data/applications/self.desktop", "[Desktop Entry]\nName=Ostrel\nExec=ostrel\n");
    WindowTracker *tracker = WindowTrackerCreate();
    QueryImageNameFn saved = tracker->queryImageName;
    tracker->queryImageName = FakeImageName;
    gFakeImages = {{100, "/usr/bin/notepad"},
                   {101, "/opt/tool (deleted)"},
                   {102, "/usr/bin/ostrel"},
                   {103, "/usr/bin/plain"}};
    gFakeImages[tracker->ownProcessId] = "/usr/bin/notepad";
    std::vector<WindowCandidate> candidates = {
        {1, "Doc \"1\"", 100, "Other"},
        {2, "", 100, ""},              // no title: skipped
        {3, "Tool", 101, "ToolClass"}, // class name, deleted mark ignored
        {4, "Me", 102, ""},            // our own application name: skipped
        {5, "Ghost", 999, "X"},        // unreadable process: skipped
        {6, "Bare", 103, ""},          // nothing known: empty application name
        {7, "Own", tracker->ownProcessId, ""},
    };
    tracker->excludeOwnWindows = 0;
    CFValue *list = WindowListFromCandidates(tracker, candidates);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(Names(list, "WindowName"),
              (std::vector<std::string>{"Doc \\\"1\\\"", "Tool", "Bare", "Own"}));
    EXPECT_EQ(Names(list, "AppName"),
              (std::vector<std::string>{"Note Pad", "ToolClass", "", "Note Pad"}));
    CFValue *exe = ProcessExeName(101);
    EXPECT_STREQ(CFStringText(exe), "tool");
    CFValueRelease(exe);
    EXPECT_EQ(ProcessExeName(999), nullptr);
    CFValueRelease(list);

    tracker->excludeOwnWindows = 1;
    list = WindowListFromCandidates(tracker, candidates);
    EXPECT_EQ(Names(list, "WindowName"),
              (std::vector<std::string>{"Doc \\\"1\\\"", "Tool", "Bare"}));
    CFValueRelease(list);
    std::vector<WindowCandidate> none = {{5, "Ghost", 999, "X"}};
    EXPECT_EQ(WindowListFromCandidates(tracker, none), nullptr);
    tracker->excludeOwnWindows = 0;
    tracker->queryImageName = saved;
}

} // namespace

#include "capture/capture_manager.h"

namespace {

struct Size {
    float w, h;
};

Size Output(int w, int h, float tw, float th, double overscan, float *factor = nullptr) {
    Size s{};
    float f = 0;
    ComputeOutputSize(w, h, tw, th, overscan, &s.w, &s.h, &f);
    if (factor) *factor = f;
    return s;
}

TEST(OutputSizeRule, WorkedExamples) {
    Size s = Output(1920, 1080, 1920, 1080, 0.0);
    EXPECT_EQ(s.w, 1920);
    EXPECT_EQ(s.h, 1080);
    s = Output(1920, 1080, 1920, 1080, 0.1);
    EXPECT_EQ(s.w, 1728);
    EXPECT_EQ(s.h, 972);
    float factor = 0;
    s = Output(1366, 768, 1280, 720, 0.0, &factor);
    EXPECT_EQ(s.w, 1280);
    EXPECT_EQ(s.h, 716);
    EXPECT_FLOAT_EQ(factor, 1280.0f / 1366.0f);
    s = Output(1280, 1024, 1280, 720, 0.0, &factor);
    EXPECT_EQ(s.w, 900);
    EXPECT_EQ(s.h, 720);
    EXPECT_FLOAT_EQ(factor, 720.0f / 1024.0f);
    s = Output(2560, 1440, 1920, 1080, 0.05);
    EXPECT_EQ(s.w, 1824);
    EXPECT_EQ(s.h, 1024);
}

TEST(OutputSizeRule, DegenerateSizesGiveZeroNotInfinity) {
    float factor = 1;
    Size s = Output(0, 1080, 1920, 1080, 0.0, &factor);
    EXPECT_EQ(s.w, 0);
    EXPECT_EQ(s.h, 0);
    EXPECT_EQ(factor, 0);
    s = Output(1920, 1080, 0, 0, 0.0);
    EXPECT_EQ(s.w, 0);
    EXPECT_EQ(s.h, 0);
    // Every result is a multiple of 4, also for odd sizes.
    for (int w = 1; w < 300; w += 37)
        for (int h = 1; h < 300; h += 41) {
            s = Output(w, h, 1280, 720, 0.13);
            EXPECT_EQ((int)s.w % 4, 0);
            EXPECT_EQ((int)s.h % 4, 0);
            EXPECT_LE(s.w, 1280);
            EXPECT_LE(s.h, 720);
        }
}

TEST(CapturePacing, SleepsTheRestOfTheInterval) {
    EXPECT_EQ(CapturePacingSleepMs(10, 0.0), 100);
    EXPECT_EQ(CapturePacingSleepMs(10, 0.0405), 59);
    EXPECT_EQ(CapturePacingSleepMs(10, 0.1), 0);
    EXPECT_EQ(CapturePacingSleepMs(60, 0.5), 0);
    EXPECT_EQ(CapturePacingSleepMs(60, 0.0), 16);
    // A zero or nonsensical setting never divides by zero or sleeps for ever.
    EXPECT_EQ(CapturePacingSleepMs(0, 0.0), 1000);
    EXPECT_EQ(CapturePacingSleepMs(-5, 0.0), 1000);
    EXPECT_EQ(CapturePacingSleepMs(1e9, 0.0), 4);
}

TEST(CaptureManagerSizes, ReceiverAndTargetRules) {
    CaptureManager *m = CaptureManagerCreate(0.0, 1, 1, 0, 30);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->quality.load(), 3);
    EXPECT_EQ(m->encoderLevel, 1);
    CaptureSetReceiverSize(m, 1366, 768);
    EXPECT_EQ(m->receiverSize[0].load(), 1280);
    EXPECT_EQ(m->receiverSize[1].load(), 720);
    CaptureSetReceiverSize(m, 1920, 1200);
    EXPECT_EQ(m->receiverSize[0].load(), 1920);
    EXPECT_EQ(m->receiverSize[1].load(), 1200);
    EXPECT_EQ(m->targetSize[1].load(), 1200);
    m->force720p.store(1);
    CaptureSetReceiverSize(m, 1920, 1080);
    EXPECT_EQ(m->receiverSize[0].load(), 1920);
    EXPECT_EQ(m->targetSize[0].load(), 1280);
    EXPECT_EQ(m->targetSize[1].load(), 720);

    // The encoded picture: targetSize for a window even with overscan, outputSize for a display.
    m->outputSize[0].store(1152);
    m->outputSize[1].store(648);
    float w, h;
    m->windowMode.store(1);
    CapturePictureSize(m, &w, &h);
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 720);
    m->windowMode.store(0);
    CapturePictureSize(m, &w, &h);
    EXPECT_EQ(w, 1152);
    EXPECT_EQ(h, 648);

    CaptureSetOverscan(m, 0.0);
    EXPECT_EQ(m->overscanChanged.load(), 0);
    CaptureSetOverscan(m, 0.1);
    EXPECT_EQ(m->overscanChanged.load(), 1);
    EXPECT_DOUBLE_EQ(m->overscan.load(), 0.1);
    // Stop while idle does nothing.
    CaptureVideoStop(m);
    EXPECT_EQ(m->running.load(), 0);
    CaptureManagerDestroy(m);
}

} // namespace

TEST(CaptureBackend, SwitchWinsThenTheSessionTypeDecides) {
    // The switch forces either way, in any case; an unknown value is as if unset.
    EXPECT_EQ(CaptureBackendFor("portal", nullptr, "x11"), CaptureBackendPortal);
    EXPECT_EQ(CaptureBackendFor("X11", "wayland-0", "wayland"), CaptureBackendX11);
    EXPECT_EQ(CaptureBackendFor("gpu", "wayland-0", nullptr), CaptureBackendPortal);
    // A Wayland session by either sign.
    EXPECT_EQ(CaptureBackendFor(nullptr, "/run/user/1000/wayland-0", nullptr),
              CaptureBackendPortal);
    EXPECT_EQ(CaptureBackendFor(nullptr, nullptr, "wayland"), CaptureBackendPortal);
    EXPECT_EQ(CaptureBackendFor(nullptr, "", "x11"), CaptureBackendX11);
    EXPECT_EQ(CaptureBackendFor(nullptr, nullptr, nullptr), CaptureBackendX11);
}
