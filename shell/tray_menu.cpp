#include "shell/tray_menu.h"

#include <algorithm>

#include "discovery/discovery.h"
#include "mirroring/mirroring_connection.h"
#include "plist/cfvalue.h"
#include "shell/controller.h"
#include "shell/settings.h"

namespace {

constexpr int kAudioConnected = 9;
constexpr int kAudioDisconnecting = 11;
constexpr int kAudioFailureConnecting = 4;

MenuEntry Item(int32_t id, std::string text, bool enabled = true, bool greyed = false,
               bool checked = false) {
    return MenuEntry{kMenuItem, id, std::move(text), enabled, greyed, checked, 0, {}};
}

MenuEntry Separator() {
    return MenuEntry{kMenuSeparator, kCommandFirstReceiver, "", true, false, false, 0, {}};
}

uintptr_t WindowOf(const CFValue *record) {
    uintptr_t word = 0;
    if (!CFPointerGet(CFDictionaryFindText(record, "HWND"), &word)) return 0;
    return word;
}

const char *TextOf(const CFValue *record, const char *key) {
    const CFValue *v = CFDictionaryFindText(record, key);
    return CFValueIsKind(v, kCFString) ? CFStringText(v) : nullptr;
}

const CFValue *ChildrenOf(const CFValue *app) {
    const CFValue *children = CFDictionaryFindText(app, "Children");
    return CFValueIsKind(children, kCFArray) ? children : nullptr;
}

// Walks the items in menu order, giving each its identifier; stops when visit says so.
template <typename Visit> void WalkAppItems(const CFValue *apps, Visit visit) {
    int32_t id = kCommandFirstApp;
    for (uint32_t i = 0; i < CFArrayCount(apps); i++) {
        const CFValue *app = CFArrayGet(apps, i);
        const CFValue *children = ChildrenOf(app);
        if (children && CFArrayCount(children) > 1) {
            for (uint32_t k = 0; k < CFArrayCount(children); k++)
                if (visit(app, CFArrayGet(children, k), id++)) return;
        } else if (visit(app, app, id++)) {
            return;
        }
    }
}

std::string ConnectionText(const TrayMenuInputs &in) {
    if (!in.hasConnection || in.connectionState == kMirroringIdle) return "AirPlay: Not Connected";
    if (in.connectionState == kMirroringSetFailed || in.connectionFailure != 0) {
        switch (in.connectionFailure) {
        case 1:
            return "AirPlay: Connection Blocked";
        case 2:
            return "AirPlay: Disconnected Remotely";
        case 3:
            return "AirPlay: Connection Failed";
        case 4:
            return "AirPlay: Screen Capture Failed";
        case 5:
            return "AirPlay: No Answer from Receiver";
        default:
            return "AirPlay: Unknown State";
        }
    }
    if (in.connectionState == kMirroringStreaming) return "AirPlay: Mirroring...";
    return "AirPlay: Connecting...";
}

std::string AudioText(TrayMenuInputs *in) {
    int s = in->audioState;
    std::string text;
    if (in->audioEnabled) {
        text = s == kAudioConnected       ? "Audio: Connected"
               : s == 0                   ? "Audio: Not Connected"
               : s == kAudioDisconnecting ? "Audio: Disconnecting..."
                                          : "Audio: Connecting...";
    } else {
        text = s == kAudioDisconnecting ? "Audio: Disconnecting..." : "Audio: Disabled";
    }
    int r = in->hasAudioConnection ? in->audioFailure : 0;
    bool remembered = false;
    if (r == 0) {
        r = in->lastAudioFailure;
        remembered = true;
        if (r != 0 && r != kAudioFailureConnecting) in->audioEnabled = false;
    }
    if (r != 0 && !(remembered && r == kAudioFailureConnecting)) {
        switch (r) {
        case 4:
            text = "Audio: Connecting...";
            break;
        case 1:
            text = "Audio: Connection Blocked";
            break;
        case 2:
            text = "Audio: Disconnected Remotely";
            break;
        case 3:
            text = "Audio: Connection Failed";
            break;
        case 5:
            text = "Audio: No Answer from Receiver";
            break;
        case 6:
            text = "Audio: Password Required";
            break;
        default:
            text = "Audio: Unknown State";
            break;
        }
    }
    return text;
}

} // namespace

uintptr_t AppWindowForCommand(const CFValue *apps, int32_t commandId) {
    uintptr_t found = 0;
    WalkAppItems(apps, [&](const CFValue *, const CFValue *window, int32_t id) {
        if (id != commandId) return false;
        found = WindowOf(window);
        return true;
    });
    return found;
}

std::vector<MenuEntry> BuildTrayMenu(TrayMenuInputs *in) {
    std::vector<MenuEntry> menu;
    menu.push_back(in->preferencesVisible ? Item(kCommandHidePreferences, "Hide Preferences")
                                          : Item(kCommandShowPreferences, "Show Preferences"));
    menu.push_back(Separator());
    if (in->servicesStarted) {
        menu.push_back(Item(kCommandFirstReceiver, ConnectionText(*in), false, true));

        uint32_t count = CFArrayCount(in->services);
        uint32_t speakers = std::min<uint32_t>(CFArrayCount(in->speakers), kMaxSpeakers);
        // A connection in progress, to a receiver or a speaker, greys every receiver and
        // speaker.
        bool busy =
            (in->hasConnection && !in->established && in->connectionState != kMirroringIdle &&
             in->connectionState != kMirroringSetFailed) ||
            in->speakerConnecting;
        if (count == 0 && speakers == 0) {
            menu.push_back(Item(kCommandFirstReceiver, "No Devices found", false, true));
        } else {
            for (uint32_t i = 0; i < count; i++) {
                const char *name = CFStringText(CFArrayGet(in->services, i));
                menu.push_back(Item(kCommandFirstReceiver + (int32_t)i, name ? name : "", !busy,
                                    busy, (int32_t)i == in->selectedIndex));
            }
        }
        if (speakers > 0) {
            menu.push_back(Separator());
            menu.push_back(Item(kCommandFirstSpeaker, kSpeakersHeading, false, true));
            for (uint32_t i = 0; i < speakers; i++) {
                std::string text = RaopShownName(CFStringText(CFArrayGet(in->speakers, i)));
                int32_t unusable =
                    i < in->speakerUnusable.size() ? in->speakerUnusable[i] : kSpeakerUsable;
                if (unusable == kSpeakerEncryptedOnly) text += " (encrypted only)";
                if (unusable == kSpeakerNoFormat) text += " (unsupported format)";
                bool off = busy || unusable != kSpeakerUsable;
                menu.push_back(Item(kCommandFirstSpeaker + (int32_t)i, text, !off, off,
                                    (int32_t)i == in->selectedSpeaker));
            }
        }
        menu.push_back(Separator());

        uint32_t displays = CFArrayCount(in->displayNames);
        if (displays == 0) {
            menu.push_back(Item(kCommandFirstDisplay, "No Local Display Found", false, true));
        } else {
            for (uint32_t i = 0; i < displays && i < 32; i++) {
                const char *name = CFStringText(CFArrayGet(in->displayNames, i));
                menu.push_back(Item(kCommandFirstDisplay + (int32_t)i, name ? name : "", true,
                                    false,
                                    (int32_t)i == in->chosenDisplayIndex && !in->chosenAppWindow));
            }
        }

        MenuEntry apps{kMenuSubmenu, 0, "Specific App...", true, false, false, 0, {}};
        if (in->chosenAppWindow) {
            apps.checked = true;
            WalkAppItems(in->apps, [&](const CFValue *app, const CFValue *window, int32_t) {
                if (WindowOf(window) != in->chosenAppWindow) return false;
                if (const char *name = TextOf(app, "AppName")) apps.text = name;
                return true;
            });
        }
        for (uint32_t i = 0; i < CFArrayCount(in->apps); i++) {
            const CFValue *app = CFArrayGet(in->apps, i);
            const CFValue *children = ChildrenOf(app);
            const char *appName = TextOf(app, "AppName");
            if (children && CFArrayCount(children) > 1) {
                MenuEntry sub{kMenuSubmenu, 0,     appName ? appName : "", true,
                              false,        false, WindowOf(app),          {}};
                apps.children.push_back(std::move(sub));
            } else {
                MenuEntry item = Item(0, appName ? appName : "");
                item.iconWindow = WindowOf(app);
                apps.children.push_back(std::move(item));
            }
        }
        // Identifiers in the order the items are made.
        size_t slot = 0;
        int32_t id = kCommandFirstApp;
        for (uint32_t i = 0; i < CFArrayCount(in->apps); i++, slot++) {
            const CFValue *children = ChildrenOf(CFArrayGet(in->apps, i));
            MenuEntry &entry = apps.children[slot];
            if (entry.kind == kMenuSubmenu) {
                for (uint32_t k = 0; k < CFArrayCount(children); k++) {
                    const CFValue *w = CFArrayGet(children, k);
                    const char *title = TextOf(w, "WindowName");
                    MenuEntry item = Item(id++, title ? title : "");
                    item.iconWindow = WindowOf(w);
                    entry.children.push_back(std::move(item));
                }
            } else {
                entry.id = id++;
            }
        }
        menu.push_back(std::move(apps));
        menu.push_back(Separator());

        menu.push_back(Item(kCommandToggleAudio, AudioText(in), false, true));
        menu.push_back(Item(kCommandToggleAudio,
                            in->audioEnabled ? "Disable Audio" : "Enable Audio",
                            in->audioState != kAudioDisconnecting));
        menu.push_back(Separator());
    }
    menu.push_back(Item(kCommandHelp, "Help and Support"));
    menu.push_back(Separator());
    menu.push_back(Item(kCommandExit, "Exit"));
    return menu;
}

TrayMenuInputs TrayMenuInputsFrom(const Controller *c, bool preferencesVisible,
                                  bool servicesStarted, const CFValue *services,
                                  const CFValue *displayNames, const CFValue *apps) {
    TrayMenuInputs in{};
    in.preferencesVisible = preferencesVisible;
    in.servicesStarted = servicesStarted;
    in.hasConnection = c->current != nullptr;
    in.connectionState = c->current ? c->current->state.load() : 0;
    in.connectionFailure = c->current ? c->current->failure.load() : 0;
    in.established = ControllerEstablished(c);
    in.services = services;
    in.selectedIndex = ControllerSelectedIndex(c);
    in.displayNames = displayNames;
    in.chosenDisplayIndex = c->chosenDisplayIndex;
    in.chosenAppWindow = c->chosenAppWindow.load();
    in.apps = apps;
    in.hasAudioConnection = c->audio && c->current;
    in.audioState = ControllerAudioState(c);
    in.audioFailure = ControllerAudioFailure(c);
    in.lastAudioFailure = c->lastAudioFailure.load();
    in.audioEnabled = AudioEnabledFlag;
    return in;
}

void TrayMenuAddSpeakers(const Controller *c, TrayMenuInputs *in, const CFValue *speakers) {
    in->speakers = speakers;
    in->selectedSpeaker = ControllerSelectedSpeaker(c);
    in->speakerUnusable.clear();
    for (uint32_t i = 0; i < CFArrayCount(speakers) && i < (uint32_t)kMaxSpeakers; i++) {
        const char *name = CFStringText(CFArrayGet(speakers, i));
        in->speakerUnusable.push_back(c->discovery && c->discovery->speakerUnusable && name
                                          ? c->discovery->speakerUnusable(c->discoveryContext, name)
                                          : kSpeakerUsable);
    }
    int state = c->soundOnly.load() ? ControllerAudioState(c) : 0;
    in->speakerConnecting =
        c->soundOnly.load() && state != kAudioConnected && state != kAudioDisconnecting;
}

std::string DescribeMenu(const std::vector<MenuEntry> &entries, int depth) {
    std::string out;
    for (const MenuEntry &e : entries) {
        out.append((size_t)depth * 2, ' ');
        if (e.kind == kMenuSeparator) {
            out += "---\n";
            continue;
        }
        out += e.checked ? "[x] " : "[ ] ";
        out += e.greyed ? "(" + e.text + ")" : e.text;
        if (!e.enabled && !e.greyed) out += " {disabled}";
        if (e.kind == kMenuSubmenu) {
            out += " >\n" + DescribeMenu(e.children, depth + 1);
        } else {
            out += " #" + std::to_string(e.id) + "\n";
        }
    }
    return out;
}
