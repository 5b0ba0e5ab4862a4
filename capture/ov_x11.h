// X11 connection helpers for the ov_x11_*.cpp files only. Each thread that talks to
// the X server uses a connection of its own (the capture thread opens one per run;
// the user-interface calls share one guarded by a lock), and every connection opened
// here reports protocol errors to the thread that caused them instead of exiting.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Opens a connection to the display named by OvX11SetDisplayName, else $DISPLAY.
// Returns null (and logs) when no server answers.
Display *OvX11Open();
void OvX11Close(Display *display);

// The connection shared by the user-interface calls (display enumeration, window
// lists). Lock OvX11SharedLock while using it. Null when no server answers.
Display *OvX11Shared();
std::mutex &OvX11SharedLock();

// Error trap: between Begin and End, protocol errors caused by this thread are recorded
// instead of reaching the default handler. End syncs and returns the first error code
// seen (0 when none). Traps nest.
void OvX11TrapBegin();
int OvX11TrapEnd(Display *display);
// The same without the sync, for traps whose last request has a reply: Xlib has handled
// every error of the earlier requests by the time that reply arrives, so a second round
// trip would learn nothing. Capture paths that run every frame use it.
int OvX11TrapEndAfterReply();

// Property helpers. Each returns false when the property is missing or of another type.
bool OvX11GetCardinals(Display *display, Window window, Atom property,
                       std::vector<unsigned long> *values);
bool OvX11GetWindows(Display *display, Window window, Atom property, std::vector<Window> *values);
bool OvX11GetAtoms(Display *display, Window window, Atom property, std::vector<Atom> *values);
// _NET_WM_NAME (UTF-8), else WM_NAME. Empty when neither is set.
std::string OvX11WindowTitle(Display *display, Window window);
// WM_CLASS class part (the second string), else the instance part.
std::string OvX11WindowClass(Display *display, Window window);
Atom OvX11Atom(Display *display, const char *name);

// Root-relative rectangle of the window's own area. False when the window is gone.
bool OvX11WindowRootRect(Display *display, Window window, int *x, int *y, int *width, int *height,
                         int *viewable);
// True when the window manager shows the window as minimised (_NET_WM_STATE_HIDDEN or
// WM_STATE Iconic).
bool OvX11WindowMinimised(Display *display, Window window);
// Pointer position on the root window.
bool OvX11PointerPosition(Display *display, int *x, int *y);
