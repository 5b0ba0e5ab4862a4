# Shared pieces of the end-to-end scripts: a private network namespace, a work folder that
# is removed at exit with every process started, a private X display, bounded waits and
# reads of the receiver's report. Source it after setting case_name; it defines:
#   e2e_begin "$0" "$@"             re-runs the script in a network namespace of its own
#                                   (lo up), then makes work and pids
#   work, pids                      the work folder and the processes to end at exit
#   fail TEXT                       prints the program's and receiver's logs and exits 1
#   wait_until SECONDS COMMAND...   polls COMMAND every 0.1 s (re-evaluated each time)
#   e2e_start_xvfb [WxH]            starts Xvfb -displayfd, exports DISPLAY
#   json EXPR                       evaluates EXPR on the report, e.g. '["audio"]["frames"]'

e2e_begin() {
  if [ "${E2E_IN_NAMESPACE:-}" != 1 ]; then
    if ! unshare -n true 2>/dev/null; then
      echo "SKIP: network namespaces are not available"
      exit 77
    fi
    E2E_IN_NAMESPACE=1 exec unshare -n "$@"
  fi
  ip link set lo up
  work=$(mktemp -d /tmp/ostrel-e2e-XXXXXX)
  pids=()
  trap e2e_cleanup EXIT
}

e2e_cleanup() {
  for p in "${pids[@]}"; do [ -n "$p" ] && kill -9 "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do [ -n "$p" ] && wait "$p" 2>/dev/null; done
  if [ "${KEEP_E2E:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}

fail() {
  echo "FAIL (${case_name:-?}): $*"
  echo "--- program log"; tail -n 40 "$work/ostrel.log" 2>/dev/null
  echo "--- receiver log"; tail -n 20 "$work/rx.log" 2>/dev/null
  exit 1
}

wait_until() {
  local i
  for ((i = 0; i < $1 * 10; i++)); do
    "${@:2}" && return 0
    sleep 0.1
  done
  return 1
}

e2e_start_xvfb() {
  exec 5>"$work/displayfd"
  Xvfb -displayfd 5 -screen 0 "${1:-1920x1080}x24" -noreset -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  exec 5>&-
  local n=""
  for _ in $(seq 100); do n=$(head -n 1 "$work/displayfd" 2>/dev/null); [ -n "$n" ] && break; sleep 0.1; done
  [ -n "$n" ] || fail "Xvfb did not start"
  export DISPLAY=:$n
}

json() {
  python3 -c "import json,sys; r=json.load(open('$work/report.json')); print(eval('r'+sys.argv[1]))" "$1"
}
