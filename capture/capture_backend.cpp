#include "capture/capture_backend.h"

#include "base/folders.h"
#include "base/log.h"

#include <atomic>
#include <cstdlib>
#include <strings.h>

CaptureBackend CaptureBackendFor(const char *switchValue, const char *waylandDisplay,
                                 const char *sessionType) {
    if (switchValue && !strcasecmp(switchValue, "portal")) return CaptureBackendPortal;
    if (switchValue && !strcasecmp(switchValue, "x11")) return CaptureBackendX11;
    if (waylandDisplay && *waylandDisplay) return CaptureBackendPortal;
    if (sessionType && !strcasecmp(sessionType, "wayland")) return CaptureBackendPortal;
    return CaptureBackendX11;
}

CaptureBackend ChooseCaptureBackend() {
    static std::atomic<int> previous{-1};
    std::string value;
    bool forced = ReadRegistrySwitch("Ostrel", "CaptureBackend", true, &value) != 0;
    if (forced && strcasecmp(value.c_str(), "portal") && strcasecmp(value.c_str(), "x11")) {
        DebugLog(2, "Capture: CaptureBackend switch \"%s\" is neither portal nor x11; ignored\n",
                 value.c_str());
        forced = false;
    }
    CaptureBackend backend = CaptureBackendFor(
        forced ? value.c_str() : nullptr, getenv("WAYLAND_DISPLAY"), getenv("XDG_SESSION_TYPE"));
    if (previous.exchange(backend) != backend) {
        DebugLog(2, "Capture: using the %s (%s)\n",
                 backend == CaptureBackendPortal ? "ScreenCast portal" : "X server",
                 forced ? "CaptureBackend switch" : "session type");
    }
    return backend;
}

std::string PortalTokenPath() {
    return DataFolder() + "ScreenCastToken";
}
