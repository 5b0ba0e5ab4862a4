#include "shell/updater.h"

#include <cctype>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "base/folders.h"

#ifndef OSTREL_UPDATE_FEED
#define OSTREL_UPDATE_FEED "https://updates.ostrel.invalid/linux/appcast.xml"
#endif

namespace {

// Decodes the five predefined entities and numeric character references (ASCII only;
// others are kept as written).
std::string Unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '&') {
            out += s[i];
            continue;
        }
        size_t semi = s.find(';', i);
        if (semi == std::string::npos || semi - i > 8) {
            out += s[i];
            continue;
        }
        std::string e = s.substr(i + 1, semi - i - 1);
        char c = 0;
        if (e == "amp")
            c = '&';
        else if (e == "lt")
            c = '<';
        else if (e == "gt")
            c = '>';
        else if (e == "quot")
            c = '"';
        else if (e == "apos")
            c = '\'';
        else if (e.size() > 1 && e[0] == '#') {
            long v = e[1] == 'x' ? strtol(e.c_str() + 2, nullptr, 16)
                                 : strtol(e.c_str() + 1, nullptr, 10);
            if (v > 0 && v < 128) c = (char)v;
        }
        if (!c) {
            out += s[i];
            continue;
        }
        out += c;
        i = semi;
    }
    return out;
}

// The text of the first <name>...</name> (a CDATA section taken as it stands), or "".
std::string ElementText(const std::string &xml, const std::string &name) {
    size_t open = xml.find("<" + name);
    while (open != std::string::npos) {
        char after = open + 1 + name.size() < xml.size() ? xml[open + 1 + name.size()] : 0;
        if (after == '>' || after == ' ' || after == '\t' || after == '\n' || after == '/') break;
        open = xml.find("<" + name, open + 1);
    }
    if (open == std::string::npos) return "";
    size_t start = xml.find('>', open);
    if (start == std::string::npos || xml[start - 1] == '/') return "";
    start++;
    size_t end = xml.find("</" + name, start);
    if (end == std::string::npos) return "";
    std::string inner = xml.substr(start, end - start);
    size_t cdata = inner.find("<![CDATA[");
    if (cdata != std::string::npos) {
        size_t close = inner.find("]]>", cdata);
        if (close != std::string::npos) return inner.substr(cdata + 9, close - cdata - 9);
    }
    return Unescape(inner);
}

// The value of attribute name inside a start tag's text, or "".
std::string Attribute(const std::string &tag, const std::string &name) {
    size_t at = 0;
    while ((at = tag.find(name, at)) != std::string::npos) {
        bool boundary = at == 0 || isspace((unsigned char)tag[at - 1]);
        size_t eq = at + name.size();
        while (eq < tag.size() && isspace((unsigned char)tag[eq]))
            eq++;
        if (boundary && eq < tag.size() && tag[eq] == '=') {
            size_t q = eq + 1;
            while (q < tag.size() && isspace((unsigned char)tag[q]))
                q++;
            if (q < tag.size() && (tag[q] == '"' || tag[q] == '\'')) {
                size_t close = tag.find(tag[q], q + 1);
                if (close == std::string::npos) return "";
                return Unescape(tag.substr(q + 1, close - q - 1));
            }
        }
        at += name.size();
    }
    return "";
}

bool ValidVersion(const std::string &v) {
    return !v.empty() && isdigit((unsigned char)v[0]);
}

} // namespace

int CompareVersions(const std::string &a, const std::string &b) {
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        auto part = [](const std::string &s, size_t *p, unsigned long long *num,
                       std::string *rest) {
            *num = 0;
            rest->clear();
            while (*p < s.size() && isdigit((unsigned char)s[*p])) {
                if (*num < 100000000000ULL) *num = *num * 10 + (unsigned)(s[*p] - '0');
                (*p)++;
            }
            while (*p < s.size() && s[*p] != '.')
                *rest += s[(*p)++];
            if (*p < s.size()) (*p)++;
        };
        unsigned long long x, y;
        std::string rx, ry;
        part(a, &i, &x, &rx);
        part(b, &j, &y, &ry);
        if (x != y) return x < y ? -1 : 1;
        if (rx != ry) return rx < ry ? -1 : 1;
    }
    return 0;
}

bool AppcastParse(const std::string &text, AppcastRelease *newest, std::string *error) {
    if (text.find("<rss") == std::string::npos || text.find("<channel") == std::string::npos) {
        *error = "not an RSS feed";
        return false;
    }
    bool found = false;
    size_t pos = 0;
    while ((pos = text.find("<item", pos)) != std::string::npos) {
        size_t end = text.find("</item>", pos);
        if (end == std::string::npos) break;
        std::string item = text.substr(pos, end - pos);
        pos = end + 7;
        AppcastRelease r;
        size_t enc = item.find("<enclosure");
        if (enc != std::string::npos) {
            size_t close = item.find('>', enc);
            std::string tag =
                item.substr(enc, close == std::string::npos ? std::string::npos : close - enc);
            r.downloadUrl = Attribute(tag, "url");
            r.version = Attribute(tag, "sparkle:version");
            r.shortVersion = Attribute(tag, "sparkle:shortVersionString");
        }
        if (r.version.empty()) r.version = ElementText(item, "sparkle:version");
        if (r.shortVersion.empty())
            r.shortVersion = ElementText(item, "sparkle:shortVersionString");
        if (r.shortVersion.empty()) r.shortVersion = r.version;
        r.title = ElementText(item, "title");
        r.notes = ElementText(item, "description");
        r.notesLink = ElementText(item, "sparkle:releaseNotesLink");
        if (!ValidVersion(r.version) || r.downloadUrl.empty()) continue;
        if (!found || CompareVersions(r.version, newest->version) > 0) {
            *newest = r;
            found = true;
        }
    }
    if (!found) *error = "the feed lists no release with a version and a download";
    return found;
}

std::string UpdateFeedUrl() {
    std::string value;
    if (ReadRegistrySwitch("Ostrel", "UpdateFeedURL", true, &value) && !value.empty()) return value;
    return OSTREL_UPDATE_FEED;
}

std::string SkippedVersion() {
    std::string path = DataFolder() + "Updates.conf";
    FILE *f = fopen(path.c_str(), "re");
    if (!f) return "";
    char line[256];
    std::string version;
    while (fgets(line, sizeof line, f)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        if (s.rfind("SkippedVersion=", 0) == 0) version = s.substr(15);
    }
    fclose(f);
    return version;
}

void SetSkippedVersion(const std::string &version) {
    std::string path = DataFolder() + "Updates.conf";
    std::string temp = path + ".part";
    FILE *f = fopen(temp.c_str(), "we");
    if (!f) return;
    fprintf(f, "SkippedVersion=%s\n", version.c_str());
    if (fclose(f) == 0)
        rename(temp.c_str(), path.c_str());
    else
        unlink(temp.c_str());
}

UpdateOutcome UpdateDecide(const std::string &feedText, const std::string &fetchError,
                           const std::string &runningVersion, const std::string &skipped,
                           AppcastRelease *release, std::string *message) {
    if (!fetchError.empty()) {
        *message = "The update feed could not be read: " + fetchError;
        return kUpdateFailed;
    }
    std::string error;
    if (!AppcastParse(feedText, release, &error)) {
        *message = "The update feed could not be understood: " + error;
        return kUpdateFailed;
    }
    if (CompareVersions(release->version, runningVersion) <= 0) {
        *message = "Ostrel " + runningVersion + " is the newest version available.";
        return kUpdateNone;
    }
    if (!skipped.empty() && CompareVersions(release->version, skipped) == 0) {
        *message = "Version " + release->shortVersion + " was skipped.";
        return kUpdateSkipped;
    }
    *message =
        "Ostrel " + release->shortVersion + " is available (this is " + runningVersion + ").";
    return kUpdateAvailable;
}
