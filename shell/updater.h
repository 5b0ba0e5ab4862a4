// The update check: reads an RSS appcast feed, picks its newest release and compares it
// with the running version. The parsing is portable; the fetching and the window are in
// ov_updater.cpp.
#pragma once

#include <string>

struct AppcastRelease {
    std::string version;      // the enclosure's version attribute (or the item's own)
    std::string shortVersion; // shortVersionString, shown to people; version when absent
    std::string title;
    std::string notes;       // description (HTML), may be empty
    std::string notesLink;   // releaseNotesLink, may be empty
    std::string downloadUrl; // enclosure url
};

// The release with the highest version among the feed's items. Returns false (and sets
// error to a short reason) when the text is not an appcast or holds no usable item.
bool AppcastParse(const std::string &text, AppcastRelease *newest, std::string *error);

// Compares dotted versions part by part as numbers ("1.10" > "1.9"; "1.2" == "1.2.0");
// a part's trailing letters compare as text. Returns -1, 0 or 1.
int CompareVersions(const std::string &a, const std::string &b);

// The feed address: the "UpdateFeedURL" switch in Ostrel.conf (user, then machine),
// else the one compiled in.
std::string UpdateFeedUrl();

// The version the user chose to skip ("" none), kept in "Updates.conf" in the data folder.
std::string SkippedVersion();
void SetSkippedVersion(const std::string &version);

// What a check found, for the window and the log.
enum UpdateOutcome { kUpdateAvailable, kUpdateNone, kUpdateSkipped, kUpdateFailed };
// Decides from a fetched feed (or a fetch error, when error is not empty).
UpdateOutcome UpdateDecide(const std::string &feedText, const std::string &fetchError,
                           const std::string &runningVersion, const std::string &skipped,
                           AppcastRelease *release, std::string *message);
