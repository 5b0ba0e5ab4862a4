// Watches the X server's display configuration (monitors added, removed, resized or
// moved) from a thread of its own and reports each change once, so the shell can
// enumerate the displays again while a capture runs.
#pragma once

struct DisplayWatch;

// onChange runs on the watch thread after a change has settled (a burst of
// configuration events gives one call). Returns null when no X server answers.
[[nodiscard]] DisplayWatch *DisplayWatchStart(void (*onChange)(void *context), void *context);
// Ends the thread and frees the watch; returns at once. Null is ignored.
void DisplayWatchStop(DisplayWatch *watch);
