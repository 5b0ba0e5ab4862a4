// Watches the system's IPv4 addresses (a netlink route socket) and asks for a receiver
// discovery restart after a change: 3 seconds after the change, then no new change is looked
// at for 30 seconds. Process-wide; Start and Stop are called from one owner thread (the shell).
#pragma once

// Called on the monitor thread once per observed change; should return promptly (start a
// thread of its own for long work; DiscoveryRestart fits). context is the pointer given to NetworkMonitorStart.
typedef void (*NetworkRestartFn)(void *context);

// Subscribes to address changes and starts the monitor thread; does nothing when it already
// runs. Returns 1 when subscribed (every change after the return is seen), 0 when the
// subscription or the thread was refused (logged).
int NetworkMonitorStart(NetworkRestartFn restart, void *context);
// Stops and joins the monitor thread; returns at once even during the 3- and 30-second waits.
void NetworkMonitorStop();

// Delays, adjustable for tests only (milliseconds).
extern int NetworkMonitorDelayMs;   // 3000
extern int NetworkMonitorHoldOffMs; // 30000
