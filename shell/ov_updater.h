// Fetches the appcast feed with Qt Network and shows what it found. Main thread only.
#pragma once

#include <functional>
#include <string>

#include "shell/updater.h"

struct Updater;

// interactive: a window reports every outcome (the "Check for Updates" button); otherwise
// only an available update is shown. timeoutMs bounds the whole check, from the request to
// the last byte, and also a silence within it. 30 s: room for a slow name lookup (the
// resolver's 5 s per try), a TLS handshake and a redirect or two before a feed of a few
// kilobytes, yet short enough that a person who pressed "Check for Updates" hears back
// while still looking.
Updater *UpdaterCreate(bool interactive, int timeoutMs = 30000);
void UpdaterDestroy(Updater *updater);
// Starts a check; done (may be empty) runs on the main thread with the outcome.
void UpdaterCheck(Updater *updater, bool withUi,
                  std::function<void(UpdateOutcome, const std::string &message)> done = {});
// Checks now and then once a day while the program runs.
void UpdaterStartAutomatic(Updater *updater);
