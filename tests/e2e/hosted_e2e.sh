#!/usr/bin/env bash
# End-to-end runs of the ostrel program in hosted mode against the built-in receiver.
# Each case runs in a private network namespace (the protocol's ports are fixed) with
# its own Xvfb display. Usage: hosted_e2e.sh OSTREL RECEIVER CASE
set -uo pipefail
ostrel=$1
receiver=$2
case_name=$3

. "$(dirname "$0")/../support/e2e_lib.sh"
e2e_begin "$0" "$@"

export XDG_RUNTIME_DIR=$work/run XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_DATA_HOME/Ostrel" "$XDG_CONFIG_HOME"
chmod 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS
# No system bus: discovery then browses through its own mDNS stack inside this namespace
# instead of asking a daemon that may serve the machine's real network.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-system-bus

settings() { # MaxFPS ShowMouse Overscan Force720p [LastPassword-scrambled]
  local pw=""
  [ -n "${5:-}" ] && pw="	<key>LastPassword</key>
	<string>$5</string>
"
  cat >"$XDG_DATA_HOME/Ostrel/Settings.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>Overscan</key>
	<string>$3</string>
	<key>MaxFPS</key>
	<string>$1</string>
	<key>ShowMouse</key>
	<string>$2</string>
	<key>Force720p</key>
	<string>$4</string>
$pw</dict>
</plist>
XML
}

start_display() { # [WIDTHxHEIGHT]
  e2e_start_xvfb "${1:-1920x1080}"
  xsetroot -solid '#2f6fb0'
  # Something still and detailed to look at; the pointer goes to a corner.
  xlogo -geometry 500x500+200+150 >/dev/null 2>&1 &
  pids+=($!)
  xdotool mousemove 1900 1060 2>/dev/null
  for _ in $(seq 50); do xwininfo -name xlogo >/dev/null 2>&1 && break; sleep 0.1; done
  sleep 0.5
}

start_receiver() { # extra options...
  "$receiver" --bind 127.0.0.1 --exit-on-disconnect --report "$work/report.json" \
    --png "$work/last.png" "$@" 2>"$work/rx.log" &
  rx=$!
  pids+=($rx)
  for _ in $(seq 50); do grep -q "Listening" "$work/rx.log" 2>/dev/null && break; sleep 0.1; done
}

start_sender() {
  "$ostrel" "connect?host=127.0.0.1&key=test&display=0" >"$work/ostrel.out" 2>"$work/ostrel.log" &
  sender=$!
}

# wait_for SECONDS COMMAND...: polls COMMAND every 0.1 s; false when the time runs out or
# the program ends first. A loaded machine may take a while to start streaming, so cases
# wait for what they need instead of a fixed time.
wait_for() {
  local i
  for ((i = 0; i < $1 * 10; i++)); do
    "${@:2}" && return 0
    kill -0 "$sender" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

pictures_at_least() { # the receiver logs its first three video packets
  [ "$(grep -c 'video packet, ' "$work/rx.log" 2>/dev/null)" -ge "$1" ]
}

stop_sender() { # sets sender_status and stop_ms
  local t0
  t0=$(date +%s%N)
  kill -INT "$sender" 2>/dev/null
  for _ in $(seq 100); do kill -0 "$sender" 2>/dev/null || break; sleep 0.05; done
  if kill -0 "$sender" 2>/dev/null; then kill -9 "$sender"; wait "$sender"; fail "the program did not stop within 5 s of SIGINT"; fi
  wait "$sender"
  sender_status=$?
  stop_ms=$((($(date +%s%N) - t0) / 1000000))
}

run_sender() { # seconds: runs the program that long (or until it ends by itself)
  start_sender
  wait_for "$1" false
  stop_sender
}

streamed_sender() { # runs the program until three pictures arrived, then one more second
  start_sender
  wait_for 30 pictures_at_least 3 || fail "no pictures within 30 s"
  sleep 1
  stop_sender
}

# receiver_link: a veth pair to a namespace of the receiver's own: this side is vs
# (10.77.0.1), the receiver's vr (10.77.0.2); in_rx runs a command over there.
receiver_link() {
  command -v nsenter >/dev/null && command -v tc >/dev/null || { echo "SKIP: nsenter or tc missing"; exit 77; }
  unshare -n sleep 600 &
  holder=$!
  pids+=($holder)
  own_namespace() { [ "$(readlink /proc/$holder/ns/net)" != "$(readlink /proc/$$/ns/net)" ]; }
  wait_until 5 own_namespace ||
    fail "the receiver's namespace did not appear"
  in_rx() { nsenter -t "$holder" -n "$@"; }
  ip link add vs type veth peer name vr netns "$holder" || { echo "SKIP: no veth"; exit 77; }
  ip addr add 10.77.0.1/24 dev vs && ip link set vs up || fail "sender side of the link"
  in_rx ip link set lo up && in_rx ip addr add 10.77.0.2/24 dev vr && in_rx ip link set vr up ||
    fail "receiver side of the link"
}

# The receiver (with extra options) on the far end of receiver_link's pair, and the program
# mirroring to it; returns once pictures arrive.
mirror_across_link() {
  in_rx "$receiver" --bind 10.77.0.2 --report "$work/report.json" --width 1280 --height 720 \
    "$@" 2>"$work/rx.log" &
  rx=$!
  pids+=($rx)
  wait_until 5 grep -q "Listening" "$work/rx.log" || fail "the receiver did not start"
  "$ostrel" "connect?host=10.77.0.2&key=test&display=0" >"$work/ostrel.out" 2>"$work/ostrel.log" &
  sender=$!
  pids+=($sender)
  wait_for 30 pictures_at_least 3 || fail "no pictures within 30 s"
}

wait_receiver() {
  for _ in $(seq 50); do kill -0 "$rx" 2>/dev/null || break; sleep 0.1; done
  kill -INT "$rx" 2>/dev/null
  wait "$rx" 2>/dev/null
  [ -s "$work/report.json" ] || fail "no receiver report"
}

case $case_name in
stream)
  settings 30 0 0 0
  start_display
  start_receiver --width 1280 --height 720
  start_sender
  wait_for 30 pictures_at_least 3 || fail "no pictures within 30 s"
  # Past the first heartbeat (due 7 s after connecting) and the next one.
  wait_for 40 grep -q "heartbeat, .* after the previous one" "$work/rx.log" ||
    fail "fewer than two heartbeats within 40 s"
  stop_sender
  wait_receiver
  [ "$stop_ms" -lt 2000 ] || fail "stop took $stop_ms ms"
  [ "$sender_status" = 0 ] || fail "exit status $sender_status after a clean stop"
  [ "$(json '["decodeErrors"]')" = 0 ] || fail "decode errors: $(json '["decodeErrors"]')"
  frames=$(json '["framesDecoded"]')
  # The desktop is still: pictures come at the still rate, and every one decodes.
  [ "$frames" = "$(json '["packets"]["video"]')" ] ||
    fail "$frames of $(json '["packets"]["video"]') pictures decoded"
  python3 -c "
import json, sys
r = json.load(open('$work/report.json'))['videoRate']
sys.exit(0 if r['spanSeconds'] >= 5 and r['picturesPerSecond'] >= 1.0 else 1)" ||
    fail "picture rate $(json '["videoRate"]')"
  [ "$(json '["packetSequence"][0]')" = C ] || fail "the first packet was not a codec packet"
  [ "$(json '["packets"]["picturesBeforeCodec"]')" = 0 ] || fail "pictures before the codec packet"
  [ "$(json '["postStream"]["ok"]')" = True ] || fail "POST /stream body refused"
  [ "$(json '["senderHeaders"]["ok"]')" = True ] || fail "request headers refused"
  [ "$(json '["decodedSize"]["width"]')x$(json '["decodedSize"]["height"]')" = 1280x720 ] ||
    fail "decoded size $(json '["decodedSize"]')"
  [ "$(json '["ntp"]["replies"]')" -ge 2 ] || fail "no timing replies"
  # Heartbeats: the first at least 7 whole seconds after connecting, never two within a second.
  python3 -c "
import json, sys
r = json.load(open('$work/report.json'))
t = r['heartbeatTiming']
n = r['packets']['heartbeat']
ok = n >= 1 and t['firstAfterSeconds'] >= 6.0 and (n < 2 or t['minGapSeconds'] >= 0.9)
sys.exit(0 if ok else 1)" || fail "heartbeat timing $(json '["heartbeatTiming"]'), count $(json '["packets"]["heartbeat"]')"
  # The last decoded picture against the screen itself.
  import -window root "$work/screen.png"
  convert "$work/screen.png" -resize 1280x720! "$work/screen720.png"
  psnr=$(compare -metric PSNR "$work/screen720.png" "$work/last.png" null: 2>&1 | cut -d' ' -f1)
  echo "stream: $frames pictures, PSNR $psnr dB, stop $stop_ms ms"
  awk -v p="$psnr" 'BEGIN { exit !(p == "inf" || p >= 30) }' || fail "PSNR $psnr dB below 30"
  grep -q "Debug Log Ended" "$XDG_DATA_HOME/Ostrel/Ostrel.log" || fail "log not closed"
  # A host program may read our standard output: nothing of ours lands there.
  [ ! -s "$work/ostrel.out" ] || fail "standard output: $(head -c 300 "$work/ostrel.out")"
  # Told its receiver, a hosted run browses nothing and starts no mDNS responder.
  ! grep -qE "mDNSResponder|DNS-SD daemon|mDNS: " "$work/ostrel.log" || fail "discovery ran: $(grep -m1 -E "mDNS|DNS-SD" "$work/ostrel.log")"
  ;;
changes)
  # Things move all over the screen, the cursor with them, while a corner never stops
  # changing, so no still-screen picture (which is made whole) comes in between: each
  # picture is made by redoing only what changed on top of the one before, yet the last
  # one must show the whole screen as it is, with nothing left where things were.
  settings 60 1 0 0
  start_display
  busy_screen=$4
  "$busy_screen" 48 48 &
  pids+=($!)
  start_receiver --width 1280 --height 720 --verbose
  start_sender
  wait_for 30 pictures_at_least 3 || fail "no pictures within 30 s"
  logo=$(xdotool search --name xlogo | head -n 1)
  [ -n "$logo" ] || fail "no xlogo window"
  packets() { grep -c 'video packet, ' "$work/rx.log"; }
  more_pictures() { [ "$(packets)" -ge $(($1 + $2)) ]; }
  for step in 0 1 2 3 4 5 6 7; do
    x=$((150 + step * 160)) y=$((100 + (step % 3) * 180))
    xdotool windowmove "$logo" $x $y
    xdotool mousemove $((1800 - step * 210)) $((200 + step * 100))
    n=$(packets)
    wait_for 10 more_pictures "$n" 4 || fail "pictures stopped after move $step"
  done
  # The cursor ends inside the busy corner, which the comparison leaves out.
  xdotool mousemove 10 10
  n=$(packets)
  wait_for 10 more_pictures "$n" 30 || fail "pictures stopped at the end"
  import -window root "$work/screen.png"
  n=$(packets)
  wait_for 10 more_pictures "$n" 10 || fail "pictures stopped after the screenshot"
  stop_sender
  wait_receiver
  [ "$(json '["decodeErrors"]')" = 0 ] || fail "decode errors: $(json '["decodeErrors"]')"
  for f in screen last; do
    convert "$work/$f.png" -resize 1280x720! -fill black -draw "rectangle 0,0 63,63" \
      -colorspace Gray "$work/$f-cmp.png" || fail "cannot prepare $f.png"
  done
  # Pixels off by more than a fifth of the range: scaling and coding leave about 1300
  # along the logo's sharp edges whether pictures are made whole or in part; a logo left
  # behind would add tens of thousands.
  off() { compare -metric AE -fuzz 20% "$work/screen-cmp.png$1" "$work/last-cmp.png$1" null: 2>&1 | cut -d' ' -f1; }
  total=$(off "")
  echo "changes: $total pixels off, $(json '["framesDecoded"]') pictures"
  [ "$total" -lt 4000 ] 2>/dev/null || fail "the last picture differs from the screen in $total pixels"
  # Where the cursor was drawn on the way, flat background now: a cursor left behind
  # shows there.
  for step in 0 1 2 3 4 5 6 7; do
    x=$(((1800 - step * 210) * 2 / 3 - 8)) y=$(((200 + step * 100) * 2 / 3 - 8))
    here=$(off "[16x16+$x+$y]")
    [ "$here" -lt 8 ] 2>/dev/null || fail "$here pixels off where the cursor was at move $step"
  done
  ;;
no-receiver)
  settings 30 0 0 0
  start_display
  run_sender 10
  grep -q "Client mirroring connection failed (Unable to Connect: Firewall?): 12293" "$work/ostrel.log" ||
    fail "no connect-failure line"
  [ "$sender_status" = 1 ] || fail "exit status $sender_status, expected failure 1"
  ;;
receiver-closes)
  settings 30 0 0 0
  start_display
  start_receiver --close-after-packets 15
  run_sender 30
  wait_receiver
  grep -q "Client mirroring connection failed (Disconnected by host: Not ATV2 or Firmware Version Incorrect? Upgrade or Reboot Apple TV): 12291" "$work/ostrel.log" ||
    fail "no disconnect line with 12291"
  grep -q "Video capture has stopped" "$work/ostrel.log" || fail "capture was not stopped"
  [ "$sender_status" = 2 ] || fail "exit status $sender_status, expected failure 2"
  ;;
busy)
  settings 30 0 0 0
  start_display
  start_receiver --busy
  run_sender 10
  wait_receiver
  grep -q "AirPlay Device already in use!" "$work/ostrel.log" || fail "busy receiver not reported"
  [ "$(json '["packets"]["total"]')" = 0 ] || fail "streamed to a busy receiver"
  [ "$sender_status" = 2 ] || fail "exit status $sender_status, expected failure 2"
  ;;
session-end)
  # A private bus stands in for the system bus, with a stand-in logind on it.
  logind=${4:?the session-end case needs the stand-in logind}
  dbus-daemon --session --nofork --address="unix:path=$work/system-bus" 2>"$work/bus.log" &
  pids+=($!)
  wait_until 10 test -S "$work/system-bus" || fail "the private bus did not start"
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/system-bus
  mkfifo "$work/logind.in"
  "$logind" 120 <"$work/logind.in" >"$work/logind.log" 2>&1 &
  pids+=($!)
  exec 7>"$work/logind.in"
  wait_until 10 grep -q "^ready" "$work/logind.log" || fail "the stand-in logind did not start"
  settings 30 0 0 0
  start_display 1280x720
  start_receiver --width 1280 --height 720
  start_sender
  wait_for 30 pictures_at_least 3 || fail "no pictures within 30 s"
  wait_for 10 grep -q "^inhibit shutdown Ostrel delay" "$work/logind.log" ||
    fail "no shutdown delay lock was taken"
  ! grep -q "7100: connection closed by the peer\|7100: connection ended" "$work/rx.log" ||
    fail "the connection ended before the shutdown"
  echo shutdown >&7
  # The lock comes back only once the receiver has been left; the silent run then ends.
  wait_until 10 grep -q "^released shutdown" "$work/logind.log" || fail "the lock was not given back"
  wait_until 10 grep -q "7100: connection closed by the peer" "$work/rx.log" ||
    fail "the connection did not end"
  python3 - "$work/logind.log" "$work/rx.log" <<'PY' || fail "the lock was given back before the connection ended"
import re, sys
def seconds(stamp):
    h, m, s = stamp.split(":")
    return int(h) * 3600 + int(m) * 60 + float(s)
released = seconds(re.search(r"^released shutdown (\S+)", open(sys.argv[1]).read(), re.M).group(1))
closed = seconds(re.search(r"^receiver (\S+) \S+7100: connection closed by the peer", open(sys.argv[2]).read(), re.M).group(1))
gap = (released - closed + 43200) % 86400 - 43200  # a run across midnight
print(f"lock given back {gap * 1000:.0f} ms after the receiver was left")
sys.exit(0 if gap >= 0 else 1)
PY
  for _ in $(seq 100); do kill -0 "$sender" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$sender" 2>/dev/null && fail "the program went on after the shutdown was announced"
  wait "$sender"
  sender_status=$?
  [ "$sender_status" = 0 ] || fail "exit status $sender_status after the shutdown"
  grep -q "The system is shutting down; ending the connection" "$work/ostrel.log" ||
    fail "no line for the shutdown"
  wait_receiver
  [ "$(json '["decodeErrors"]')" = 0 ] || fail "decode errors: $(json '["decodeErrors"]')"
  ;;
silent)
  # A receiver that accepts and then answers nothing at one request: the run ends by itself
  # within the answer bound (15 s) with failure 5, and says why.
  settings 30 0 0 0
  start_display
  for request in stream.xml stream; do
    start_receiver --silent-at "$request"
    t0=$(date +%s%N)
    start_sender
    wait_for 25 false
    ended_ms=$((($(date +%s%N) - t0) / 1000000))
    kill -0 "$sender" 2>/dev/null && fail "$request: the program still runs ${ended_ms} ms after a silent receiver"
    wait "$sender"
    sender_status=$?
    [ "$sender_status" = 5 ] || fail "$request: exit status $sender_status, expected failure 5"
    [ "$ended_ms" -ge 14000 ] || fail "$request: gave up after $ended_ms ms, before its bound"
    want="GET /stream.xml"; [ "$request" = stream ] && want="POST /stream"
    grep -q "AirPlay: the receiver did not answer $want within 15 s; ending the connection" "$work/ostrel.log" ||
      fail "$request: no line saying the receiver did not answer"
    grep -q "left unanswered, as asked" "$work/rx.log" || fail "$request: the receiver answered"
    wait_receiver
    echo "silent at $request: ended by itself after $ended_ms ms with status $sender_status"
  done
  ;;
slow-link)
  # The receiver behind a link of 1 Mbit/s while the screen wants about twice that. What
  # waits to be sent must stay within a small budget: the picture lags by a bounded amount
  # instead of falling further behind every second (it grew by about a second every second when
  # every picture was queued), and every picture still decodes.
  receiver_link
  tc qdisc add dev vs root tbf rate 1mbit burst 16kb latency 2s || fail "could not shape the link"
  settings 30 0 0 0
  start_display 1280x720
  busy_screen=$4
  "$busy_screen" 480 270 &
  pids+=($!)
  xclock -update 1 -geometry 300x300+960+100 >/dev/null 2>&1 &
  pids+=($!)
  mirror_across_link --verbose --exit-on-disconnect
  seconds_streamed() { # from the first video packet to the last one the receiver logged
    grep 'video packet, ' "$work/rx.log" | awk '{ split($2, t, ":"); s = t[1] * 3600 + t[2] * 60 + t[3]
      if (first == "") first = s; last = s } END { if (first == "") print 0; else print last - first }'
  }
  streamed_at_least() { awk -v have="$(seconds_streamed)" -v want="$1" 'BEGIN { exit !(have >= want) }'; }
  wait_for 90 streamed_at_least 25 || fail "the stream did not last 25 s"
  # Back to an open link: what waited drains at once, and the ceiling is raised until the
  # link no longer limits the video.
  log=$XDG_DATA_HOME/Ostrel/Ostrel.log
  grep -q "AirPlay: the link carries about .* kbit/s; video limited to" "$log" ||
    fail "no line saying the video was limited to the link"
  opened_at=$(date -u +%H:%M:%S.%N)
  opened_ns=$(date +%s%N)
  tc qdisc del dev vs root || fail "could not lift the shaping"
  wait_for 15 grep -q "AirPlay: the link keeps up" "$log" || fail "the ceiling was not lifted within 15 s"
  lifted_ms=$((($(date +%s%N) - opened_ns) / 1000000))
  after_open_lag() { # the largest lag of pictures arriving more than 2 s after the link opened
    grep 'video packet, ' "$work/rx.log" | awk -v opened="$opened_at" '
      function secs(text) { split(text, t, ":"); return t[1] * 3600 + t[2] * 60 + t[3] }
      BEGIN { o = secs(opened); worst = -1 }
      secs($2) - o >= 2 { for (i = 1; i <= NF; i++) if ($i == "latency" && $(i + 1) > worst) worst = $(i + 1) }
      END { print worst }'
  }
  some_after_open() { awk -v v="$(after_open_lag)" 'BEGIN { exit !(v >= 0) }'; }
  wait_for 10 some_after_open || fail "no pictures 2 s after the link opened"
  stop_sender
  reopened_lag=$(after_open_lag)
  wait_receiver
  [ -s "$work/report.json" ] || fail "no receiver report"
  # Latency: each video packet's arrival minus its send time stamp, which covers every queue
  # on the way (the send ring, the socket, the shaped link), over the whole run (mostly the
  # 25 s on the slow link).
  p50=$(json '["latencyMs"]["p50"]')
  p99=$(json '["latencyMs"]["p99"]')
  worst=$(json '["latencyMs"]["max"]')
  count=$(json '["latencyMs"]["count"]')
  decoded=$(json '["framesDecoded"]')
  errors=$(json '["decodeErrors"]')
  packets=$(json '["packets"]["video"]')
  kbps=$(python3 -c "import json; r = json.load(open('$work/report.json')); print(round(r['packets']['payloadBytes'] * 8 / 1000 / max(r['videoRate']['spanSeconds'], 1)))")
  echo "slow-link (1 Mbit/s): $count pictures, lag p50 $p50 ms, p99 $p99 ms, max $worst ms; $decoded of $packets pictures decoded, $errors decode errors; $kbps kbit/s on average"
  [ "$count" -ge 200 ] || fail "only $count pictures"
  awk -v v="$p99" 'BEGIN { exit !(v <= 600) }' || fail "lag p99 $p99 ms on a 1 Mbit/s link"
  awk -v v="$worst" 'BEGIN { exit !(v <= 1500) }' || fail "lag reached $worst ms on a 1 Mbit/s link"
  [ "$errors" = 0 ] || fail "$errors decode errors"
  [ "$decoded" = "$packets" ] || fail "$decoded of $packets pictures decoded"
  echo "slow-link: back on the open link, lag at most $reopened_lag ms from 2 s on; the link's ceiling lifted after $lifted_ms ms"
  awk -v v="$reopened_lag" 'BEGIN { exit !(v <= 100) }' || fail "lag $reopened_lag ms 2 s after the link opened"
  [ "$lifted_ms" -le 10000 ] || fail "the ceiling was lifted only after $lifted_ms ms"
  ;;
black-hole)
  # The receiver sits behind a veth pair in a namespace of its own. First the link is
  # throttled well below the stream's rate for longer than the dead-link bound: the receiver
  # still acknowledges, so the run must go on. Then the receiver's end of the link goes down
  # without a word: the run must end by itself within 10 s with a failure, say why, stop
  # capturing and let the display sleep.
  receiver_link
  settings 30 0 0 0
  start_display 1280x720
  # Changing pictures keep the stream busy, as a video on the screen would.
  xclock -update 1 -geometry 400x400+100+100 >/dev/null 2>&1 &
  pids+=($!)
  mirror_across_link
  log=$XDG_DATA_HOME/Ostrel/Ostrel.log
  grep -q "Congestion control on the connection to port 7100: " "$log" || fail "no congestion control line"
  # Slow but alive: 200 kbit/s for 10 s, longer than the 6 s bound on unacknowledged data.
  tc qdisc add dev vs root tbf rate 200kbit burst 8kb latency 2s || fail "could not throttle"
  before=$(wc -c <"$work/rx.log")
  wait_for 10 false
  kill -0 "$sender" 2>/dev/null || fail "a slow link that still acknowledges was taken as dead"
  tc qdisc del dev vs root
  wait_for 10 grep -q "heartbeat" <(tail -c +"$before" "$work/rx.log") ||
    fail "nothing reached the receiver after the slow spell"
  # The black hole.
  t0=$(date +%s%N)
  in_rx ip link set vr down
  for _ in $(seq 200); do kill -0 "$sender" 2>/dev/null || break; sleep 0.05; done
  ended_ms=$((($(date +%s%N) - t0) / 1000000))
  kill -0 "$sender" 2>/dev/null && fail "the program still runs $ended_ms ms after the link went down"
  wait "$sender"
  sender_status=$?
  echo "black-hole: the run ended $ended_ms ms after the link went down, status $sender_status"
  [ "$ended_ms" -le 10000 ] || fail "the run took $ended_ms ms to end"
  [ "$sender_status" = 5 ] || fail "exit status $sender_status, expected failure 5"
  grep -q "AirPlay: the receiver acknowledged nothing for 6 s (link down or receiver gone); ending the connection" "$log" ||
    fail "no line saying the receiver went silent"
  grep -q "Client mirroring connection failed (Receiver Unreachable: Link Down?): 12295" "$log" ||
    fail "no connection-failure line"
  grep -q "Video capture has stopped" "$log" || fail "capture was not stopped"
  grep -q "The system may sleep (display)" "$log" || fail "the display was not allowed to sleep"
  ;;
wrong-port)
  # Port 7100 refuses while 7000 answers: a receiver of another kind of screen mirroring.
  settings 30 0 0 0
  start_display
  start_receiver --mirror-port 7200
  run_sender 10
  grep -q "Client mirroring connection failed (Unable to Connect: Firewall?): 12293" "$work/ostrel.log" ||
    fail "no connect-failure line"
  grep -q "AirPlay: port 7100 refused but port 7000 answers: the receiver does not accept this kind of screen mirroring" "$work/ostrel.log" ||
    fail "no line naming the kind of mirroring"
  [ "$sender_status" = 1 ] || fail "exit status $sender_status, expected failure 1"
  ;;
stored-password)
  # "s3cret" scrambled: each byte XOR its position.
  scrambled=$(python3 -c "print(''.join(chr(ord(c) ^ i) for i, c in enumerate('s3cret')))")
  settings 30 0 0 0 "$scrambled"
  start_display
  start_receiver --password s3cret
  streamed_sender
  wait_receiver
  [ "$(json '["auth"]["result"]')" = accepted ] || fail "password not accepted: $(json '["auth"]')"
  [ "$(json '["framesDecoded"]')" -ge 5 ] || fail "nothing streamed after authentication"
  ;;
geometry)
  # Where the picture lands on the receiver: full screen, forced 720p, and a 4:3 screen
  # centred on a 1280x720 receiver.
  check_geometry() { # screen receiverWidth receiverHeight force720p expected
    settings 30 0 0 "$4"
    start_display "$1"
    start_receiver --width "$2" --height "$3"
    streamed_sender
    wait_receiver
    local got
    got=$(python3 -c "import json; g=json.load(open('$work/report.json'))['lastVideoGeometry']; print('%d %d %d %d' % (g['left'], g['top'], g['right'], g['bottom']))")
    [ "$got" = "$5" ] || fail "screen $1 on $2x$3 (force720p $4): geometry $got, expected $5"
    echo "geometry: screen $1 on $2x$3 force720p $4: $got"
    for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
    pids=()
  }
  check_geometry 1920x1080 1920 1080 0 "0 0 1919 1079"
  check_geometry 1920x1080 1920 1080 1 "0 0 1919 1079"
  check_geometry 1440x1080 1280 720 0 "160 0 959 719"
  ;;
display-change)
  # The display shrinks to its left half while mirroring: the program lists the displays
  # again, rebuilds the encoder for the new size and sends a new codec packet first.
  settings 30 0 0 0
  start_display 1920x1080
  start_receiver --width 1920 --height 1080
  start_sender
  wait_for 30 pictures_at_least 3 || fail "no pictures within 30 s"
  xrandr --setmonitor LEFT 960/254x1080/286+0+0 screen
  wait_for 30 grep -q "Decoded picture size 960x1080" "$work/rx.log" ||
    fail "no picture of the new size within 30 s"
  sleep 1
  stop_sender
  wait_receiver
  [ "$sender_status" = 0 ] || fail "exit status $sender_status after a clean stop"
  grep -q "Found Monitor 0 960x1080" "$work/ostrel.log" || fail "the displays were not listed again"
  [ "$(json '["decodeErrors"]')" = 0 ] || fail "decode errors: $(json '["decodeErrors"]')"
  [ "$(json '["sizeMismatches"]')" = 0 ] || fail "pictures not the size their codec packet gave"
  [ "$(json '["codecPackets"]')" -ge 2 ] || fail "no new codec packet after the change"
  [ "$(json '["decodedSize"]["width"]')x$(json '["decodedSize"]["height"]')" = 960x1080 ] ||
    fail "decoded size after the change $(json '["decodedSize"]')"
  got=$(python3 -c "import json; g=json.load(open('$work/report.json'))['lastVideoGeometry']; print('%d %d %d %d' % (g['left'], g['top'], g['right'], g['bottom']))")
  [ "$got" = "480 0 959 1079" ] || fail "geometry after the change $got"
  [ "$(json '["packets"]["picturesBeforeCodec"]')" = 0 ] || fail "pictures before the codec packet"
  echo "display-change: $(json '["codecPackets"]') codec packets, $(json '["framesDecoded"]') pictures"
  ;;
*)
  echo "unknown case $case_name"
  exit 2
  ;;
esac
echo "PASS ($case_name)"
