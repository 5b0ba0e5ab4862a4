#!/usr/bin/env bash
# Discovery between two network namespaces joined by a veth pair: receivers are announced in
# one (rx), the program browses in the other (tx). Usage:
#   discovery_ns.sh NS_TESTS OSTREL RECEIVER CASE
# CASE: daemon | daemon-restart | embedded | monitor | hostile | receiver | speakers | sound-to
set -uo pipefail
tests=$1
ostrel=$2
receiver=$3
case_name=$4
here=$(cd "$(dirname "$0")" && pwd)

if ! ip netns add "ostrel-probe-$$" 2>/dev/null; then
  echo "SKIP: network namespaces are not available (needs root)"
  exit 77
fi
ip netns del "ostrel-probe-$$"
for tool in avahi-daemon avahi-publish dbus-daemon; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

# shellcheck source=ns_env.sh
source "$here/ns_env.sh"
trap ns_cleanup EXIT
trap 'exit 1' INT TERM
fail() {
  echo "FAIL ($case_name): $*"
  for f in "$NS_WORK"/*.log "$NS_WORK"/*/avahi.log; do [ -f "$f" ] && { echo "--- $f"; tail -n 25 "$f"; }; done
  exit 1
}
ns_setup || fail "namespaces could not be made"

export NS_RX NS_RX_BUS
NS_RX_BUS=$(ns_bus "$NS_RX")
no_bus=unix:path=$NS_WORK/no-bus.sock # nobody listens: the program finds no daemon

in_tx() { # runs a command in the program's namespace with the given system bus
  local bus=$1
  shift
  DBUS_SYSTEM_BUS_ADDRESS=$bus ip netns exec "$NS_TX" "$@"
}

case $case_name in
daemon)
  ns_avahi "$NS_RX" "$NS_RX_IF" || fail "rx daemon"
  ns_avahi "$NS_TX" "$NS_TX_IF" || fail "tx daemon"
  in_tx "$(ns_bus "$NS_TX")" "$tests" --gtest_filter='DiscoveryNs.ListsPairs*' || fail "tests failed"
  ;;
embedded)
  ns_avahi "$NS_RX" "$NS_RX_IF" || fail "rx daemon"
  DISCOVERY_EXPECT_EMBEDDED=1 in_tx "$no_bus" "$tests" --gtest_filter='DiscoveryNs.ListsPairs*' ||
    fail "tests failed"
  ;;
daemon-restart)
  ns_avahi "$NS_RX" "$NS_RX_IF" || fail "rx daemon"
  ns_avahi "$NS_TX" "$NS_TX_IF" || fail "tx daemon"
  # The test asks (by files in NS_SIGNALS) for the program side's daemon to go away and
  # to come back; this script does it, as a package update or a crash would.
  export NS_SIGNALS=$NS_WORK/signals
  mkdir -p "$NS_SIGNALS"
  in_tx "$(ns_bus "$NS_TX")" "$tests" --gtest_filter='DiscoveryNs.BrowsingResumes*' &
  test_pid=$!
  await() { # file: false when the test ended first or 60 s passed
    for _ in $(seq 600); do
      [ -e "$NS_SIGNALS/$1" ] && return 0
      kill -0 "$test_pid" 2>/dev/null || return 1
      sleep 0.1
    done
    return 1
  }
  if await stop; then
    kill "$avahi_pid" && wait "$avahi_pid"
    touch "$NS_SIGNALS/stopped"
    await start && ns_avahi_daemon "$NS_TX" "$NS_WORK/$NS_TX/services" && touch "$NS_SIGNALS/started"
  fi
  wait "$test_pid" || fail "tests failed"
  ;;
monitor)
  ns_avahi "$NS_RX" "$NS_RX_IF" || fail "rx daemon"
  ns_avahi "$NS_TX" "$NS_TX_IF" || fail "tx daemon"
  in_tx "$(ns_bus "$NS_TX")" "$tests" --gtest_filter='DiscoveryNs.AddressChange*' || fail "tests failed"
  ;;
hostile)
  # Hundreds of static services, some with hostile names, one whose host never resolves.
  services=$NS_WORK/hostile-services
  mkdir -p "$services"
  HOSTILE_COUNT=$(python3 - "$services" <<'PY'
import sys, os
from xml.sax.saxutils import escape
out = sys.argv[1]
def write(i, name, kind, port, txt=(), host=None):
    items = "".join("<txt-record>%s</txt-record>" % escape(t) for t in txt)
    hostline = "<host-name>%s</host-name>" % host if host else ""
    with open(os.path.join(out, "s%04d.service" % i), "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" standalone="no"?><!DOCTYPE service-group SYSTEM "avahi-service.dtd">'
                '<service-group><name>%s</name><service><type>%s</type><port>%d</port>%s%s</service></service-group>'
                % (escape(name), kind, port, hostline, items))
airplay = ["Receiver %03d" % n for n in range(280)]
airplay += ["N" * 63, "a@b", "back\\slash", "dots.in.the.name", "\u00dcnic\u00f6de \u540d\u524d"]
i = 0
for n, name in enumerate(airplay):
    write(i, name, "_airplay._tcp", 7000, ["deviceid=02:00:00:00:%02X:%02X" % (n // 256, n % 256)]); i += 1
write(i, "Ghost", "_airplay._tcp", 7000, ["deviceid=02:00:00:00:ff:ff"], host="ghost-never-there.local"); i += 1
for n in range(20):
    write(i, "020000000%03X@Receiver %03d" % (n, n), "_raop._tcp", 47000 + n); i += 1
for name in ["@bad", "NoAt", "x" * 62 + "@y"]:
    write(i, name, "_raop._tcp", 1); i += 1
print(len(airplay) + 1)
PY
)
  export HOSTILE_COUNT
  ns_avahi "$NS_RX" "$NS_RX_IF" "$services" || fail "rx daemon"
  in_tx "$no_bus" "$tests" --gtest_filter='DiscoveryNs.Hostile*' || fail "tests failed"
  ;;
receiver)
  # The built-in receiver announces itself with its own mDNS stack (no daemon on its side);
  # the program finds it through its daemon, then mirrors to the address it found.
  # Beside it, a service whose name and device id hold a tab, a line end, a carriage
  # return and a backslash: listed escaped, it cannot forge fields or lines.
  mkdir -p "$NS_WORK/$NS_TX/services"
  cat >"$NS_WORK/$NS_TX/services/forger.service" <<'XML'
<?xml version="1.0" standalone="no"?><!DOCTYPE service-group SYSTEM "avahi-service.dtd">
<service-group><name>Evil&#9;10.0.0.9&#10;Forged&#13;\x</name><service><type>_airplay._tcp</type>
<port>7000</port><txt-record>deviceid=AA&#9;BB</txt-record></service></service-group>
XML
  ns_avahi "$NS_TX" "$NS_TX_IF" || fail "tx daemon"
  name="Living Room \u00dc"
  name=$(printf "$name")
  DBUS_SYSTEM_BUS_ADDRESS=$no_bus ip netns exec "$NS_RX" "$receiver" --name "$name" \
    --audio-port 47123 --exit-on-disconnect --report "$NS_WORK/report.json" 2>"$NS_WORK/rx.log" &
  rx=$!
  ns_pids+=($rx)
  for _ in $(seq 100); do grep -q "Announced" "$NS_WORK/rx.log" && break; sleep 0.1; done
  grep -q "Announced" "$NS_WORK/rx.log" || fail "the receiver did not announce itself"
  line=""
  for _ in 1 2 3; do
    in_tx "$(ns_bus "$NS_TX")" "$ostrel" --list-receivers 3 >"$NS_WORK/list.txt" 2>"$NS_WORK/list.log" ||
      fail "--list-receivers exited with $?"
    # A busy machine may see the audio service only after the listing's time: list again.
    line=$(grep -F "$name" "$NS_WORK/list.txt") && [[ "$line" == *$'\t'47123$'\t'screen ]] && break
  done
  [ -n "$line" ] || fail "the receiver was not listed: $(cat "$NS_WORK/list.txt")"
  [ "$(wc -l <"$NS_WORK/list.txt")" = 2 ] || fail "not one line per receiver: $(cat -A "$NS_WORK/list.txt")"
  forged=$(grep -F 'Evil' "$NS_WORK/list.txt") || fail "the forger was not listed"
  IFS=$'\t' read -r f_name f_address f_device_id _ <<<"$forged"
  [ "$f_name" = 'Evil\t10.0.0.9\nForged\r\\x' ] || fail "forger's name listed as \"$f_name\""
  [ "$f_address" = 10.78.0.1 ] || fail "forger's address \"$f_address\""
  [ "$f_device_id" = 'aa\tbb' ] || fail "forger's device id \"$f_device_id\""
  [ "$(printf '%s' "$forged" | tr -cd '\t' | wc -c)" = 5 ] || fail "forger's line: $(printf '%s' "$forged" | cat -A)"
  IFS=$'\t' read -r got_name address device_id password port kind <<<"$line"
  [ "$got_name" = "$name" ] || fail "name \"$got_name\""
  [ "$address" = 10.78.0.2 ] || fail "address \"$address\""
  [[ "$device_id" =~ ^[0-9a-f]{12}$ ]] || fail "device id \"$device_id\""
  [ "$password" = 0 ] || fail "password flag $password"
  [ "$port" = 47123 ] || fail "audio port $port"
  [ "$kind" = screen ] || fail "listed as \"$kind\""
  echo "listed: $line"

  export XDG_RUNTIME_DIR=$NS_WORK/run XDG_DATA_HOME=$NS_WORK/data XDG_CONFIG_HOME=$NS_WORK/config
  mkdir -p "$XDG_RUNTIME_DIR" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"
  chmod 700 "$XDG_RUNTIME_DIR"
  exec 5>"$NS_WORK/displayfd"
  ip netns exec "$NS_TX" Xvfb -displayfd 5 -screen 0 1280x720x24 -nolisten tcp >/dev/null 2>&1 &
  ns_pids+=($!)
  n=""
  for _ in $(seq 100); do n=$(head -n 1 "$NS_WORK/displayfd" 2>/dev/null); [ -n "$n" ] && break; sleep 0.1; done
  [ -n "$n" ] || fail "Xvfb did not start"
  export DISPLAY=:$n
  ip netns exec "$NS_TX" xsetroot -solid '#2f6fb0'
  # Started directly (not through a function) so that $! is the program itself.
  DBUS_SYSTEM_BUS_ADDRESS=$(ns_bus "$NS_TX") ip netns exec "$NS_TX" "$ostrel" \
    "connect?host=$address&key=test" 2>"$NS_WORK/ostrel.log" &
  sender=$!
  ns_pids+=($sender)
  ok=0
  for _ in $(seq 300); do
    [ "$(grep -c 'video packet, ' "$NS_WORK/rx.log")" -ge 3 ] && { ok=1; break; }
    kill -0 "$sender" 2>/dev/null || break
    sleep 0.1
  done
  [ "$ok" = 1 ] || fail "no pictures reached the receiver"
  kill -TERM "$sender"
  for _ in $(seq 100); do kill -0 "$sender" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$sender" 2>/dev/null && { kill -9 "$sender"; fail "the program did not stop within 10 s"; }
  wait "$sender" 2>/dev/null
  for _ in $(seq 100); do kill -0 "$rx" 2>/dev/null || break; sleep 0.1; done
  kill -TERM "$rx" 2>/dev/null
  for _ in $(seq 100); do kill -0 "$rx" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$rx" 2>/dev/null && { kill -9 "$rx"; fail "the receiver did not stop within 10 s"; }
  wait "$rx" 2>/dev/null
  frames=$(python3 -c "import json; print(json.load(open('$NS_WORK/report.json'))['framesDecoded'])") ||
    fail "no receiver report"
  [ "$frames" -ge 1 ] || fail "no pictures decoded"
  echo "mirrored $frames pictures to \"$name\" at $address"
  ;;
speakers)
  # Sound services without a receiver are speakers: listed by the program with the sixth
  # field, after the receivers; the discovery state says which cannot be played to.
  ns_avahi "$NS_RX" "$NS_RX_IF" || fail "rx daemon"
  ns_avahi "$NS_TX" "$NS_TX_IF" || fail "tx daemon"
  in_tx "$(ns_bus "$NS_TX")" "$tests" --gtest_filter='DiscoveryNs.Speakers*' || fail "tests failed"
  ns_publish "$NS_RX" "Den" _airplay._tcp 7000 deviceid=58:55:CA:1A:E2:88
  ns_publish "$NS_RX" "5855CA1AE288@Den" _raop._tcp 47001 cn=0,1 et=0
  ns_publish "$NS_RX" "AABBCCDDEEFF@Kitchen Speaker" _raop._tcp 5000 cn=0,1 et=0,4
  ns_publish "$NS_RX" "112233445566@Locked	Box" _raop._tcp 5001 cn=1 et=1 pw=true
  want=$(printf 'Den\t10.78.0.2\t5855ca1ae288\t0\t47001\tscreen\nKitchen Speaker\t10.78.0.2\taabbccddeeff\t0\t5000\tsound\nLocked\\tBox\t10.78.0.2\t112233445566\t1\t5001\tsound')
  for _ in 1 2 3; do
    in_tx "$(ns_bus "$NS_TX")" "$ostrel" --list-receivers 3 >"$NS_WORK/list.txt" 2>"$NS_WORK/list.log" ||
      fail "--list-receivers exited with $?"
    [ "$(cat "$NS_WORK/list.txt")" = "$want" ] && break
  done
  [ "$(cat "$NS_WORK/list.txt")" = "$want" ] || fail "listed: $(cat -A "$NS_WORK/list.txt")"
  cat "$NS_WORK/list.txt"
  ;;
sound-to)
  # Ends the receiver (its report is written on the way out); json then reads that report.
  end_receiver() {
    kill -TERM "$1"
    for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    wait "$1" 2>/dev/null
    report=$2
  }
  json() { python3 -c "import json; print(json.load(open('$report'))$1)"; }
  # The PC's sound alone to the built-in receiver announced as a speaker: found by name,
  # heard at the receiver while the user's sink is silent, given back after.
  ns_avahi "$NS_TX" "$NS_TX_IF" || fail "tx daemon"
  DBUS_SYSTEM_BUS_ADDRESS=$no_bus ip netns exec "$NS_RX" "$receiver" --name "Garden" --sound-only \
    --audio-port 47123 --report "$NS_WORK/report.json" --wav "$NS_WORK/heard.wav" \
    --control "$NS_WORK/rx.control" 2>"$NS_WORK/rx.log" &
  rx=$!
  ns_pids+=($rx)
  for _ in $(seq 100); do grep -q "Announced" "$NS_WORK/rx.log" && break; sleep 0.1; done
  grep -q "as a speaker" "$NS_WORK/rx.log" || fail "the receiver did not announce itself as a speaker"
  export XDG_RUNTIME_DIR=$NS_WORK/run XDG_DATA_HOME=$NS_WORK/data XDG_CONFIG_HOME=$NS_WORK/config
  mkdir -p "$XDG_RUNTIME_DIR" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"
  chmod 700 "$XDG_RUNTIME_DIR"
  unset PULSE_SERVER DISPLAY
  # Off the session bus: another PulseAudio there holds its bus name and this one would exit.
  DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/no-bus \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --log-level=error \
      -L "module-native-protocol-unix auth-anonymous=1" \
      -L "module-null-sink sink_name=speakers channels=2" 2>"$NS_WORK/pulse.log" &
  ns_pids+=($!)
  for _ in $(seq 150); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  pactl set-default-sink speakers || fail "the sound server did not start"
  tone_sink() { pactl list short sink-inputs | awk 'NR == 1 { print $2 }'; }
  private_sinks() { pactl list short sinks | awk '$2 ~ /^ostrel_capture/ { print $2 }'; }
  speakers=$(pactl list short sinks | awk '$2 == "speakers" { print $1 }')
  sox -n -r 44100 -c 2 -b 16 "$NS_WORK/tone.wav" synth 30 sine 1000 vol 0.5
  paplay --latency-msec=100 "$NS_WORK/tone.wav" &
  ns_pids+=($!)
  for _ in $(seq 100); do [ "$(tone_sink)" = "$speakers" ] && break; sleep 0.1; done
  [ "$(tone_sink)" = "$speakers" ] || fail "the tone is not on the user's sink"
  # Unknown names end at once with status 1, after the bounded wait.
  in_tx "$(ns_bus "$NS_TX")" "$ostrel" --sound-to "Nobody Here" 1 2>"$NS_WORK/nobody.log"
  [ $? = 1 ] || fail "an unknown speaker did not give status 1: $(cat "$NS_WORK/nobody.log")"
  DBUS_SYSTEM_BUS_ADDRESS=$(ns_bus "$NS_TX") ip netns exec "$NS_TX" "$ostrel" --sound-to Garden 12 \
    2>"$NS_WORK/ostrel.log" &
  sender=$!
  ns_pids+=($sender)
  taken=0
  for _ in $(seq 300); do
    [ -n "$(private_sinks)" ] && [ "$(tone_sink)" != "$speakers" ] && { taken=1; break; }
    kill -0 "$sender" 2>/dev/null || break
    sleep 0.1
  done
  [ "$taken" = 1 ] || fail "the sound was not taken from the user's sink"
  wait "$sender"
  status=$?
  [ "$status" = 0 ] || fail "exit status $status after the run's time"
  [ "$(tone_sink)" = "$speakers" ] || fail "the tone did not go back to the user's sink"
  [ "$(pactl get-default-sink)" = speakers ] || fail "default sink $(pactl get-default-sink)"
  [ -z "$(private_sinks)" ] || fail "private sink left behind: $(private_sinks)"
  grep -q "Connecting to selected service" "$XDG_DATA_HOME/Ostrel/Ostrel.log" &&
    fail "a mirroring connection was made"
  # A speaker that answers busy ends the run by itself, with the hosted mode's status 2, and
  # the user's sound stays where it is.
  python3 -c "import socket; socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM).sendto(b'busy-audio ANNOUNCE', '$NS_WORK/rx.control')" ||
    fail "the receiver's control socket did not take the command"
  in_tx "$(ns_bus "$NS_TX")" timeout 60 "$ostrel" --sound-to Garden 40 2>"$NS_WORK/busy.log"
  status=$?
  [ "$status" = 2 ] || fail "exit status $status for a busy speaker: $(tail -n 5 "$XDG_DATA_HOME/Ostrel/Ostrel.log")"
  [ "$(tone_sink)" = "$speakers" ] && [ -z "$(private_sinks)" ] || fail "the busy run kept the sound"
  end_receiver "$rx" "$NS_WORK/report.json"
  frames=$(json '["audio"]["framesDecoded"]') || fail "no receiver report"
  freq=$(json '["audio"]["tone"]["frequencyHz"]')
  level=$(json '["audio"]["tone"]["rmsDbfs"]')
  [ "$(json '["framesDecoded"]')" = 0 ] || fail "pictures were sent"
  [ "$frames" -ge 500 ] || fail "only $frames audio frames decoded"
  awk -v f="$freq" 'BEGIN { exit !(f > 990 && f < 1010) }' || fail "tone at $freq Hz"
  awk -v l="$level" 'BEGIN { exit !(l > -12 && l < -6) }' || fail "tone level $level dBFS"
  echo "sound to Garden: $frames frames, $freq Hz, $level dBFS"
  # Speakers that play only Apple Lossless or only 16-bit samples get the sound in their
  # format, chosen from what they announce.
  for codec in alac pcm; do
    work=$NS_WORK/$codec
    mkdir -p "$work"
    DBUS_SYSTEM_BUS_ADDRESS=$no_bus ip netns exec "$NS_RX" "$receiver" --name "Shed $codec" \
      --sound-only --audio-codecs "$codec" --audio-port 47124 --report "$work/report.json" \
      2>"$work/rx.log" &
    rx=$!
    ns_pids+=($rx)
    for _ in $(seq 100); do grep -q "Announced" "$work/rx.log" && break; sleep 0.1; done
    in_tx "$(ns_bus "$NS_TX")" "$ostrel" --sound-to "Shed $codec" 8 2>"$work/ostrel.log"
    status=$?
    [ "$status" = 0 ] || fail "exit status $status sending to the $codec speaker"
    [ "$(tone_sink)" = "$speakers" ] || fail "the tone did not go back after the $codec speaker"
    end_receiver "$rx" "$work/report.json"
    sent=$(json '["audio"]["sdp"]["codec"]') || fail "no report from the $codec speaker"
    frames=$(json '["audio"]["framesDecoded"]')
    freq=$(json '["audio"]["tone"]["frequencyHz"]')
    level=$(json '["audio"]["tone"]["rmsDbfs"]')
    case $codec in alac) want="Apple Lossless" ;; pcm) want="16-bit samples" ;; esac
    [ "$sent" = "$want" ] || fail "the $codec speaker was sent $sent"
    [ "$frames" -ge 300 ] || fail "only $frames packets decoded at the $codec speaker"
    awk -v f="$freq" 'BEGIN { exit !(f > 990 && f < 1010) }' || fail "$codec tone at $freq Hz"
    awk -v l="$level" 'BEGIN { exit !(l > -12 && l < -6) }' || fail "$codec tone level $level dBFS"
    echo "sound to the $codec speaker: $frames packets, $freq Hz, $level dBFS"
  done
  ;;
*)
  echo "unknown case $case_name"
  exit 2
  ;;
esac
echo "PASS ($case_name)"
