// "ostrel --list-receivers [SECONDS]": one line per receiver and speaker found on the network.
#pragma once

#include <cstdint>
#include <string>

struct CFValue;

// Browses for seconds, resolves every receiver found and writes, in list order, one line
// per receiver to standard output: name, IPv4 address (empty when it did not resolve),
// device id, password flag (0/1), audio port and "screen", separated by tabs; then one line
// per speaker the same way: the name after "@", address, device id (the hex part of its
// name), password flag, its sound service's port and "sound". In the name and the
// device id a backslash, tab, line feed and carriage return are written \\ \t \n \r and
// other control bytes \xHH. Returns the exit code: 0, or 1 (with a line on standard error)
// when nothing could browse.
int ListReceivers(double seconds);

// A listed field: backslash, tab, line feed, carriage return as \\ \t \n \r, other control
// bytes as \xHH.
std::string EscapeListField(const char *text);
// The index in speakers (full sound-service names) of the one listed as name (the name after
// "@", as it stands or escaped as listed); -1 when none.
int32_t FindSpeaker(const CFValue *speakers, const char *name);
