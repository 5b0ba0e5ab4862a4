// One private X server with a window manager per test process, started on first use
// and stopped when the process's tests end.
#pragma once

#include "x_test_server.h"

constexpr int kTestScreenWidth = 1600;
constexpr int kTestScreenHeight = 1200;

// The running server, started (and the capture code pointed at it) on first call; null
// when it cannot be started.
const TestXServer *CaptureTestServer();
// A client connection of the test itself to that server (opened once).
Display *CaptureTestDisplay();
