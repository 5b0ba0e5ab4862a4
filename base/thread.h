// Thread helpers shared by the subsystems' worker threads.
#pragma once

// Names the calling thread (at most 15 characters are kept), for debuggers and top.
void SetThreadName(const char *name);
