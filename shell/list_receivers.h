// "ostrel --list-receivers [SECONDS]": one line per receiver found on the network.
#pragma once

// Browses for seconds, resolves every receiver found and writes, in list order, one line
// per receiver to standard output: name, IPv4 address (empty when it did not resolve),
// device id, password flag (0/1) and audio port, separated by tabs. In the name and the
// device id a backslash, tab, line feed and carriage return are written \\ \t \n \r and
// other control bytes \xHH. Returns the exit code: 0, or 1 (with a line on standard error)
// when nothing could browse.
int ListReceivers(double seconds);
