// The controller's desktop side on Qt: password prompt, busy-receiver box, display-awake
// request, and the end of a hosted run. Made on the main thread after the application
// object exists.
#pragma once

#include "shell/controller.h"

extern const ControllerUiOps kDesktopUiOps;

struct DesktopUi {
    bool interactive; // a GUI application object exists: prompts and boxes can be shown
    bool quitWhenConnectionEnds;
};
