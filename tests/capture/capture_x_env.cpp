// GoogleTest before Xlib: Xlib defines None and Bool as macros.
#include <gtest/gtest.h>

#include "capture_x_env.h"

#include "capture/x11_session.h"

namespace {

TestXServer gServer;
bool gStarted;
bool gTried;
Display *gDisplay;

class ServerEnvironment : public ::testing::Environment {
  public:
    void TearDown() override {
        OvX11CloseShared();
        if (gDisplay) XCloseDisplay(gDisplay);
        gDisplay = nullptr;
        if (gStarted) TestXServerStop(&gServer);
        gStarted = false;
    }
};

const bool gRegistered = [] {
    ::testing::AddGlobalTestEnvironment(new ServerEnvironment());
    return true;
}();

} // namespace

const TestXServer *CaptureTestServer() {
    (void)gRegistered;
    if (!gTried) {
        gTried = true;
        gStarted = TestXServerStart(&gServer, kTestScreenWidth, kTestScreenHeight, true);
        if (gStarted) OvX11SetDisplayName(gServer.name.c_str());
    }
    return gStarted ? &gServer : nullptr;
}

Display *CaptureTestDisplay() {
    if (!CaptureTestServer()) return nullptr;
    if (!gDisplay) gDisplay = XOpenDisplay(gServer.name.c_str());
    return gDisplay;
}
