// "ostrel --list-receivers [SECONDS]": one line per receiver found on the network.
#pragma once

// Browses for seconds, resolves every receiver found and writes, in list order, one line
// per receiver to standard output: name, IPv4 address (empty when it did not resolve),
// device id, password flag (0/1) and audio port, separated by tabs. Returns the exit code.
int ListReceivers(double seconds);
