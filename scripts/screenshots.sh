#!/usr/bin/env bash
# Pictures of the desktop program for a person to look at, written to OUT (default out/):
#   tray-menu.png            the screen with the tray icon's menu open (under trayer)
#   menu.png                 the menu by itself
#   menu-speakers.png        the menu with example speakers: one playing, one greyed
#   preferences-settings.png, preferences-about.png   the two Preferences pages
#   reminder.png             the mirroring reminder window
# Starts its own Xvfb, openbox and trayer and stops them again; nothing else is touched.
# Usage: scripts/screenshots.sh [BUILD_DIR] [OUT]
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
out=${2:-$here/out}
ostrel=$build/shell/ostrel
[ -x "$ostrel" ] || { echo "no program at $ostrel (build the ostrel target first)"; exit 2; }
for tool in Xvfb openbox trayer xdotool import; do
  command -v $tool >/dev/null || { echo "$tool is missing (scripts/install-deps.sh installs it)"; exit 2; }
done
mkdir -p "$out"
out=$(cd "$out" && pwd)

work=$(mktemp -d /tmp/ostrel-shots-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$work/run XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/Halvane"
chmod 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS
printf '[Ostrel]\nDisableAutoUpdates=true\n' >"$XDG_CONFIG_HOME/Halvane/Ostrel.conf"
log=$XDG_DATA_HOME/Ostrel/Ostrel.log

wait_for() { local i; for ((i = 0; i < $1 * 10; i++)); do "${@:2}" && return 0; sleep 0.1; done; return 1; }

exec 5>"$work/displayfd"
Xvfb -displayfd 5 -screen 0 1280x800x24 -noreset -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
wait_for 10 test -s "$work/displayfd" || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=:$(head -n 1 "$work/displayfd")
xsetroot -solid '#3b5b7a' 2>/dev/null
openbox >/dev/null 2>&1 &
pids+=($!)
trayer --edge top --align right --widthtype pixel --width 200 --height 24 >/dev/null 2>&1 &
pids+=($!)
wait_for 10 xwininfo -name panel >/dev/null 2>&1 || { echo "trayer did not start"; exit 1; }

# Two applications to offer in the "Specific App..." submenu.
xlogo -geometry 300x300+100+200 >/dev/null 2>&1 &
pids+=($!)
xclock -geometry 200x200+500+200 >/dev/null 2>&1 &
pids+=($!)
wait_for 10 xwininfo -name xclock >/dev/null 2>&1

# The windows and the menu, each by itself.
"$ostrel" --screenshots "$out" 2>"$work/shots.err" || { echo "the program could not take its pictures"; cat "$work/shots.err"; exit 1; }

# The real tray: the icon, right-clicked.
"$ostrel" 2>"$work/ostrel.err" &
program=$!
pids+=($program)
wait_for 20 grep -q "Tray icon added" "$log" 2>/dev/null || { echo "no tray icon"; exit 1; }
# The icon is embedded a moment after it is added: click until the menu opens.
opened=0
for _ in $(seq 20); do
  xdotool mousemove 1268 12 click 3
  if wait_for 1 grep -q "Tray menu:" "$log"; then opened=1; break; fi
done
[ $opened = 1 ] || { echo "the menu did not open"; exit 1; }
# Open the application submenu: the entry after the displays.
xdotool mousemove 1160 102
sleep 1 # let the menu and its submenu paint
import -window root "$work/screen.png"
convert "$work/screen.png" -crop 640x320+640+0 +repage "$out/tray-menu.png"
xdotool key Escape
ls -1 "$out"/*.png
