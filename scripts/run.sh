#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the program and runs its main job: mirroring
# a display to the built-in receiver on this machine for a few seconds (DEMO_SECONDS,
# default 8), with the sound it plays. Without a running X display it starts a virtual one
# with something on it; without a sound server, a private one. The program runs on a data
# folder of its own (out/demo-data) with audio on, so the user's own settings stay as they
# are. The receiver's report, last picture and what it heard land in out/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/install-deps.sh
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target ostrel ostrel-receiver
mkdir -p out/demo-data/Ostrel
rm -f out/receiver-report.json out/receiver-last.png out/receiver-audio.wav
cat >out/demo-data/Ostrel/Settings.xml <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>MaxFPS</key>
	<string>30</string>
	<key>AudioEnabled</key>
	<integer>1</integer>
</dict>
</plist>
XML
seconds=${DEMO_SECONDS:-8}

pids=()
cleanup() { # newest first: the player goes before its sound server
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  if [ -n "${private_runtime:-}" ]; then rm -rf "$private_runtime"; fi
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

if ! pactl info >/dev/null 2>&1; then
  XDG_RUNTIME_DIR=$(mktemp -d /tmp/ostrel-demo-sound-XXXXXX)
  private_runtime=$XDG_RUNTIME_DIR
  export XDG_RUNTIME_DIR
  chmod 700 "$XDG_RUNTIME_DIR"
  # Off the session bus: another PulseAudio there holds its bus name and this one would exit.
  DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/no-bus \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --log-level=error \
      -L "module-native-protocol-unix auth-anonymous=1" \
      -L "module-null-sink sink_name=demo_speakers channels=2" >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  pactl set-default-sink demo_speakers
  echo "run: started a private sound server in $XDG_RUNTIME_DIR"
fi
# A little tune, repeated for longer than the run, playing while the screen is mirrored.
notes=()
for n in C4 E4 G4 C5; do
  sox -n -r 44100 -c 2 -b 16 "out/demo-note-$n.wav" synth 0.3 pluck "$n"
  notes+=("out/demo-note-$n.wav")
done
sox -n -r 44100 -c 2 -b 16 out/demo-rest.wav trim 0 0.4
sox "${notes[@]}" out/demo-rest.wav out/demo-sound.wav repeat $((seconds / 2 + 5))
rm -f "${notes[@]}" out/demo-rest.wav
paplay out/demo-sound.wav &
pids+=($!)

./build/tools/receiver/ostrel-receiver --bind 127.0.0.1 --exit-on-disconnect \
  --report out/receiver-report.json --png out/receiver-last.png --wav out/receiver-audio.wav \
  2>out/receiver.log &
receiver=$!
pids+=($receiver)
for _ in $(seq 50); do grep -q Listening out/receiver.log 2>/dev/null && break; sleep 0.1; done

echo "run: mirroring $DISPLAY to the built-in receiver for ${seconds}s"
XDG_DATA_HOME=$root/out/demo-data ./build/shell/ostrel "connect?host=127.0.0.1&key=demo&display=0" \
  2>out/ostrel.log &
sender=$!
sleep "$seconds"
kill -INT "$sender" 2>/dev/null || true
wait "$sender" || true
for _ in $(seq 50); do kill -0 "$receiver" 2>/dev/null || break; sleep 0.1; done
grep -E "Summary|Audio summary" out/receiver.log | tail -n 2
echo "run: receiver report $root/out/receiver-report.json"
echo "run: last picture   $root/out/receiver-last.png"
echo "run: what it heard  $root/out/receiver-audio.wav"
echo "run: program log     $root/out/ostrel.log"
