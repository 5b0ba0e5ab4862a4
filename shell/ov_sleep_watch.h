// Suspend and resume: logind's PrepareForSleep signal on the system bus. Main thread.
#pragma once

#include <functional>

struct SleepWatch;

// onSleep(true) before the system suspends, onSleep(false) after it resumed. Null when
// the system bus cannot be reached (the program then carries on without).
SleepWatch *SleepWatchStart(std::function<void(bool suspending)> onSleep);
void SleepWatchStop(SleepWatch *watch);
