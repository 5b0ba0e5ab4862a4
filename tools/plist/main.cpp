// ostrel-plist FILE: reads a property list (binary, XML or JSON-style) and prints the
// description dump of its value to standard output.
// Exit status: 0 when a value was read, 1 otherwise (with a reason on standard error).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log.h"
#include "plist/cfvalue.h"
#include "plist/plist.h"

static void WriteStdout(void *, const char *text, size_t length) {
    fwrite(text, 1, length, stdout);
}

// Reads the whole file; unlike CFDataFromFile it can say why it failed.
static CFValue *ReadFile(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "ostrel-plist: cannot open %s: %s\n", path, strerror(errno));
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        fprintf(stderr, "ostrel-plist: %s is a directory\n", path);
        close(fd);
        return nullptr;
    }
    CFValue *data = CFDataFromBytes(nullptr, 0);
    char chunk[65536];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            fprintf(stderr, "ostrel-plist: cannot read %s: %s\n", path, strerror(errno));
            CFValueRelease(data);
            close(fd);
            return nullptr;
        }
        if (n == 0) break;
        if (CFDataLength(data) > INT32_MAX - static_cast<uint32_t>(n)) {
            fprintf(stderr, "ostrel-plist: %s is too large (2 GiB at most)\n", path);
            CFValueRelease(data);
            close(fd);
            return nullptr;
        }
        CFDataAppendBytes(data, chunk, static_cast<uint32_t>(n));
    }
    close(fd);
    return data;
}

int main(int argc, char **argv) {
    if (argc != 2 || argv[1][0] == '\0') {
        fprintf(stderr, "usage: ostrel-plist FILE\n"
                        "Prints the value of a binary, XML or JSON-style property list.\n");
        return 1;
    }
    // Reader diagnostics (nesting limits and the like) go to standard error.
    LogOutputMode = 1;
    const char *path = argv[1];
    CFValue *data = ReadFile(path);
    if (!data) return 1;
    if (CFDataLength(data) == 0) {
        fprintf(stderr, "ostrel-plist: %s is empty\n", path);
        CFValueRelease(data);
        return 1;
    }
    CFValue *root = PlistParse(data);
    CFValueRelease(data);
    if (!root) {
        fprintf(stderr, "ostrel-plist: %s holds no readable property list\n", path);
        return 1;
    }
    CFValueDescribeTo(root, 0, WriteStdout, nullptr);
    CFValueRelease(root);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "ostrel-plist: cannot write the output: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}
