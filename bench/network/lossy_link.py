#!/usr/bin/env python3
"""A user-space forwarder between two veth ends of a middle network namespace, for links the
kernel here cannot emulate (no netem): it copies whole Ethernet frames from one end to the
other, delaying and randomly dropping them on the way.

  lossy_link.py --a IFACE --b IFACE [--ab-delay-ms MS] [--ab-loss P] [--ba-delay-ms MS]
                [--ba-loss P] [--seed N]
      a: the end towards the sender, b: the end towards the receiver; ab is sender to
      receiver. SIGUSR1 turns a silent black hole on and off (every frame in both directions
      dropped: the links stay up, no reset, no ICMP). SIGTERM ends it and prints counters.
  lossy_link.py --offload-off IFACE...
      turns off segmentation, receive coalescing and checksum offloads on these interfaces,
      so that the frames the forwarder reads are whole, at most MTU-sized and checksummed."""
import argparse
import collections
import ctypes
import fcntl
import random
import select
import signal
import socket
import struct
import sys
import time

ETH_P_ALL = 3
PACKET_OUTGOING = 4
SIOCETHTOOL = 0x8946
# Legacy ethtool commands: set (and get) GRO, GSO, TSO, scatter-gather, TX checksum.
OFFLOAD_SET = {"gro": 0x2c, "gso": 0x24, "tso": 0x1f, "sg": 0x19, "tx-checksum": 0x17}


def offload_off(names):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    failed = 0
    for name in names:
        for feature, command in OFFLOAD_SET.items():
            value = (ctypes.c_uint32 * 2)(command, 0)
            request = struct.pack("16sP16x", name.encode(), ctypes.addressof(value))
            try:
                fcntl.ioctl(s.fileno(), SIOCETHTOOL, request)
            except OSError as e:
                print("%s %s: %s" % (name, feature, e), file=sys.stderr)
                failed += 1
    return 1 if failed else 0


def open_end(name):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    s.bind((name, 0))
    s.setblocking(False)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    return s


def forward(args):
    rng = random.Random(args.seed)
    sa, sb = open_end(args.a), open_end(args.b)
    # in socket: [out socket, delay s, loss, queue of (due, frame), tag]
    ways = {sa: [sb, args.ab_delay_ms / 1000, args.ab_loss, collections.deque(), "ab"],
            sb: [sa, args.ba_delay_ms / 1000, args.ba_loss, collections.deque(), "ba"]}
    count = collections.Counter()
    state = {"hole": False, "stop": False}

    def toggle(*_):
        state["hole"] = not state["hole"]
        print("%.3f black hole %s" % (time.monotonic(), "on" if state["hole"] else "off"),
              file=sys.stderr, flush=True)

    signal.signal(signal.SIGUSR1, toggle)
    signal.signal(signal.SIGTERM, lambda *_: state.__setitem__("stop", True))
    signal.signal(signal.SIGINT, lambda *_: state.__setitem__("stop", True))
    print("%.3f forwarding %s" % (time.monotonic(), vars(args)), file=sys.stderr, flush=True)
    while not state["stop"]:
        now = time.monotonic()
        due = [way[3][0][0] for way in ways.values() if way[3]]
        timeout = max(0.0, min(due) - now) if due else 0.5
        try:
            readable, _, _ = select.select([sa, sb], [], [], timeout)
        except InterruptedError:
            continue
        now = time.monotonic()
        for s in readable:
            _, delay, loss, queue, tag = ways[s]
            for _ in range(256):
                try:
                    frame, address = s.recvfrom(65535)
                except BlockingIOError:
                    break
                if address[2] == PACKET_OUTGOING:  # our own copy of what we sent there
                    continue
                count[tag + "_in"] += 1
                if state["hole"]:
                    count[tag + "_hole"] += 1
                elif loss and rng.random() < loss:
                    count[tag + "_lost"] += 1
                else:
                    queue.append((now + delay, frame))
        now = time.monotonic()
        for out, _, _, queue, tag in ways.values():
            while queue and queue[0][0] <= now:
                _, frame = queue.popleft()
                if state["hole"]:
                    count[tag + "_hole"] += 1
                    continue
                try:
                    out.send(frame)
                    count[tag + "_out"] += 1
                except OSError:
                    count[tag + "_send_errors"] += 1
    print("%.3f counters %s" % (time.monotonic(), dict(count)), file=sys.stderr, flush=True)
    return 0


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--offload-off":
        return offload_off(sys.argv[2:])
    p = argparse.ArgumentParser()
    p.add_argument("--a", required=True)
    p.add_argument("--b", required=True)
    p.add_argument("--ab-delay-ms", type=float, default=0)
    p.add_argument("--ab-loss", type=float, default=0)
    p.add_argument("--ba-delay-ms", type=float, default=0)
    p.add_argument("--ba-loss", type=float, default=0)
    p.add_argument("--seed", type=int, default=1)
    return forward(p.parse_args())


if __name__ == "__main__":
    sys.exit(main())
