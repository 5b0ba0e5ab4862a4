// Application names from desktop entries (the freedesktop.org ".desktop" files).
#include "capture/windows.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

std::string BaseName(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The program an Exec line starts: its first word, skipping an "env VAR=value" prefix.
std::string ExecProgram(const std::string &exec) {
    size_t pos = 0;
    bool afterEnv = false;
    while (pos < exec.size()) {
        while (pos < exec.size() && exec[pos] == ' ')
            pos++;
        size_t end = pos;
        std::string word;
        if (pos < exec.size() && exec[pos] == '"') {
            end = exec.find('"', pos + 1);
            if (end == std::string::npos) end = exec.size();
            word = exec.substr(pos + 1, end - pos - 1);
            end++;
        } else {
            end = exec.find(' ', pos);
            if (end == std::string::npos) end = exec.size();
            word = exec.substr(pos, end - pos);
        }
        pos = end;
        if (word.empty()) continue;
        if (!afterEnv && word == "env") {
            afterEnv = true;
            continue;
        }
        if (afterEnv && word.find('=') != std::string::npos) continue;
        return BaseName(word);
    }
    return std::string();
}

bool ReadEntry(const std::string &path, DesktopEntry *entry) {
    FILE *file = fopen(path.c_str(), "r");
    if (!file) return false;
    // Entries are small; a larger file is not one.
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0 && text.size() < (1u << 20))
        text.append(chunk, n);
    fclose(file);
    return DesktopEntryParse(text.data(), text.size(), entry);
}

std::vector<std::string> ApplicationDirs() {
    std::vector<std::string> dirs;
    const char *home = getenv("XDG_DATA_HOME");
    if (home && *home) {
        dirs.push_back(std::string(home) + "/applications");
    } else if (const char *h = getenv("HOME")) {
        dirs.push_back(std::string(h) + "/.local/share/applications");
    }
    const char *data = getenv("XDG_DATA_DIRS");
    std::string list = (data && *data) ? data : "/usr/local/share:/usr/share";
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t end = list.find(':', pos);
        if (end == std::string::npos) end = list.size();
        if (end > pos) dirs.push_back(list.substr(pos, end - pos) + "/applications");
        pos = end + 1;
    }
    return dirs;
}

std::vector<DesktopEntry> LoadEntries() {
    std::vector<DesktopEntry> entries;
    for (const std::string &dir : ApplicationDirs()) {
        DIR *d = opendir(dir.c_str());
        if (!d) continue;
        std::vector<std::string> names;
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 8 && name.compare(name.size() - 8, 8, ".desktop") == 0)
                names.push_back(name);
        }
        closedir(d);
        // Directory order is arbitrary; sorted names give the same answer every time.
        std::sort(names.begin(), names.end());
        for (const std::string &name : names) {
            DesktopEntry entry;
            if (ReadEntry(dir + "/" + name, &entry)) entries.push_back(entry);
        }
    }
    return entries;
}

} // namespace

bool DesktopEntryParse(const char *text, size_t length, DesktopEntry *entry) {
    *entry = DesktopEntry{};
    bool inMain = false;
    size_t pos = 0;
    while (pos < length) {
        size_t end = pos;
        while (end < length && text[end] != '\n')
            end++;
        std::string line(text + pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '[') {
            inMain = line == "[Desktop Entry]";
            continue;
        }
        if (!inMain) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        while (!key.empty() && key.back() == ' ')
            key.pop_back();
        while (!value.empty() && value.front() == ' ')
            value.erase(0, 1);
        if (key == "Name")
            entry->name = value;
        else if (key == "Exec")
            entry->program = ExecProgram(value);
        else if (key == "TryExec")
            entry->tryExec = BaseName(value);
        else if (key == "StartupWMClass")
            entry->wmClass = value;
    }
    return !entry->name.empty();
}

std::string DesktopEntryName(const std::string &exeName, const std::string &windowClass) {
    std::vector<DesktopEntry> entries = LoadEntries();
    if (!windowClass.empty()) {
        for (const DesktopEntry &e : entries)
            if (!e.wmClass.empty() && strcasecmp(e.wmClass.c_str(), windowClass.c_str()) == 0)
                return e.name;
    }
    if (!exeName.empty()) {
        for (const DesktopEntry &e : entries)
            if (e.program == exeName || e.tryExec == exeName) return e.name;
    }
    return std::string();
}
