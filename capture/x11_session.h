// Which X server the capture code talks to. Portable header: callers (the shell, the
// tests) never see Xlib types.
#pragma once

// Name of the X display to use from now on (":99"); null or "" means $DISPLAY. Closes
// the shared user-interface connection so the next call reconnects.
void OvX11SetDisplayName(const char *name);
// Closes the shared user-interface connection (it reopens on the next use).
void OvX11CloseShared();
