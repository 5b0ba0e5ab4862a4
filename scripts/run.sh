#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the program and runs its main job: mirroring
# a display to the built-in receiver on this machine for a few seconds (DEMO_SECONDS,
# default 8). Without a running X display it starts a virtual one with something on it.
# The receiver's report and last picture land in out/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/install-deps.sh
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target ostrel ostrel-receiver
mkdir -p out
rm -f out/receiver-report.json out/receiver-last.png
seconds=${DEMO_SECONDS:-8}

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  for n in $(seq 90 120); do [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] || break; done
  export DISPLAY=:$n
  Xvfb "$DISPLAY" -screen 0 1920x1080x24 -noreset >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  openbox >/dev/null 2>&1 &
  pids+=($!)
  xsetroot -solid '#2f6fb0'
  xclock -update 1 -geometry 420x420+120+120 >/dev/null 2>&1 &
  pids+=($!)
  xeyes -geometry 300x200+700+200 >/dev/null 2>&1 &
  pids+=($!)
  echo "run: started a virtual display $DISPLAY"
fi

./build/tools/receiver/ostrel-receiver --bind 127.0.0.1 --exit-on-disconnect \
  --report out/receiver-report.json --png out/receiver-last.png 2>out/receiver.log &
receiver=$!
pids+=($receiver)
sleep 1

echo "run: mirroring $DISPLAY to the built-in receiver for ${seconds}s"
./build/shell/ostrel "connect?host=127.0.0.1&key=demo&display=0" 2>out/ostrel.log &
sender=$!
sleep "$seconds"
kill -INT "$sender" 2>/dev/null || true
wait "$sender" || true
for _ in $(seq 50); do kill -0 "$receiver" 2>/dev/null || break; sleep 0.1; done
tail -n 3 out/receiver.log
echo "run: receiver report $root/out/receiver-report.json"
echo "run: last picture   $root/out/receiver-last.png"
echo "run: program log     $root/out/ostrel.log"
