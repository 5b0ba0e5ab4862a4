#!/usr/bin/env python3
"""Pieces of ostrel-bench-network that are easier in Python than in the shell.

  netbench.py drive --dev IFACE --phases 10,20,20,20 --rates open,3mbit,1mbit,open
                    --events FILE --samples FILE
      runs the schedule: shapes IFACE (tc tbf) at each phase's start, samples its transmitted
      bytes every 0.1 s, and logs each phase's start on CLOCK_MONOTONIC.
  netbench.py readcode --cell 32 --screen-width 1280 --width 1280 --rows 64 --trace FILE
      reads gray pictures (WIDTH x ROWS bytes each, the screen's top rows) from standard
      input, as an FFmpeg decoder writes them, and reads the time code in each; writes the
      receiver's trace format with the age of the code when the picture came out.
  netbench.py figures --label TEXT --dir DIR [--anchor-dir DIR] --json OUT
      the second-by-second table, the phases and the recoveries of one run (and its anchor).
  netbench.py targets JSON...
      the targets met or missed over the runs' figures."""
import argparse
import json
import os
import subprocess
import sys
import time

BITS = 24
MASK = (1 << BITS) - 1
SETTLE_MS = {"open": 100}  # shaped phases: 400 ms from 2 Mbit/s up, else 600 ms


def rate_bits(rate):
    """'3mbit' -> 3e6; 'open' -> None."""
    if rate == "open":
        return None
    units = {"kbit": 1e3, "mbit": 1e6}
    for unit, scale in units.items():
        if rate.endswith(unit):
            return float(rate[: -len(unit)]) * scale
    raise ValueError("rate %r: open, NNkbit or NNmbit" % rate)


def settle_ms(rate):
    bits = rate_bits(rate)
    if bits is None:
        return SETTLE_MS["open"]
    return 400 if bits >= 2e6 else 600


def tx_bytes(dev):
    with open("/proc/net/dev") as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name.strip() == dev:
                return int(rest.split()[8])
    return -1


def shape(dev, rate):
    subprocess.run(["tc", "qdisc", "del", "dev", dev, "root"], stderr=subprocess.DEVNULL)
    if rate != "open":
        # A queue of at most 400 ms at the link's rate, as a home router's would be.
        subprocess.run(["tc", "qdisc", "replace", "dev", dev, "root", "tbf", "rate", rate,
                        "burst", "32kbit", "latency", "400ms"], check=True)


def drive(args):
    phases = [float(x) for x in args.phases.split(",")]
    rates = args.rates.split(",")
    if len(phases) != len(rates):
        print("drive: as many rates as phases", file=sys.stderr)
        return 2
    events = open(args.events, "w", buffering=1)
    samples = open(args.samples, "w", buffering=1)
    start = time.monotonic()
    boundaries = []
    t = start
    for seconds, rate in zip(phases, rates):
        boundaries.append((t, rate))
        t += seconds
    end = t
    next_phase = 0
    now = start
    while now < end:
        if next_phase < len(boundaries) and now >= boundaries[next_phase][0]:
            rate = boundaries[next_phase][1]
            shape(args.dev, rate)
            events.write("%.4f phase %d %s %.1f\n" % (time.monotonic(), next_phase, rate,
                                                    phases[next_phase]))
            next_phase += 1
        samples.write("%.4f %d\n" % (time.monotonic(), tx_bytes(args.dev)))
        wake = min(now + 0.1, end)
        if next_phase < len(boundaries):
            wake = min(wake, boundaries[next_phase][0])
        time.sleep(max(0.0, wake - time.monotonic()))
        now = time.monotonic()
    samples.write("%.4f %d\n" % (time.monotonic(), tx_bytes(args.dev)))
    events.write("%.4f end\n" % time.monotonic())
    shape(args.dev, "open")
    return 0


def read_code(picture, width, cell):
    """The time code of a gray picture's top rows (the receiver's rules), or None."""
    value = 0
    for bit in range(BITS):
        cells = []
        for top in (0, cell):
            x0, x1 = int(bit * cell + cell / 4), int(bit * cell + cell * 3 / 4)
            y0, y1 = int(top + cell / 4), int(top + cell * 3 / 4)
            if x1 > width:
                return None
            total = 0
            for y in range(y0, y1, 2):
                row = picture[y * width:(y + 1) * width]
                total += sum(row[x0:x1:2])
            cells.append(total / (((y1 - y0 + 1) // 2) * ((x1 - x0 + 1) // 2)))
        upper, lower = cells
        if upper - lower > 120:
            value = (value << 1) | 1
        elif lower - upper > 120:
            value <<= 1
        else:
            return None
    return value


def readcode(args):
    cell = args.cell * args.width / args.screen_width
    size = args.width * args.rows
    trace = open(args.trace, "w", buffering=1)
    source = sys.stdin.buffer
    last = None
    while True:
        picture = source.read(size)
        if len(picture) < size:
            break
        now = time.monotonic()
        code = read_code(picture, args.width, cell)
        age = -1
        if code is not None and code != last:
            age = (int(now * 1000) - code) & MASK
            if age > MASK // 2:
                age = -1
            last = code
        trace.write("%.4f 0 %d %d 0\n" % (now, age, age))
    return 0


# ---- figures ----

def percentile(values, share):
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def load_run(folder):
    """Phases, pictures and byte samples of one run, in seconds from the schedule's start."""
    phases, end = [], None
    with open(os.path.join(folder, "events")) as f:
        for line in f:
            parts = line.split()
            if parts[1] == "phase":
                phases.append({"start": float(parts[0]), "rate": parts[3]})
            elif parts[1] == "end":
                end = float(parts[0])
    if not phases or end is None:
        return None
    origin = phases[0]["start"]
    for i, p in enumerate(phases):
        p["start"] -= origin
        p["end"] = (phases[i + 1]["start"] - origin) if i + 1 < len(phases) else end - origin
    pictures = []
    path = os.path.join(folder, "trace")
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) != 5:
                    continue
                pictures.append((float(parts[0]) - origin, int(parts[1]), int(parts[2]),
                                 int(parts[3]), int(parts[4])))
    samples = []
    with open(os.path.join(folder, "samples")) as f:
        for line in f:
            t, n = line.split()
            samples.append((float(t) - origin, int(n)))
    return {"phases": phases, "pictures": pictures, "samples": samples}


def bytes_at(samples, t):
    """Transmitted bytes at time t, interpolated between samples."""
    if not samples:
        return 0
    if t <= samples[0][0]:
        return samples[0][1]
    for (t0, n0), (t1, n1) in zip(samples, samples[1:]):
        if t0 <= t <= t1:
            return n0 + (n1 - n0) * (t - t0) / (t1 - t0) if t1 > t0 else n1
    return samples[-1][1]


def mbits(samples, t0, t1):
    if t1 <= t0:
        return None
    return (bytes_at(samples, t1) - bytes_at(samples, t0)) * 8 / (t1 - t0) / 1e6


def lags(pictures, t0, t1, column=2):
    return [p[column] for p in pictures if t0 <= p[0] < t1 and p[column] >= 0]


def phase_figures(run, index, column, skip=3.0):
    phase = run["phases"][index]
    t0, t1 = phase["start"], phase["end"]
    shown = [p for p in run["pictures"] if t0 <= p[0] < t1]
    late = lags(run["pictures"], t0 + skip, t1, column)
    whole = lags(run["pictures"], t0, t1, column)
    before = [p[4] for p in run["pictures"] if p[0] < t0]
    errors = (shown[-1][4] - (before[-1] if before else 0)) if shown else 0
    gaps = [b[0] - a[0] for a, b in zip(shown, shown[1:])]
    after = [p for p in shown if p[0] >= t0 + skip]
    seconds = t1 - t0 - skip
    per_second = []
    for k in range(int(t0 + skip), int(t1)):
        per_second.append(sum(1 for p in shown if k <= p[0] < k + 1))
    return {
        "rate": phase["rate"],
        "seconds": round(t1 - t0, 1),
        "p50": percentile(late, 0.5), "p99": percentile(late, 0.99), "max": max(whole, default=None),
        "wholeP50": percentile(whole, 0.5), "wholeP99": percentile(whole, 0.99),
        "picturesPerSecond": round(len(after) / seconds, 1) if seconds > 0 else None,
        "fewestPicturesInASecond": min(per_second, default=None),
        "mbits": mbits(run["samples"], t0 + skip, t1),
        "decodeErrors": errors,
        "longestGapMs": round(max(gaps) * 1000) if gaps else None,
    }


def recoveries(run, column):
    """Per step: seconds until the lag settles below the phase's bound, and for a step back to
    an open link, until the bitrate is back within 10 % of the level before the first dip."""
    phases = run["phases"]
    first = phases[0]
    before = mbits(run["samples"], first["start"] + 3, first["end"])
    out = []
    for i in range(1, len(phases)):
        p = phases[i]
        bound = settle_ms(p["rate"])
        shown = [q for q in run["pictures"] if p["start"] <= q[0] < p["end"] and q[column] >= 0]
        above = [q[0] for q in shown if q[column] >= bound]
        below = [q[0] for q in shown if q[column] < bound]
        first_s = (below[0] - p["start"]) if below else None
        # Settled: from the first picture after which every picture of the next 3 s stays
        # below the bound (a later spike is a new event, seen in the table).
        lag_s = None
        for j, q in enumerate(shown):
            if q[0] + 3 > p["end"]:
                break
            if all(r[column] < bound for r in shown[j:] if r[0] <= q[0] + 3):
                lag_s = q[0] - p["start"]
                break
        rate_s = None
        if p["rate"] == "open" and before:
            t = p["start"]
            while t + 1 <= p["end"]:
                level = mbits(run["samples"], t, t + 1)
                if level is not None and level >= 0.9 * before:
                    rate_s = t + 1 - p["start"]
                    break
                t += 0.25
        out.append({"into": i, "rate": p["rate"], "boundMs": bound,
                    "lagSettledAfterS": None if lag_s is None else round(lag_s, 2),
                    "lagFirstBelowAfterS": None if first_s is None else round(first_s, 2),
                    "bitrateBackAfterS": None if rate_s is None else round(rate_s, 2),
                    "levelBeforeMbits": before})
    return out


def fmt(value, width, digits=0):
    if value is None:
        return "-".rjust(width)
    return ("%*.*f" % (width, digits, value))


def figures(args):
    ours = load_run(args.dir)
    if ours is None:
        print("no schedule ran for %s" % args.label)
        return 1
    anchor = load_run(args.anchor_dir) if args.anchor_dir else None
    report = {}
    report_path = os.path.join(args.dir, "report.json")
    if os.path.exists(report_path):
        report = json.load(open(report_path))
    anchor_errors = 0
    if anchor and os.path.exists(os.path.join(args.anchor_dir, "decoder.log")):
        anchor_errors = sum(1 for line in open(os.path.join(args.anchor_dir, "decoder.log"))
                            if line.strip())
    print("== %s" % args.label)
    head = "   s  link   | ostrel lag p50   p99  pics Mbit/s err"
    if anchor:
        head += " | ffmpeg lag p50   p99  pics Mbit/s"
    print(head)
    total = int(ours["phases"][-1]["end"])
    for k in range(total):
        phase = [p for p in ours["phases"] if p["start"] <= k + 0.5 < p["end"]]
        rate = phase[0]["rate"] if phase else "?"
        row = "%4d  %-6s |" % (k, rate)
        for run, column, with_errors in ((ours, 2, True), (anchor, 3, False)):
            if run is None:
                continue
            shown = [p for p in run["pictures"] if k <= p[0] < k + 1]
            values = [p[column] for p in shown if p[column] >= 0]
            row += "        %s %s  %4d %s" % (fmt(percentile(values, 0.5), 6),
                                               fmt(percentile(values, 0.99), 5), len(shown),
                                               fmt(mbits(run["samples"], k, k + 1), 6, 2))
            if with_errors:
                before = [p[4] for p in run["pictures"] if p[0] < k]
                errs = (shown[-1][4] - (before[-1] if before else 0)) if shown else 0
                row += " %3d |" % errs
        print(row.rstrip("|").rstrip())
    # Ours: screen to arrival. The anchor's decoder hands pictures over only once decoded, so
    # its lag is screen to decoded picture; ours to the decoded picture too, for the ratios.
    result = {"label": args.label, "phases": [], "recoveries": recoveries(ours, 2),
              "decode": {"pictures": report.get("packets", {}).get("video"),
                         "decoded": report.get("framesDecoded"),
                         "errors": report.get("decodeErrors"),
                         "unreadableCodes": report.get("timecode", {}).get("unreadable")},
              "congestionControl": args.congestion}
    if anchor:
        result["anchorRecoveries"] = recoveries(anchor, 3)
        result["anchorDecodeErrors"] = anchor_errors
    print("phase summary (lag after the phase's first 3 s; ms)")
    print("  link   | ostrel p50   p99   max pics/s (min) Mbit/s err gap-ms" +
          (" | ffmpeg p50   p99   max pics/s Mbit/s gap-ms | picture-lag ratio p50 p99" if anchor else ""))
    for i in range(len(ours["phases"])):
        mine = phase_figures(ours, i, 2)
        mine_picture = phase_figures(ours, i, 3)
        row = "  %-6s |       %s %s %s %6s (%2s) %s %3d %6s" % (
            mine["rate"], fmt(mine["p50"], 5), fmt(mine["p99"], 5), fmt(mine["max"], 5),
            fmt(mine["picturesPerSecond"], 6, 1), mine["fewestPicturesInASecond"],
            fmt(mine["mbits"], 6, 2), mine["decodeErrors"], mine["longestGapMs"])
        entry = {"ostrel": mine, "ostrelToPicture": mine_picture}
        if anchor and i < len(anchor["phases"]):
            theirs = phase_figures(anchor, i, 3)
            entry["ffmpeg"] = theirs

            def ratio(a, b):
                return None if a is None or not b else a / b

            r50 = ratio(mine_picture["p50"], theirs["p50"])
            r99 = ratio(mine_picture["p99"], theirs["p99"])
            entry["ratioP50"], entry["ratioP99"] = r50, r99
            row += " |       %s %s %s %6s %s %6s |                 %s %s" % (
                fmt(theirs["p50"], 5), fmt(theirs["p99"], 5), fmt(theirs["max"], 5),
                fmt(theirs["picturesPerSecond"], 6, 1), fmt(theirs["mbits"], 6, 2),
                theirs["longestGapMs"], fmt(r50, 5, 2), fmt(r99, 5, 2))
        result["phases"].append(entry)
        print(row)
    print("recovery after each step (s; lag: first picture below the bound / from when all of the "
          "next 3 s stay below it; bitrate: back within 10 % of the open link's level; -: not within the phase)")
    for i, step in enumerate(result["recoveries"]):
        line = "  into %-6s | ostrel lag < %d ms after %s / %s, bitrate after %s" % (
            step["rate"], step["boundMs"], fmt(step["lagFirstBelowAfterS"], 1, 2),
            fmt(step["lagSettledAfterS"], 1, 2), fmt(step["bitrateBackAfterS"], 1, 2))
        if anchor:
            a = result["anchorRecoveries"][i]
            line += " | ffmpeg lag after %s / %s, bitrate after %s" % (
                fmt(a["lagFirstBelowAfterS"], 1, 2), fmt(a["lagSettledAfterS"], 1, 2),
                fmt(a["bitrateBackAfterS"], 1, 2))
        print(line)
    d = result["decode"]
    print("pictures: ostrel %s received, %s decoded, %s decode errors, %s time codes unreadable"
          % (d["pictures"], d["decoded"], d["errors"], d["unreadableCodes"]) +
          ("; ffmpeg decoder %d error lines" % anchor_errors if anchor else ""))
    with open(args.json, "w") as f:
        json.dump(result, f, indent=1)
    return 0


def targets(args):
    runs = [json.load(open(p)) for p in args.files if os.path.exists(p)]
    faults = []
    if args.faults and os.path.exists(args.faults):
        faults = [line.split("\t") for line in open(args.faults).read().split("\n") if line]
    rows = []

    def check(name, value, ok, text):
        rows.append(("met" if ok else "MISSED", name, text))

    def phase(run, rate, which=None):
        found = [p for p in run["phases"] if p["ostrel"]["rate"] == rate]
        return found if which is None else (found[which] if len(found) > which else None)

    for run in runs:
        label = run["label"]
        lossy = "loss" in label
        d = run["decode"]
        all_decode = d["errors"] == 0 and d["decoded"] == d["pictures"]
        if not lossy:
            p = phase(run, "3mbit", 0)
            if p:
                o = p["ostrel"]
                check("%s, 3 Mbit/s: lag p50 <= 150 ms after 3 s" % label, o["p50"],
                      o["p50"] is not None and o["p50"] <= 150, "%s ms" % o["p50"])
                check("%s, 3 Mbit/s: lag p99 <= 400 ms after 3 s" % label, o["p99"],
                      o["p99"] is not None and o["p99"] <= 400, "%s ms" % o["p99"])
                check("%s, 3 Mbit/s: >= 10 pictures/s" % label, o["picturesPerSecond"],
                      (o["picturesPerSecond"] or 0) >= 10,
                      "%s/s (fewest in a second: %s)" % (o["picturesPerSecond"],
                                                          o["fewestPicturesInASecond"]))
                check("%s, 3 Mbit/s: every picture decodes" % label, None,
                      o["decodeErrors"] == 0 and all_decode, "%d errors in the phase" % o["decodeErrors"])
            p = phase(run, "1mbit", 0)
            if p:
                o = p["ostrel"]
                check("%s, 1 Mbit/s: lag p99 <= 600 ms after 3 s" % label, o["p99"],
                      o["p99"] is not None and o["p99"] <= 600, "%s ms" % o["p99"])
                check("%s, 1 Mbit/s: every picture decodes" % label, None,
                      o["decodeErrors"] == 0 and all_decode, "%d errors in the phase" % o["decodeErrors"])
            back = [s for s in run["recoveries"] if s["rate"] == "open"]
            if back:
                s = back[-1]
                v = s["lagSettledAfterS"]
                check("%s, back to open: lag < 100 ms within 2 s" % label, v,
                      v is not None and v <= 2, "settled after %s s (first below after %s s)"
                      % (v, s.get("lagFirstBelowAfterS")))
                v = s["bitrateBackAfterS"]
                check("%s, back to open: bitrate within 10 %% within 10 s" % label, v,
                      v is not None and v <= 10,
                      "after %s s (level before the dip %.2f Mbit/s)" % (v, s["levelBeforeMbits"] or 0))
            check("%s: all pictures decoded" % label, None, all_decode,
                  "%s of %s, %s errors" % (d["decoded"], d["pictures"], d["errors"]))
        else:
            worst = None
            for p in phase(run, "open"):
                v = p["ostrel"]["p99"]
                if v is not None and (worst is None or v > worst):
                    worst = v
            check("%s: open-link lag p99 <= 250 ms after 3 s" % label, worst,
                  worst is not None and worst <= 250, "worst open phase p99 %s ms" % worst)
            check("%s: all pictures decoded" % label, None, all_decode,
                  "%s of %s, %s errors" % (d["decoded"], d["pictures"], d["errors"]))
    for fault in faults:
        kind, who, ms, status = fault[0], fault[1], fault[2], fault[3]
        if who != "ostrel":
            continue
        bound = 2000 if kind == "killed" else 10000
        ok = ms != "" and int(ms) <= bound and status not in ("", "0")
        check("%s: run ends within %d s, non-zero status" % (kind, bound // 1000), None, ok,
              "%s ms, status %s" % (ms or "> bound", status or "-"))
    print("targets")
    for verdict, name, text in rows:
        print("  %-6s %-62s %s" % (verdict, name, text))
    return 0


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="command", required=True)
    d = sub.add_parser("drive")
    d.add_argument("--dev", required=True)
    d.add_argument("--phases", required=True)
    d.add_argument("--rates", required=True)
    d.add_argument("--events", required=True)
    d.add_argument("--samples", required=True)
    r = sub.add_parser("readcode")
    r.add_argument("--cell", type=int, default=32)
    r.add_argument("--screen-width", type=int, required=True)
    r.add_argument("--width", type=int, required=True)
    r.add_argument("--rows", type=int, required=True)
    r.add_argument("--trace", required=True)
    f = sub.add_parser("figures")
    f.add_argument("--label", required=True)
    f.add_argument("--dir", required=True)
    f.add_argument("--anchor-dir")
    f.add_argument("--congestion", default="")
    f.add_argument("--json", required=True)
    t = sub.add_parser("targets")
    t.add_argument("--faults")
    t.add_argument("files", nargs="*")
    args = p.parse_args()
    return {"drive": drive, "readcode": readcode, "figures": figures, "targets": targets}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
