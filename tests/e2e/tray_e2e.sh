#!/usr/bin/env bash
# The ostrel program on a desktop: Xvfb with a window manager and a tray host (trayer).
# Usage: tray_e2e.sh OSTREL CASE
#   tray           the icon appears, right-click opens the menu with its entries, the first
#                  entry opens Preferences, Exit ends the program with status 0
#   no-tray        without a notification area the menu is offered from a small window
#   second-copy    a second copy exits at once with 255 and writes nothing
# Runs in a private network namespace so that nothing it starts reaches the network.
set -uo pipefail
ostrel=$1
case_name=$2

if [ "${E2E_IN_NAMESPACE:-}" != 1 ]; then
  if ! unshare -n true 2>/dev/null; then
    echo "SKIP: network namespaces are not available"
    exit 77
  fi
  E2E_IN_NAMESPACE=1 exec unshare -n "$0" "$@"
fi
ip link set lo up
for tool in Xvfb openbox trayer xdotool xwininfo; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

work=$(mktemp -d /tmp/ostrel-tray-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do
    for _ in $(seq 20); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$p" 2>/dev/null
    wait "$p" 2>/dev/null
  done
  if [ "${KEEP_E2E:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
log=$work/data/Ostrel/Ostrel.log
fail() { echo "FAIL ($case_name): $*"; echo "--- program log"; tail -n 30 "$log" 2>/dev/null; exit 1; }

export XDG_RUNTIME_DIR=$work/run XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/Halvane"
chmod 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS
# No update check from a test: it would look the feed's host up.
printf '[Ostrel]\nDisableAutoUpdates=true\n' >"$XDG_CONFIG_HOME/Halvane/Ostrel.conf"

wait_for() { # SECONDS COMMAND...
  local i
  for ((i = 0; i < $1 * 10; i++)); do "${@:2}" && return 0; sleep 0.1; done
  return 1
}

start_desktop() { # [tray]
  exec 5>"$work/displayfd"
  Xvfb -displayfd 5 -screen 0 1280x800x24 -noreset -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  local n=""
  for _ in $(seq 100); do n=$(head -n 1 "$work/displayfd" 2>/dev/null); [ -n "$n" ] && break; sleep 0.1; done
  [ -n "$n" ] || fail "Xvfb did not start"
  export DISPLAY=:$n
  # openbox announces itself (_NET_SUPPORTING_WM_CHECK) as it begins to start; a window mapped
  # before it has finished starting stays unmapped (its map request waits in openbox's queue
  # until some later event wakes it). Wait for the command it runs once it is ready.
  openbox --startup "touch $work/wm-ready" >/dev/null 2>&1 &
  pids+=($!)
  wait_for 10 test -e "$work/wm-ready" || fail "no window manager"
  if [ "${1:-}" = tray ]; then
    trayer --edge top --align right --widthtype pixel --width 200 --height 24 >/dev/null 2>&1 &
    pids+=($!)
    wait_for 10 xwininfo -name panel >/dev/null 2>&1 || fail "trayer did not start"
  fi
}

start_program() {
  "$ostrel" "$@" 2>"$work/stderr" &
  program=$!
  pids+=($program)
}

logged() { grep -q "$1" "$log" 2>/dev/null; }
visible_window() { xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; }

menu_count() { grep -c "Tray menu:" "$log"; }
open_menu() { # right-clicks the icon at the tray's right end until the menu line appears
  local before i
  before=$(menu_count)
  # The icon is embedded a moment after it is added, so the first click may miss it.
  for i in $(seq 20); do
    xdotool mousemove 1268 12 click 3
    for _ in $(seq 10); do [ "$(menu_count)" -gt "$before" ] && return 0; sleep 0.1; done
  done
  return 1
}

case $case_name in
tray)
  start_desktop tray
  start_program
  wait_for 20 logged "Tray icon added" || fail "no tray icon"
  open_menu || fail "the menu did not open from the icon"
  menu=$(grep "Tray menu:" "$log" | tail -n 1)
  expected="Tray menu: Show Preferences | AirPlay: Not Connected | No Devices found | Display 1 - (1280x800) | Specific App... | Audio: Disabled | Enable Audio | Help and Support | Exit"
  [ "${menu%$'\r'}" = "$expected" ] || fail "menu entries: $menu"
  # The first entry opens Preferences.
  xdotool mousemove 640 600 # no entry active under the pointer: keys start at the top
  sleep 0.3
  xdotool key Down Return
  wait_for 10 visible_window '^Preferences$' || fail "Show Preferences did not show the window"
  open_menu || fail "the menu did not open a second time"
  grep "Tray menu:" "$log" | tail -n 1 | grep -q "^Tray menu: Hide Preferences |" ||
    fail "the menu does not offer Hide Preferences while the window shows"
  # Exit, the last entry.
  xdotool mousemove 640 600
  sleep 0.3
  xdotool key Up Return
  wait_for 10 bash -c "! kill -0 $program 2>/dev/null" || fail "Exit did not end the program"
  wait "$program"
  status=$?
  [ "$status" = 0 ] || fail "exit status $status after Exit"
  logged "Debug Log Ended" || fail "log not closed"
  ;;
no-tray)
  start_desktop
  start_program
  wait_for 20 logged "No notification area is running" || fail "no notice of the missing tray"
  wait_for 10 visible_window '^Ostrel$' || fail "no window offering the menu"
  ;;
second-copy)
  start_desktop tray
  start_program
  wait_for 20 logged "Tray icon added" || fail "the first copy did not start"
  lines=$(wc -l <"$log")
  "$ostrel" >"$work/second.out" 2>&1
  status=$?
  [ "$status" = 255 ] || fail "second copy exit status $status"
  [ ! -s "$work/second.out" ] || fail "the second copy wrote: $(cat "$work/second.out")"
  [ "$(wc -l <"$log")" = "$lines" ] || fail "the second copy logged"
  ;;
*)
  echo "unknown case $case_name"
  exit 2
  ;;
esac
echo "PASS ($case_name)"
