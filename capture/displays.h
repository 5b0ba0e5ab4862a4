// The displays that can be mirrored. One DisplayList per process, rebuilt in place by
// EnumerateDisplays on the user-interface thread at start-up and after every display
// change; the capture thread reads it without a lock (entries are rewritten in place,
// never freed).
#pragma once

#include "capture/capture_types.h"

#include <cstdint>

struct CFValue;

constexpr int kMaxDisplays = 32;
constexpr int kDisplayNameBytes = 32;

struct DisplayList {
    int32_t count;                               // displays found, at most kMaxDisplays
    char names[kMaxDisplays][kDisplayNameBytes]; // "Display %i - (%ix%i)", 1-based number
    DisplayRect rects[kMaxDisplays];             // root-window coordinates
    uint64_t monitors[kMaxDisplays];             // XRandR monitor name atoms
};

// The process-wide list (zeroed until the first EnumerateDisplays).
DisplayList *ProcessDisplayList();

// The display names as a CFArray of CFString in index order: borrowed (retain to keep);
// null before the first enumeration. Replaced (old one released) by every enumeration.
CFValue *DisplayNames();

// Lists the monitors into the process-wide list and rebuilds DisplayNames: the X
// server's, or in a Wayland session those the portal's last screen-cast session
// described (none before the first). Returns the count (0 when nothing answers).
int EnumerateDisplays();

// Keeps the monitors a portal session described (position and size of each stream), for
// the next EnumerateDisplays. Any thread.
void PublishPortalDisplays(const DisplayRect *rects, const uint64_t *ids, int count);

// Index of the display the window lies on, or -1 ("Didn't find monitor for HWND!").
int DisplayIndexOfWindow(WindowHandle window);

// ---- Portable pieces, used by the X11 layer and by tests ----

void DisplayListReset(DisplayList *list);
// Appends one monitor: logs "Found Monitor ...", writes the name. Returns 0 when full.
int DisplayListAdd(DisplayList *list, const DisplayRect &rect, uint64_t monitor);
// Rebuilds the CFArray of names from list (replacing the process-wide one).
void DisplayNamesRebuild(const DisplayList *list);
// The display sharing the largest area with rect (the first on a tie); -1 when rect
// touches none. Does not log.
int DisplayIndexOfRect(const DisplayList *list, const DisplayRect &rect);
