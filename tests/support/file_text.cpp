#include "tests/support/file_text.h"

#include <cstdio>

#include "tests/support/wait.h"

std::string ReadFileText(const std::string &path) {
    std::string text;
    FILE *file = fopen(path.c_str(), "rbe");
    if (!file) return text;
    char buffer[8192];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, got);
    fclose(file);
    return text;
}

bool WaitForFileText(const std::string &path, const std::string &needle, int timeoutMs) {
    return WaitUntil([&] { return ReadFileText(path).find(needle) != std::string::npos; },
                     timeoutMs);
}
