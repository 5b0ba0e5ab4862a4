// Keeps the display awake while mirroring. Any thread may call; the calls nest only once
// (a second Prevent while held does nothing).
#pragma once

// Asks the session's idle-inhibition service (org.freedesktop.ScreenSaver over D-Bus),
// else suspends the X screen saver on $DISPLAY. Returns 1 when one of them took it.
int OvPreventDisplaySleep();
// Gives back what OvPreventDisplaySleep took.
void OvAllowDisplaySleep();
