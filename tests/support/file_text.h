// Whole files as strings.
#pragma once

#include <string>

// The whole file, byte for byte; empty when it cannot be read (a caller that must tell a
// missing file from an empty one checks for it first).
std::string ReadFileText(const std::string &path);

// Polls the file until it holds needle, up to timeoutMs; true when it did.
bool WaitForFileText(const std::string &path, const std::string &needle, int timeoutMs);
