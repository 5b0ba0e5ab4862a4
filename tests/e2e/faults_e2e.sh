#!/usr/bin/env bash
# The program when a library it starts with fails (made to fail by fault_shim.so, preloaded).
# Usage: faults_e2e.sh OSTREL SHIM CASE
#   no-pages   the Preferences pages cannot be made: the run ends by itself with status 1,
#              torn down (the log closed)
#   no-browse  --list-receivers with no avahi-daemon and no embedded responder: status 1,
#              a line on standard error, nothing on standard output
set -uo pipefail
ostrel=$1
shim=$2
case_name=$3

. "$(dirname "$0")/../support/e2e_lib.sh"
e2e_begin "$0" "$@"

export XDG_RUNTIME_DIR=$work/run XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/Halvane"
chmod 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS
# No system bus: no avahi-daemon to ask, so discovery falls back to its own responder.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-system-bus
printf '[Ostrel]\nDisableAutoUpdates=true\n' >"$XDG_CONFIG_HOME/Halvane/Ostrel.conf"
log=$XDG_DATA_HOME/Ostrel/Ostrel.log
ended() { ! kill -0 "$program" 2>/dev/null; }

case $case_name in
no-pages)
  for tool in Xvfb openbox xprop; do
    command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
  done
  e2e_start_xvfb 1280x800
  openbox >/dev/null 2>&1 &
  pids+=($!)
  wait_until 10 xprop -root _NET_SUPPORTING_WM_CHECK >/dev/null 2>&1 || fail "no window manager"
  OSTREL_TEST_FAULT=preferences-pages LD_PRELOAD=$shim "$ostrel" >"$work/out" 2>"$work/ostrel.log" &
  program=$!
  pids+=($program)
  wait_until 20 ended || fail "the program did not end without its Preferences pages"
  wait "$program"
  status=$?
  grep -q "The Preferences pages could not be made" "$log" || fail "no line for the failure"
  [ "$status" = 1 ] || fail "exit status $status, expected 1"
  grep -q "Debug Log Ended" "$log" || fail "ended without its teardown (log not closed)"
  ;;
no-browse)
  OSTREL_TEST_FAULT=mdns-responder LD_PRELOAD=$shim "$ostrel" --list-receivers 1 \
    >"$work/out" 2>"$work/ostrel.log" &
  program=$!
  pids+=($program)
  wait_until 20 ended || fail "--list-receivers did not end"
  wait "$program"
  status=$?
  grep -q "Embedded DNS-SD responder could not start" "$work/ostrel.log" ||
    fail "the fault did not take effect"
  [ "$status" = 1 ] || fail "exit status $status when nothing could browse"
  grep -q "^ostrel: no receivers could be looked for" "$work/ostrel.log" ||
    fail "no message on standard error"
  [ ! -s "$work/out" ] || fail "standard output: $(cat "$work/out")"
  ;;
*)
  echo "unknown case $case_name"
  exit 2
  ;;
esac
echo "PASS ($case_name)"
