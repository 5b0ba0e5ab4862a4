#include "base/folders.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/log.h"

extern char **environ;

namespace {

bool MakeDirs(const std::string &path) {
    if (path.empty()) return false;
    std::string partial;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        partial = path.substr(0, next);
        if (!partial.empty()) {
            if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
        }
        pos = next + 1;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string XdgBase(const char *variable, const char *homeRelative) {
    const char *value = getenv(variable);
    std::string base;
    if (value && value[0] == '/') {
        base = value;
    } else {
        const char *home = getenv("HOME");
        if (!home || home[0] != '/') return "";
        base = std::string(home) + homeRelative;
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return MakeDirs(base) ? base : "";
}

std::string Trim(const std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) b++;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) e--;
    return s.substr(b, e - b);
}

// Looks for "name=value" in an INI-style file; sections and comments are ignored.
// Returns 1 found, 0 absent. A "dword:" value is numeric and reported through numeric.
int ReadIniValue(const std::string &path, const char *name, std::string *value, bool *numeric) {
    FILE *f = fopen(path.c_str(), "re");
    if (!f) return 0;
    // Values are at most 16383 bytes, like the registry strings they stand for.
    char line[16384 + 256];
    int found = 0;
    while (fgets(line, sizeof line, f)) {
        std::string s = Trim(line);
        if (s.empty() || s[0] == '#' || s[0] == ';' || s[0] == '[') continue;
        size_t eq = s.find('=');
        if (eq == std::string::npos) continue;
        if (Trim(s.substr(0, eq)) != name) continue;
        std::string v = Trim(s.substr(eq + 1));
        *numeric = v.rfind("dword:", 0) == 0;
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        if (v.size() > 16383) v.resize(16383);
        *value = v;
        found = 1; // the last assignment wins, as in an INI file read top to bottom
    }
    fclose(f);
    return found;
}

std::string DataFolderUnder(const std::string &base) {
    if (base.empty()) return "";
    std::string folder = base + "/Ostrel";
    if (!MakeDirs(folder)) return "";
    return folder + "/";
}

} // namespace

int ReadRegistrySwitch(const char *productName, const char *valueName, bool emptyIsAbsent,
                       std::string *value, int *source) {
    if (!productName || (strcmp(productName, "Ostrel") != 0 && strcmp(productName, "Glintra") != 0))
        return 0;
    const char *configHome = getenv("XDG_CONFIG_HOME");
    std::string userFile;
    if (configHome && configHome[0] == '/') {
        userFile = configHome;
    } else if (const char *home = getenv("HOME")) {
        userFile = std::string(home) + "/.config";
    }
    std::string file = std::string("/Halvane/") + productName + ".conf";
    const char *machineDir = getenv("OSTREL_MACHINE_CONFIG_DIR"); // tests point this elsewhere
    std::string machineFile = std::string(machineDir ? machineDir : "/etc/xdg") + file;

    std::string text;
    bool numeric = false;
    if (!userFile.empty() && ReadIniValue(userFile + file, valueName, &text, &numeric) &&
        !(emptyIsAbsent && text.empty())) {
        if (numeric) return 0;
        *value = text;
        if (source) *source = 1;
        return 1;
    }
    if (ReadIniValue(machineFile, valueName, &text, &numeric) && !numeric) {
        *value = text;
        if (source) *source = 2;
        return 1;
    }
    return 0;
}

bool SwitchTextIsTrue(const std::string &text) {
    return text == "true" || text == "True" || text == "TRUE" || text == "1";
}

bool ShouldUseRoamingFolder(const char *productName) {
    std::string text;
    if (!ReadRegistrySwitch(productName, "UseRoamingFolder", false, &text)) return false;
    return SwitchTextIsTrue(text);
}

std::string RoamingDataBase() { return XdgBase("XDG_CONFIG_HOME", "/.config"); }
std::string LocalDataBase() { return XdgBase("XDG_DATA_HOME", "/.local/share"); }

std::string DataFolder() {
    return DataFolderUnder(ShouldUseRoamingFolder("Ostrel") ? RoamingDataBase() : LocalDataBase());
}

std::string LocalDataFolder() { return DataFolderUnder(LocalDataBase()); }

std::string TimeStampedName(const char *prefix, const char *suffix, const struct tm &when) {
    char name[128];
    snprintf(name, sizeof name, "%s%i%02i%02i_%02i%02i%02i%s", prefix, when.tm_year + 1900,
             when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec, suffix);
    return name;
}

namespace {

bool CopyFile(const std::string &from, const std::string &to) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    std::string temp = to + ".part";
    int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        close(in);
        return false;
    }
    char buffer[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buffer + done, n - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok) break;
    }
    close(in);
    if (close(out) != 0) ok = false;
    // Rename over the old copy so that a second press in the same second replaces it whole.
    if (ok && rename(temp.c_str(), to.c_str()) != 0) ok = false;
    if (!ok) unlink(temp.c_str());
    return ok;
}

void OpenWithDesktop(const std::string &target) {
    const char *opener = getenv("OSTREL_OPENER"); // tests substitute a recorder
    if (!opener) opener = "xdg-open";
    pid_t pid;
    char *argv[] = {const_cast<char *>(opener), const_cast<char *>(target.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid, opener, &actions, nullptr, argv, environ) == 0) {
        // The opener forks its viewer and returns; reap it so it leaves no zombie.
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    posix_spawn_file_actions_destroy(&actions);
}

} // namespace

std::string LocateLogFile() {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    std::string name = TimeStampedName("OstrelLog_", ".txt", local);
    std::string folder = DataFolder();
    std::string copy = folder + name;
    if (!CopyFile(folder + "Ostrel.log", copy)) return "";
    OpenWithDesktop(folder.empty() ? "." : folder);
    OpenWithDesktop(copy);
    return copy;
}
