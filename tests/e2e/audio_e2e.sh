#!/usr/bin/env bash
# The PC's sound with the picture, end to end: a private X display and sound server, the
# program in hosted mode with AudioEnabled, the built-in receiver decoding both streams.
# Each case runs in a private network namespace (the protocol's ports are fixed).
# Usage: audio_e2e.sh OSTREL RECEIVER AVSYNC CASE
set -uo pipefail
ostrel=$1
receiver=$2
avsync=$3
case_name=$4

. "$(dirname "$0")/../support/e2e_lib.sh"
e2e_begin "$0" "$@"

export XDG_RUNTIME_DIR=$work/run XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_DATA_HOME/Ostrel" "$XDG_CONFIG_HOME"
chmod 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS PULSE_SERVER
# No system bus: discovery stays inside this namespace.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-system-bus

cat >"$XDG_DATA_HOME/Ostrel/Settings.xml" <<XML
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

start_display() {
  e2e_start_xvfb 1280x720
  xsetroot -solid '#2f6fb0'
}

start_sound() {
  # Off the session bus: another PulseAudio there holds its bus name and this one would exit.
  DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/no-bus \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --log-level=error \
      -L "module-native-protocol-unix auth-anonymous=1" \
      -L "module-null-sink sink_name=speakers channels=2" \
      -L "module-null-sink sink_name=microphone channels=2" 2>>"$work/pulse.log" &
  pulse=$!
  pids+=($pulse)
  wait_until 15 pactl info >/dev/null 2>&1 || fail "the sound server did not start"
  pactl set-default-sink speakers
  pactl set-default-source microphone.monitor
}

speakers_index() { pactl list short sinks | awk '$2 == "speakers" { print $1 }'; }
# Sink index of the tone's playback stream (the only one paplay makes).
tone_sink() { pactl list short sink-inputs | awk 'NR == 1 { print $2 }'; }
private_sinks() { pactl list short sinks | awk '$2 ~ /^ostrel_capture/ { print $2 }'; }
tone_on() { [ "$(tone_sink)" = "$1" ]; }
tone_off() { [ -n "$(tone_sink)" ] && [ "$(tone_sink)" != "$1" ]; }
heartbeats_at_least() { [ "$(grep -c 'heartbeat, ' "$work/rx.log")" -ge "$1" ]; }

play_tone() { # seconds
  sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth "$1" sine 1000 vol 0.5
  paplay --latency-msec=100 "$work/tone.wav" &
  player=$!
  pids+=($player)
  wait_until 10 tone_off none || fail "the tone did not start playing"
}

start_receiver() {
  "$receiver" --bind 127.0.0.1 --exit-on-disconnect --report "$work/report.json" \
    --wav "$work/heard.wav" "$@" 2>"$work/rx.log" &
  rx=$!
  pids+=($rx)
  wait_until 5 grep -q "Listening" "$work/rx.log" || fail "the receiver did not start"
}

start_sender() {
  "$ostrel" "connect?host=127.0.0.1&key=test&display=0" 2>"$work/ostrel.log" &
  sender=$!
  pids+=($sender)
}

stop_sender() {
  kill -INT "$sender" 2>/dev/null
  for _ in $(seq 100); do kill -0 "$sender" 2>/dev/null || break; sleep 0.05; done
  if kill -0 "$sender" 2>/dev/null; then kill -9 "$sender"; wait "$sender"; fail "the program did not stop within 5 s of SIGINT"; fi
  wait "$sender"
  sender_status=$?
}

wait_receiver() {
  for _ in $(seq 50); do kill -0 "$rx" 2>/dev/null || break; sleep 0.1; done
  kill -INT "$rx" 2>/dev/null
  wait "$rx" 2>/dev/null
  [ -s "$work/report.json" ] || fail "no receiver report"
}

# Peak sample (0..32767) of what reaches a source over the next SECONDS; -1 when less than
# ENOUGH seconds of sound arrived (an idle sink can take a while to deliver its first data).
source_peak() { # source seconds enough
  timeout "$2" parec -d "$1" --rate=44100 --channels=2 --format=s16le --latency-msec=50 >"$work/peak.raw" 2>/dev/null
  python3 -c "
import array
a = array.array('h'); a.frombytes(open('$work/peak.raw', 'rb').read()[: (1 << 24) & ~1])
print(max((abs(x) for x in a), default=0) if len(a) >= 88200 * $3 else -1)"
}
loud() { [ "$(source_peak "$1" 2 0.25)" -gt 8000 ]; }

audio_captured() {
  grep -q "Audio: Fully Negotiated" "$work/ostrel.log" 2>/dev/null &&
    [ -n "$(private_sinks)" ] && kill -0 "$sender" 2>/dev/null
}

# Decoded audio frames and pictures in the receiver's latest periodic summaries (0 before any).
frames_heard() {
  grep -o 'Audio summary: [0-9]* datagrams, [0-9]* frames decoded' "$work/rx.log" 2>/dev/null |
    tail -n 1 | awk '{ print $5 + 0 }'
}
pictures_decoded() {
  grep -o 'Summary: .* [0-9]* pictures decoded' "$work/rx.log" 2>/dev/null | tail -n 1 |
    awk '{ for (i = 1; i <= NF; i++) if ($i == "pictures") n = $(i - 1) } END { print n + 0 }'
}
more_pictures_than() { [ "$(pictures_decoded)" -gt "$1" ]; }
more_frames_than() { [ "$(frames_heard)" -gt "$1" ]; }
taken_over() { [ -n "$(private_sinks)" ]; }
log_has() { grep -q "$1" "$work/ostrel.log" 2>/dev/null; }
user_sound_back() { # speakers index
  tone_on "$1" && [ "$(pactl get-default-sink)" = speakers ] && [ -z "$(private_sinks)" ]
}

# Clicks the receiver found in the sound so far (with --avsync).
clicks_heard_count() {
  grep -o 'A/V sync: [0-9]* clicks heard' "$work/rx.log" 2>/dev/null | tail -n 1 | awk '{ print $3 + 0 }'
}
clicks_heard() { [ "$(clicks_heard_count)" -ge "$1" ]; }

# The receiver's latest periodic summary has at least N decoded audio frames.
heard_frames() {
  local n
  n=$(grep -o 'Audio summary: [0-9]* datagrams, [0-9]* frames decoded' "$work/rx.log" 2>/dev/null |
    tail -n 1 | awk '{ print $5 }')
  [ "${n:-0}" -ge "$1" ]
}

case $case_name in
tone)
  start_display
  start_sound
  speakers=$(speakers_index)
  play_tone 40
  [ "$(tone_sink)" = "$speakers" ] || fail "the tone is not on the speakers"
  wait_until 15 loud speakers.monitor || fail "the speakers do not carry the tone before capture"
  # Chosen packets are refused when first seen and asked for again; one more is asked for
  # long after it left the sender's history and must not come.
  start_receiver --drop-audio 60,150,151 --late-request 200
  start_sender
  wait_until 40 audio_captured || fail "audio was not negotiated and captured within 40 s"
  # While captured, the tone plays on the program's own sink and the speakers stay silent.
  wait_until 10 tone_off "$speakers" || fail "the tone was not moved off the speakers"
  quiet=$(source_peak speakers.monitor 4 1)
  [ "$quiet" -ge 0 ] || fail "the speakers' monitor delivered too little to judge"
  [ "$quiet" -le 2 ] || fail "the speakers' monitor peaked at $quiet while captured"
  wait_until 20 grep -q "video packet, " "$work/rx.log" || fail "no pictures"
  # About three seconds of tone (a frame is 480 samples).
  wait_until 40 heard_frames 300 || fail "the receiver did not hear 300 frames within 40 s"
  stop_sender
  wait_receiver
  [ "$sender_status" = 0 ] || fail "exit status $sender_status after a clean stop"
  # At stop the tone is back on the speakers, which are the default again.
  wait_until 10 tone_on "$speakers" || fail "the tone did not go back to the speakers"
  [ "$(pactl get-default-sink)" = speakers ] || fail "default sink $(pactl get-default-sink)"
  [ -z "$(private_sinks)" ] || fail "private sink left behind: $(private_sinks)"
  wait_until 15 loud speakers.monitor || fail "the speakers are silent after the stop"
  frames=$(json '["audio"]["framesDecoded"]')
  [ "$frames" -ge 200 ] || fail "only $frames audio frames decoded"
  [ "$(json '["audio"]["decodeErrors"]')" = 0 ] || fail "audio decode errors: $(json '["audio"]["decodeErrors"]')"
  [ "$(json '["decodeErrors"]')" = 0 ] || fail "video decode errors: $(json '["decodeErrors"]')"
  [ "$(json '["framesDecoded"]')" -ge 10 ] || fail "too few pictures with the sound"
  [ "$(json '["audio"]["sync"]["packets"]')" -ge 2 ] || fail "no sync packets"
  [ "$(json '["audio"]["sdp"]["ok"]')" = True ] || fail "SDP refused: $(json '["audio"]["sdp"]')"
  asked=$(json '["audio"]["retransmit"]["asked"]')
  answered=$(json '["audio"]["retransmit"]["answered"]')
  [ "$(json '["audio"]["retransmit"]["deliberateDrops"]')" -ge 3 ] || fail "the chosen packets were not dropped"
  [ "$asked" -ge 3 ] && [ "$answered" = "$asked" ] || fail "retransmissions: $asked asked, $answered answered"
  [ "$(json '["audio"]["retransmit"]["lateRequests"]')" -ge 1 ] || fail "no late request was made"
  [ "$(json '["audio"]["retransmit"]["lateAnswered"]')" = 0 ] || fail "a packet that left the history came back"
  [ "$(json '["audio"]["lost"]')" = 0 ] || fail "$(json '["audio"]["lost"]') frames lost"
  freq=$(json '["audio"]["tone"]["frequencyHz"]')
  snr=$(json '["audio"]["tone"]["snrDb"]')
  level=$(json '["audio"]["tone"]["rmsDbfs"]')
  echo "tone: $frames frames ($answered of $asked retransmissions answered), $freq Hz, $level dBFS, SNR $snr dB, $(json '["framesDecoded"]') pictures"
  awk -v f="$freq" 'BEGIN { exit !(f > 990 && f < 1010) }' || fail "tone at $freq Hz"
  # A 0.5 sine is -9 dBFS; the sender mixes nothing in and changes no volume.
  awk -v l="$level" 'BEGIN { exit !(l > -12 && l < -6) }' || fail "tone level $level dBFS"
  awk -v s="$snr" 'BEGIN { exit !(s >= 30) }' || fail "SNR $snr dB below 30"
  ;;
killed)
  # A killed program leaves its private sink behind; the next start gives the sound back.
  start_display
  start_sound
  speakers=$(speakers_index)
  play_tone 60
  start_receiver
  start_sender
  wait_until 40 audio_captured || fail "audio was not captured within 40 s"
  wait_until 10 tone_off "$speakers" || fail "the tone was not moved"
  kill -9 "$sender"
  wait "$sender" 2>/dev/null
  [ -n "$(private_sinks)" ] || fail "nothing was left behind to restore"
  wait_receiver
  "$ostrel" --system-info 2>"$work/second.log" >/dev/null
  wait_until 10 tone_on "$speakers" || fail "the next start did not give the tone back"
  [ "$(pactl get-default-sink)" = speakers ] || fail "default sink $(pactl get-default-sink)"
  [ -z "$(private_sinks)" ] || fail "private sink still there: $(private_sinks)"
  echo "killed: restored by the next start"
  ;;
refused)
  # Each refused step ends the audio connection and leaves the mirroring running.
  start_display
  start_sound
  for step in OPTIONS ANNOUNCE SETUP RECORD; do
    start_receiver --busy-audio "$step"
    start_sender
    wait_until 40 grep -q "Audio was disconnected" "$work/ostrel.log" || fail "$step: audio did not end"
    wait_until 20 heartbeats_at_least 1 || fail "$step: mirroring stopped"
    kill -0 "$sender" 2>/dev/null || fail "$step: the program ended"
    stop_sender
    wait_receiver
    [ "$sender_status" = 0 ] || fail "$step: exit status $sender_status"
    [ "$(json '["audio"]["rtsp"]["busyRefusals"]')" = 1 ] || fail "$step: not refused once"
    [ "$(json '["framesDecoded"]')" -ge 5 ] || fail "$step: pictures stopped with the audio"
    [ -z "$(private_sinks)" ] || fail "$step: a private sink was left"
    echo "refused at $step: audio ended, $(json '["framesDecoded"]') pictures"
  done
  ;;
sound-password)
  # A receiver that protects only its sound: the stored password answers the sound's
  # challenge, which never reaches the picture's password path; the sound streams.
  scrambled=$(python3 -c "print(''.join(chr(ord(c) ^ i) for i, c in enumerate('s3cret')))")
  sed -i "s|</dict>|	<key>LastPassword</key>\n	<string>$scrambled</string>\n</dict>|" \
    "$XDG_DATA_HOME/Ostrel/Settings.xml"
  start_display
  start_sound
  play_tone 40
  start_receiver --audio-password s3cret
  start_sender
  wait_until 40 audio_captured || fail "the sound was not negotiated within 40 s"
  wait_until 40 heard_frames 100 || fail "the receiver did not hear 100 frames within 40 s"
  stop_sender
  wait_receiver
  [ "$sender_status" = 0 ] || fail "exit status $sender_status after a clean stop"
  grep -q -- "->47000: OPTIONS \* -> 401 Unauthorized" "$work/rx.log" || fail "the sound was never challenged"
  grep -q "Video got request for password" "$work/ostrel.log" && fail "the picture was challenged"
  [ "$(json '["auth"]["accepted"]')" -ge 1 ] || fail "no credentials accepted: $(json '["auth"]')"
  [ "$(json '["audio"]["framesDecoded"]')" -ge 100 ] || fail "too little sound decoded"
  echo "sound-password: $(json '["audio"]["framesDecoded"]') audio frames, $(json '["framesDecoded"]') pictures"
  ;;
stops)
  # SIGINT at random moments of a start with sound on; odd runs stop right as the private
  # sink appears, while the program takes the sound over. Each run must end within 3 s,
  # cleanly, with the user's sound back where it was.
  start_display
  start_sound
  speakers=$(speakers_index)
  play_tone 300
  seed=${STOPS_SEED:-$((RANDOM))}
  RANDOM=$seed
  runs=${STOPS_RUNS:-8}
  echo "stops: seed $seed, $runs runs"
  for ((run = 1; run <= runs; run++)); do
    : >"$work/ostrel.log"
    start_receiver
    start_sender
    if ((run % 2)); then
      moment="take-over"
      wait_until 40 taken_over || fail "run $run: the sound was never taken over"
    else
      # Counted from the connection's start: the program takes signals from then on (a
      # background job starts with SIGINT ignored, so an earlier one would be lost).
      wait_until 20 log_has "Connecting to service provided by host" || fail "run $run: the connection did not start"
      delay=$((RANDOM % (run % 4 == 2 ? 100 : ${STOPS_MAX_DELAY_MS:-1500})))
      moment="${delay} ms"
      sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
    fi
    phase="before the sound"
    log_has "Audio: Fully Negotiated" && phase="with the sound"
    stopped_at=$(date +%s%N)
    kill -INT "$sender" 2>/dev/null
    for _ in $(seq 60); do kill -0 "$sender" 2>/dev/null || break; sleep 0.05; done
    took=$((($(date +%s%N) - stopped_at) / 1000000))
    if kill -0 "$sender" 2>/dev/null; then kill -9 "$sender"; wait "$sender"; fail "run $run ($moment): still running 3 s after SIGINT"; fi
    wait "$sender"
    status=$?
    [ "$status" = 0 ] || fail "run $run ($moment): exit status $status"
    ls "$XDG_DATA_HOME/Ostrel"/CrashLog_* >/dev/null 2>&1 && fail "run $run ($moment): crash log written"
    wait_until 10 user_sound_back "$speakers" ||
      fail "run $run ($moment): sound not back (default $(pactl get-default-sink), tone on $(tone_sink), private: $(private_sinks))"
    kill -INT "$rx" 2>/dev/null
    wait "$rx" 2>/dev/null
    echo "run $run: stopped at $moment ($phase) in $took ms, sound back"
  done
  ;;
server-killed)
  # The sound server killed mid-run: back within a second, the sound follows it; away for
  # longer than the program waits, the sound ends with its failure. The picture goes on
  # throughout, and the stop is clean.
  start_display
  start_sound
  play_tone 300
  start_receiver
  start_sender
  wait_until 40 audio_captured || fail "audio was not captured within 40 s"
  wait_until 40 heard_frames 100 || fail "the receiver did not hear 100 frames"
  kill -9 "$pulse"
  wait "$pulse" 2>/dev/null
  start_sound
  speakers=$(speakers_index)
  play_tone 300
  wait_until 15 log_has "Audio: connected to the sound server again" || fail "the sound did not follow the restarted server"
  wait_until 15 tone_off "$speakers" || fail "the new server's tone was not taken over"
  heard=$(frames_heard)
  wait_until 30 more_frames_than $((heard + 100)) || fail "no sound after the restart (still $(frames_heard) frames)"
  echo "server-killed: back after a restart, $(frames_heard) frames heard"
  kill -9 "$pulse"
  wait "$pulse" 2>/dev/null
  pictures=$(pictures_decoded)
  wait_until 20 log_has "Audio: the PC's sound can no longer be captured" || fail "the sound did not end when the server stayed away"
  log_has "Client audio connection failed" && fail "the receiver side was blamed"
  wait_until 20 more_pictures_than $((pictures + 30)) || fail "the picture stopped with the sound server (still $(pictures_decoded))"
  kill -0 "$sender" 2>/dev/null || fail "the program ended"
  start_sound
  speakers=$(speakers_index)
  play_tone 300
  wait_until 10 tone_on "$speakers" || fail "the tone did not play on the speakers"
  pictures=$(pictures_decoded)
  wait_until 20 more_pictures_than $((pictures + 30)) || fail "the picture stopped"
  user_sound_back "$speakers" || fail "the returned server holds something of ours: $(private_sinks), default $(pactl get-default-sink)"
  stop_sender
  wait_receiver
  [ "$sender_status" = 0 ] || fail "exit status $sender_status after a clean stop"
  ls "$XDG_DATA_HOME/Ostrel"/CrashLog_* >/dev/null 2>&1 && fail "crash log written"
  [ "$(json '["decodeErrors"]')" = 0 ] || fail "video decode errors: $(json '["decodeErrors"]')"
  user_sound_back "$speakers" || fail "sound not the user's after the stop"
  echo "server-killed: sound ended with its failure after the second kill; $(json '["framesDecoded"]') pictures, 0 decode errors, clean stop"
  ;;
avsync)
  # Flashes and clicks at the same instant; the receiver maps both onto the stream clock.
  # Thirty pairs: the offset's middle and its tail (p99 of |offset|) are both judged.
  start_display
  start_sound
  "$avsync" --seconds 90 >"$work/avsync.log" 2>&1 &
  pids+=($!)
  start_receiver --avsync
  start_sender
  wait_until 40 audio_captured || fail "audio was not captured within 40 s"
  wait_until 40 grep -q "video packet, " "$work/rx.log" || fail "no pictures"
  wait_until 70 clicks_heard 32 || fail "the receiver heard only $(clicks_heard_count) clicks within 70 s"
  stop_sender
  wait_receiver
  pairs=$(json '["audio"]["avsync"]["offsetMs"]["count"]')
  p50=$(json '["audio"]["avsync"]["offsetMs"]["p50"]')
  p99=$(json '["audio"]["avsync"]["absOffsetMs"]["p99"]')
  printf 'avsync: %d pairs, offset p50 %.1f ms, |offset| p99 %.1f ms, min %.1f, max %.1f (click minus flash)\n' \
    "$pairs" "$p50" "$p99" "$(json '["audio"]["avsync"]["offsetMs"]["min"]')" "$(json '["audio"]["avsync"]["offsetMs"]["max"]')"
  grep "A/V sync: each pair" "$work/rx.log"
  [ "$pairs" -ge 30 ] || fail "only $pairs flash-and-click pairs"
  awk -v p="$p50" 'BEGIN { exit !(p >= -15 && p <= 15) }' || fail "offset p50 $p50 ms"
  # A picture that waits for a CPU shows its flash late whatever the sound does; on an
  # oversubscribed machine the tail says nothing about the program.
  load=$(cut -d ' ' -f 1 /proc/loadavg)
  if awk -v l="$load" -v n="$(nproc)" 'BEGIN { exit !(l > n) }'; then
    echo "avsync: |offset| p99 not judged: load average $load on $(nproc) CPUs"
  else
    awk -v p="$p99" 'BEGIN { exit !(p <= 40) }' || fail "|offset| p99 $p99 ms (load average $load)"
  fi
  ;;
*)
  echo "unknown case $case_name"
  exit 2
  ;;
esac
echo "PASS ($case_name)"
