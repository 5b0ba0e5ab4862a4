// The end of the system's run: logind's PrepareForShutdown signal on the system bus. The
// program holds a "delay" inhibitor lock so that, when a shutdown or reboot is announced,
// it can end its connection (the receiver is told, the sound given back) before processes
// are killed. The end is never refused: the lock is released as soon as the connection is
// down, and logind stops waiting on its own after its delay limit. Main thread.
#pragma once

struct ShutdownWatch;

// onShutdown(context) runs on the main thread when a shutdown is announced. Null when the
// system bus cannot be reached (the program then carries on without).
ShutdownWatch *ShutdownWatchStart(void (*onShutdown)(void *context), void *context);
void ShutdownWatchStop(ShutdownWatch *watch);
