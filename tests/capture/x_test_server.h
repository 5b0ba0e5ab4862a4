// A private X server (Xvfb) with an optional window manager (openbox) for tests and
// benchmarks, plus small Xlib helpers for test client windows.
#pragma once

#include <X11/Xlib.h>

#include <string>
#include <sys/types.h>

struct TestXServer {
    pid_t xvfb;
    pid_t windowManager;
    int displayNumber;
    std::string name; // ":N"
};

// Starts Xvfb on a free display number (the server picks it) at width x height x 24 and,
// when withWindowManager, openbox; waits until both are ready (at most about 10 s).
// Returns false (and cleans up) on failure.
bool TestXServerStart(TestXServer *server, int width, int height, bool withWindowManager);
// Kills both by PID and reaps them.
void TestXServerStop(TestXServer *server);

// Runs a program with DISPLAY set to server (argv null-terminated); returns its exit
// status, or -1. Waits at most timeoutMs.
int TestRunProgram(const TestXServer &server, const char *const *argv, int timeoutMs);
// Starts a program with DISPLAY set to server; returns its PID or -1.
pid_t TestSpawnProgram(const TestXServer &server, const char *const *argv);
// Kills and reaps a spawned program.
void TestKillProgram(pid_t pid);

// A top-level test window with a solid background colour (0xRRGGBB).
struct TestWindow {
    Display *display;
    Window window;
};
// Creates, names and maps a window at (x, y) asking the window manager to keep that
// position; waits until it is viewable and listed by the window manager.
bool TestWindowCreate(Display *display, TestWindow *w, int x, int y, int width, int height,
                      unsigned long background, const char *title, const char *windowClass);
void TestWindowFill(TestWindow *w, int x, int y, int width, int height, unsigned long colour);
// Waits until cond() holds or timeoutMs passes; pumps no events (the server paints
// backgrounds itself).
template <typename F> bool TestWaitFor(F cond, int timeoutMs);
// The window's position on the root window.
bool TestWindowRootPosition(Display *display, Window window, int *x, int *y);
// True when the window manager lists the window in _NET_CLIENT_LIST.
bool TestWindowIsManaged(Display *display, Window window);

void TestSleepMs(int ms);

template <typename F> bool TestWaitFor(F cond, int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        if (cond()) return true;
        TestSleepMs(20);
    }
    return cond();
}
