// The desktop side on Qt: the tray icon and its menu (or a small window offering the
// same menu where no notification area runs), the Preferences window with its Settings
// and About pages, the password and reminder windows, the busy-receiver box, timers,
// the display-awake request and logind's suspend/resume signal. Main thread only,
// except the ControllerPlatformOps entries documented as any-thread.
#pragma once

#include "shell/controller.h"

struct DesktopUi;
struct Updater;

extern const ControllerPlatformOps kDesktopPlatformOps;

struct DesktopUiOptions {
    bool interactive; // a GUI application object exists: windows can be shown
    bool silent;      // no tray icon and no Preferences pages
    bool quitWhenConnectionEnds;
};

// Made after the application object. Null when interactive and the Preferences window
// cannot be made.
DesktopUi *DesktopUiCreate(Controller *controller, const DesktopUiOptions &options);
// The tray icon (or the fallback window) and the Preferences pages, filled from the
// settings. Returns false when the pages cannot be made.
bool DesktopUiShowTray(DesktopUi *ui);
// The tray menu may show its connection sections from now on.
void DesktopUiServicesStarted(DesktopUi *ui);
void DesktopUiSetUpdater(DesktopUi *ui, Updater *updater);
// Stops asking to quit when the connection ends (a stop requested by signal).
void DesktopUiSetQuitWhenConnectionEnds(DesktopUi *ui, bool quit);
// The capture manager's status line handler (context is the DesktopUi).
void DesktopUiPostStatusText(void *context, const char *text);
// Runs a menu command, as if chosen from the tray menu.
void DesktopUiCommand(DesktopUi *ui, int command);
void DesktopUiDestroy(DesktopUi *ui);

// Screenshots for a person to look at: opens the menu / a page / the reminder window
// and writes it as PNG. Used by the --screenshots switch.
bool DesktopUiScreenshots(DesktopUi *ui, const char *folder);
