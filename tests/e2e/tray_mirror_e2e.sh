#!/usr/bin/env bash
# The tray menu drives real mirroring: the built-in receiver announces itself in one network
# namespace, the program runs on a desktop (Xvfb, openbox, trayer) in another with its own
# avahi-daemon. Choosing the receiver in the menu mirrors the display to it, choosing it
# again stops, and choosing an application first mirrors only that application's window.
# Usage: tray_mirror_e2e.sh OSTREL RECEIVER
set -uo pipefail
ostrel=$1
receiver=$2
here=$(cd "$(dirname "$0")" && pwd)

if ! ip netns add "ostrel-probe-$$" 2>/dev/null; then
  echo "SKIP: network namespaces are not available (needs root)"
  exit 77
fi
ip netns del "ostrel-probe-$$"
for tool in avahi-daemon dbus-daemon Xvfb openbox trayer xdotool xlogo; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

# shellcheck source=../discovery/ns_env.sh
source "$here/../discovery/ns_env.sh"
trap ns_cleanup EXIT
log=$NS_WORK/data/Ostrel/Ostrel.log
fail() {
  echo "FAIL: $*"
  echo "--- program log"; grep -v "^Tray menu" "$log" 2>/dev/null | tail -n 25
  echo "--- menus"; grep "^Tray menu" "$log" 2>/dev/null | tail -n 3
  echo "--- receiver log"; tail -n 15 "$NS_WORK/rx.log"
  exit 1
}
ns_setup || fail "namespaces could not be made"
ns_avahi "$NS_TX" "$NS_TX_IF" || fail "the program side's avahi-daemon did not start"
no_bus=unix:path=$NS_WORK/no-bus.sock

# The receiver, announcing itself with its own mDNS stack.
DBUS_SYSTEM_BUS_ADDRESS=$no_bus ip netns exec "$NS_RX" "$receiver" --bind 10.78.0.2 \
  --name Kitchen --width 1280 --height 720 --report "$NS_WORK/report.json" \
  --png "$NS_WORK/last.png" 2>"$NS_WORK/rx.log" &
rx=$!
ns_pids+=($rx)

export XDG_RUNTIME_DIR=$NS_WORK/run XDG_DATA_HOME=$NS_WORK/data XDG_CONFIG_HOME=$NS_WORK/config
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/Halvane"
chmod 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS
printf '[Ostrel]\nDisableAutoUpdates=true\n' >"$XDG_CONFIG_HOME/Halvane/Ostrel.conf"
tx() { DBUS_SYSTEM_BUS_ADDRESS=$(ns_bus "$NS_TX") ip netns exec "$NS_TX" "$@"; }

wait_for() { local i; for ((i = 0; i < $1 * 10; i++)); do "${@:2}" && return 0; sleep 0.1; done; return 1; }

exec 5>"$NS_WORK/displayfd"
tx Xvfb -displayfd 5 -screen 0 1280x720x24 -noreset -nolisten tcp >/dev/null 2>&1 &
ns_pids+=($!)
wait_for 10 test -s "$NS_WORK/displayfd" || fail "Xvfb did not start"
export DISPLAY=:$(head -n 1 "$NS_WORK/displayfd")
tx xsetroot -solid '#2f6fb0'
# A window mapped before openbox has finished starting stays unmapped: wait for the command
# it runs once it is ready.
tx openbox --startup "touch $NS_WORK/wm-ready" >/dev/null 2>&1 &
ns_pids+=($!)
wait_for 10 test -e "$NS_WORK/wm-ready" || fail "no window manager"
tx trayer --edge top --align right --widthtype pixel --width 200 --height 24 >/dev/null 2>&1 &
ns_pids+=($!)
wait_for 10 tx xwininfo -name panel >/dev/null 2>&1 || fail "trayer did not start"
tx "$ostrel" 2>"$NS_WORK/ostrel.err" &
program=$!
ns_pids+=($program)
wait_for 20 grep -q "Tray icon added" "$log" 2>/dev/null || fail "no tray icon"

menu_count() { grep -c "^Tray menu:" "$log"; }
last_menu() { grep "^Tray menu:" "$log" | tail -n 1 | tr -d '\r'; }
open_menu() { # right-clicks the icon until a new menu line appears
  local before i
  before=$(menu_count)
  for i in $(seq 20); do
    tx xdotool mousemove 1268 12 click 3
    for _ in $(seq 10); do [ "$(menu_count)" -gt "$before" ] && return 0; sleep 0.1; done
  done
  return 1
}
# choose KEYS...: opens the menu and walks it with the keyboard (disabled lines are skipped).
choose() {
  open_menu || fail "the menu did not open"
  # The pointer leaves the menu so that no entry is active under it; keys start at the top.
  tx xdotool mousemove 640 600
  sleep 0.3
  tx xdotool key "$@"
}
menu_has() { open_menu || return 1; last_menu | grep -qF "$1" && { tx xdotool key Escape; return 0; }; tx xdotool key Escape; return 1; }
pictures() { grep -c "video packet, " "$NS_WORK/rx.log"; }
has_pictures() { [ "$(pictures)" -ge "$1" ]; }

# The receiver appears in the menu once discovery has found it.
wait_for 30 menu_has "| Kitchen |" || fail "the receiver never appeared in the menu: $(last_menu)"

# Kitchen is the first enabled entry after "Show Preferences".
choose Down Down Return
wait_for 30 has_pictures 3 || fail "choosing the receiver did not mirror"
wait_for 10 menu_has "AirPlay: Mirroring..." || fail "the menu does not say mirroring: $(last_menu)"

# The same receiver again stops.
choose Down Down Return
wait_for 10 grep -q "User initiated AirPlay disconnect" "$log" || fail "choosing it again did not stop"
wait_for 10 grep -q "The system may sleep (display)" "$log" || fail "the connection did not end"
wait_for 10 menu_has "AirPlay: Not Connected" || fail "the menu still shows a connection: $(last_menu)"

# One application: its window alone is mirrored.
tx xlogo -geometry 400x400+100+100 >/dev/null 2>&1 &
ns_pids+=($!)
wait_for 10 tx xwininfo -name xlogo >/dev/null 2>&1 || fail "xlogo did not start"
choose Down Down Down Down Right Return # Kitchen, Display 1, Specific App..., its first item
wait_for 10 menu_has "| XLogo |" || fail "the application was not chosen: $(last_menu)"
# The receiver logs the first three pictures of each connection.
choose Down Down Return
wait_for 30 has_pictures 6 || fail "choosing the receiver with an application did not mirror"
sleep 1
kill -INT "$rx"
wait "$rx" 2>/dev/null
# The desktop behind the window is plain blue: a picture of the display is mostly blue, a
# picture of the window alone has none of it.
[ -s "$NS_WORK/last.png" ] || fail "the receiver kept no picture"
blue=$(convert "$NS_WORK/last.png" -alpha off -fuzz 6% -fill black -opaque white \
  -fill white -opaque '#2f6fb0' -fill black +opaque white \
  -format '%[fx:mean]' info:)
echo "window picture: desktop background covers $blue of it"
awk -v b="$blue" 'BEGIN { exit !(b < 0.02) }' || fail "the picture shows the desktop ($blue blue), not the window alone"
echo PASS
