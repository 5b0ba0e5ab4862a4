// Connects a mirroring connection to the process's capture manager: the ops table the
// connection drives capture through, with the manager as its context.
#pragma once

#include "mirroring/mirroring_connection.h"

extern const MirroringCaptureOps kCaptureManagerOps;
