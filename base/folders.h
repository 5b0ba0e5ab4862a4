// The per-user data folder and the read-only configuration switches.
// Called by start-up on the user-interface thread; the results are plain strings.
#pragma once

#include <string>

// Reads a string switch for a product ("Ostrel" or "Glintra") from the current user's
// $XDG_CONFIG_HOME/Halvane/<product>.conf, then from /etc/xdg/Halvane/<product>.conf.
// The machine file is consulted only when the user's value is absent (or empty, when
// emptyIsAbsent). Returns 1 and fills value when found; 0 when absent, for an unknown
// product, or when the value is numeric ("dword:...") rather than text. source, when
// given, is set to 1 for the user's file and 2 for the machine's.
[[nodiscard]] int ReadRegistrySwitch(const char *productName, const char *valueName,
                                     bool emptyIsAbsent, std::string *value,
                                     int *source = nullptr);
// True when the text switch reads "true", "True", "TRUE" or "1".
bool SwitchTextIsTrue(const std::string &text);
bool ShouldUseRoamingFolder(const char *productName);

// $XDG_CONFIG_HOME (else ~/.config) and $XDG_DATA_HOME (else ~/.local/share), created
// when missing. Empty when no base can be found.
std::string RoamingDataBase();
std::string LocalDataBase();
// The "Ostrel" folder under the base ShouldUseRoamingFolder picks, created when missing,
// with a trailing '/'. Empty when the base cannot be found, so that file names are
// relative to the working directory.
std::string DataFolder();
// Same, always under the local base (crash logs go there).
std::string LocalDataFolder();

// Copies the data folder's "Ostrel.log" to "OstrelLog_<time>.txt" beside it, then asks the
// desktop to open the folder and the copy. Returns the copy's path (empty on failure).
std::string LocateLogFile();
// Forms "OstrelLog_%i%02i%02i_%02i%02i%02i.txt" / "CrashLog_..._.dmp" from a local time.
std::string TimeStampedName(const char *prefix, const char *suffix, const struct tm &when);
