// Which window system the capture thread talks to: the X server (front-buffer and
// window methods) or, in a Wayland session, the desktop portal's ScreenCast stream.
#pragma once

#include <cstdint>
#include <string>

enum CaptureBackend : int32_t {
    CaptureBackendX11 = 0,
    CaptureBackendPortal = 1,
};

// The rule, portable: the "CaptureBackend" switch ("portal" or "x11", any case) wins;
// otherwise a Wayland session (WAYLAND_DISPLAY set, or XDG_SESSION_TYPE "wayland")
// takes the portal and anything else X11. Null arguments count as unset.
CaptureBackend CaptureBackendFor(const char *switchValue, const char *waylandDisplay,
                                 const char *sessionType);

// The rule applied to the Ostrel.conf switch and this process's environment; the choice
// and why are logged when they differ from the previous call.
CaptureBackend ChooseCaptureBackend();

// Where the portal's restore token is kept: "ScreenCastToken" in the data folder.
std::string PortalTokenPath();
