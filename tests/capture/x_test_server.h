// A private X server (Xvfb) with an optional window manager (openbox) for tests and
// benchmarks, plus small Xlib helpers for test client windows.
#pragma once

#include <X11/Xlib.h>

#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/wait.h"

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

// Runs a program with DISPLAY set to server, its output discarded; returns its exit code, or
// -1. Waits at most timeoutMs.
int TestRunProgram(const TestXServer &server, const std::vector<std::string> &argv, int timeoutMs);
// Starts a program with DISPLAY set to server, its output discarded; returns its PID or -1.
// EndChild ends it.
pid_t TestSpawnProgram(const TestXServer &server, const std::vector<std::string> &argv);

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
// The window's position on the root window.
bool TestWindowRootPosition(Display *display, Window window, int *x, int *y);
// True when the window manager lists the window in _NET_CLIENT_LIST.
bool TestWindowIsManaged(Display *display, Window window);
