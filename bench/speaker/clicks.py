#!/usr/bin/env python3
"""Clicks for the speaker benchmark: play them, record a receiver's output, match the two.

  clicks.py play SECONDS TIMES_FILE     plays a click every 250-550 ms into the default sink
                                        of the sound server PULSE_SERVER names (a small
                                        buffer: 20 ms); writes per click "time index latency":
                                        the CLOCK_MONOTONIC time its first sample was handed
                                        to the server, and the latency the server then told
  clicks.py record RAW_FILE READS_FILE  copies raw s16le stereo 44100 Hz from stdin to RAW_FILE
                                        and writes "monotonic-time total-bytes" per read
  clicks.py analyse PLAYED RAW READS START AHEAD
                                        prints, for the clicks played from START on:
                                        played matched delay-p50-ms delay-p99-ms level-dB
                                        frequency-error-Hz; AHEAD: seconds the receiver
                                        writes its output ahead of playing it

A click is a 30 ms tone burst at -6 dBFS whose frequency tells its index modulo 16 (500 Hz
+ 125 Hz per step): an output click is matched to the one played before it with the same
frequency, so delays up to 16 of the shortest gaps (4 s) and lost clicks need no guessing.
The delay is counted from the time an application hands the click to the sound server (the
write returns; its 20 ms buffer is part of the delay), so it includes whatever the server
buffers on the way. The output time of a recorded frame comes
from the times its bytes were read: the receiver writes its output as it plays it, and the
earliest read nearby (the one with the least scheduling delay) fixes the clock.
"""
import array
import ctypes
import math
import random
import sys
import time

RATE = 44100
CHUNK = 220  # frames per write: 5 ms
BURST_MS = 30
CODES = 16
AMPLITUDE = 0.5  # -6 dBFS
SILENCE_BEFORE_S = 0.1  # an onset follows at least this much silence


def code_freq(k):
    return 500.0 + 125.0 * k


class SampleSpec(ctypes.Structure):
    _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32), ("channels", ctypes.c_uint8)]


class BufferAttr(ctypes.Structure):
    _fields_ = [(n, ctypes.c_uint32) for n in ("maxlength", "tlength", "prebuf", "minreq", "fragsize")]


def burst_chunks(freq):
    """The click as 5 ms chunks of interleaved stereo: a 1 ms ramp up, the tone, a 1 ms ramp down."""
    n = RATE * BURST_MS // 1000
    ramp = RATE // 1000
    samples = array.array("h")
    for i in range(n):
        g = min(1.0, (i + 1) / ramp, (n - i) / ramp)
        v = int(32767 * AMPLITUDE * g * math.sin(2 * math.pi * freq * i / RATE))
        samples.extend((v, v))
    data = samples.tobytes()
    size = CHUNK * 4
    data += bytes(-len(data) % size)
    return [data[i:i + size] for i in range(0, len(data), size)]


def play(seconds, times_path):
    lib = ctypes.CDLL("libpulse-simple.so.0")
    lib.pa_simple_new.restype = ctypes.c_void_p
    lib.pa_simple_get_latency.restype = ctypes.c_uint64
    lib.pa_simple_get_latency.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int)]
    lib.pa_simple_write.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                    ctypes.POINTER(ctypes.c_int)]
    spec = SampleSpec(3, RATE, 2)  # PA_SAMPLE_S16LE
    # A small buffer: the stream's latency is then a few tens of ms and each write is timed.
    tlength = CHUNK * 4 * 4
    attr = BufferAttr(0xFFFFFFFF, tlength, 0xFFFFFFFF, CHUNK * 4, 0xFFFFFFFF)
    err = ctypes.c_int(0)
    s = lib.pa_simple_new(None, b"ostrel-bench-clicks", 1, None, b"clicks", ctypes.byref(spec),
                          None, ctypes.byref(attr), ctypes.byref(err))
    if not s:
        sys.stderr.write("clicks: cannot connect to the sound server (error %d)\n" % err.value)
        return 1
    bursts = [burst_chunks(code_freq(k)) for k in range(CODES)]
    index = 0
    silence = bytes(CHUNK * 4)
    rng = random.Random(18)
    out = open(times_path, "w")
    end = time.monotonic() + seconds
    next_click = time.monotonic() + 1.0  # the stream settles first
    while time.monotonic() < end:
        if time.monotonic() >= next_click:
            for k, chunk in enumerate(bursts[index % CODES]):
                if lib.pa_simple_write(s, chunk, len(chunk), ctypes.byref(err)) < 0:
                    sys.stderr.write("clicks: write failed (error %d)\n" % err.value)
                    return 1
                if k == 0:
                    now = time.monotonic()
                    latency = lib.pa_simple_get_latency(s, ctypes.byref(err)) / 1e6
                    # The latency is that of the chunk's last sample; the click starts a chunk earlier.
                    out.write("%.6f %d %.6f\n" % (now, index, latency))
                    out.flush()
            index += 1
            next_click = time.monotonic() + rng.uniform(0.25, 0.55)
        elif lib.pa_simple_write(s, silence, len(silence), ctypes.byref(err)) < 0:
            sys.stderr.write("clicks: write failed (error %d)\n" % err.value)
            return 1
    lib.pa_simple_free(ctypes.c_void_p(s))
    return 0


def record(raw_path, reads_path):
    raw = open(raw_path, "wb")
    reads = open(reads_path, "w")
    total = 0
    stdin = sys.stdin.buffer.raw
    while True:
        data = stdin.read(4096)
        if not data:
            break
        now = time.monotonic()
        total += len(data)
        raw.write(data)
        reads.write("%.6f %d\n" % (now, total))
    raw.flush()
    reads.flush()
    return 0


def output_clock(reads_path):
    """Returns f(frame) -> monotonic time at which the receiver played that frame."""
    points = []
    for line in open(reads_path):
        t, total = line.split()
        points.append((int(total) // 4, float(t)))
    # Each read proves its last frame was out by then: frame/RATE + offset <= t. The least
    # offset near a frame is the read that waited the least.
    offsets = [(f, t - f / RATE) for f, t in points]

    def at(frame):
        lo, hi = 0, len(offsets)
        while lo < hi:
            mid = (lo + hi) // 2
            if offsets[mid][0] < frame:
                lo = mid + 1
            else:
                hi = mid
        window = offsets[max(0, lo - 10):lo + 10]  # about a quarter of a second each side
        return frame / RATE + min(o for _, o in window) if window else None
    return at


def goertzel_power(seg, freq):
    w = 2 * math.pi * freq / RATE
    c = 2 * math.cos(w)
    s1 = s2 = 0.0
    for v in seg:
        s1, s2 = v + c * s1 - s2, s1
    return s1 * s1 + s2 * s2 - c * s1 * s2


def analyse(played_path, raw_path, reads_path, start, ahead):
    played = []  # (time, index)
    for line in open(played_path):
        f = line.split()
        if len(f) >= 2:
            played.append((float(f[0]), int(f[1])))
    data = array.array("h")
    with open(raw_path, "rb") as f:
        data.frombytes(f.read())
    if len(data) % 2:
        data = data[:-1]
    left = data[0::2]
    threshold = int(32767 * AMPLITUDE * 0.25)
    quiet_needed = int(RATE * SILENCE_BEFORE_S)
    onsets = []
    quiet = quiet_needed
    for i, v in enumerate(left):
        if v > threshold or v < -threshold:
            if quiet >= quiet_needed:
                onsets.append(i)
            quiet = 0
        else:
            quiet += 1
    clock = output_clock(reads_path) if onsets else None
    n = RATE * BURST_MS // 1000
    heard = []  # (time, code, level dB, frequency error Hz)
    for i in onsets:
        seg = left[i + RATE // 500:i + n - RATE // 500]  # the steady part, past the ramps
        t = clock(i)
        if t is not None:
            t += ahead
        if len(seg) < n // 2 or t is None:
            continue
        powers = [goertzel_power(seg, code_freq(k)) for k in range(CODES)]
        code = max(range(CODES), key=lambda k: powers[k])
        peak = max(abs(v) for v in seg)
        crossings = [j for j in range(1, len(seg)) if seg[j - 1] < 0 <= seg[j]]
        freq = ((len(crossings) - 1) * RATE / (crossings[-1] - crossings[0])
                if len(crossings) > 2 else 0.0)
        heard.append((t, code, 20 * math.log10(max(peak, 1) / (32767 * AMPLITUDE)),
                      freq - code_freq(code)))
    delays, levels, errors = [], [], []
    matched = set()
    for t, code, level, error in heard:
        # The last click played before it with the same code; a click heard twice (the
        # receiver repeating audio) counts once, when first heard.
        candidates = [p for p, k in played if k % CODES == code and p <= t + 0.001]
        if (candidates and t - candidates[-1] < CODES * 0.25 and candidates[-1] >= start
                and candidates[-1] not in matched):
            matched.add(candidates[-1])
            delays.append(t - candidates[-1])
            levels.append(level)
            errors.append(abs(error))
    p50 = percentile(delays, 50)
    p99 = percentile(delays, 99)
    print("%d %d %.1f %.1f %.2f %.1f" % (sum(1 for p, _ in played if p >= start), len(delays), p50 * 1000, p99 * 1000,
                                         median(levels), median(errors)))
    return 0


def nearest(values, x, tolerance):
    lo, hi = 0, len(values)
    while lo < hi:
        mid = (lo + hi) // 2
        if values[mid] < x:
            lo = mid + 1
        else:
            hi = mid
    for j in (lo - 1, lo):
        if 0 <= j < len(values) and abs(values[j] - x) <= tolerance:
            return values[j]
    return None


def percentile(values, q):
    if not values:
        return -0.001
    s = sorted(values)
    return s[min(len(s) - 1, int(round(q / 100 * (len(s) - 1))))]


def median(values):
    return percentile(values, 50) if values else float("nan")


def main(argv):
    if len(argv) == 4 and argv[1] == "play":
        return play(float(argv[2]), argv[3])
    if len(argv) == 4 and argv[1] == "record":
        return record(argv[2], argv[3])
    if len(argv) == 7 and argv[1] == "analyse":
        return analyse(argv[2], argv[3], argv[4], float(argv[5]), float(argv[6]))
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
