#!/usr/bin/env python3
"""Writes stream_setup.bplist: the constant body of the stream set-up request, laid out
object by object (1-byte offsets and references, root dictionary first)."""
import struct
import sys


def ascii_string(text):
    assert len(text) < 15
    return bytes([0x50 | len(text)]) + text.encode("ascii")


def container(marker, refs):
    assert len(refs) < 15
    return bytes([marker | len(refs)]) + bytes(refs)


fps = ["SubS", "B4En", "EnDp", "IdEn", "IdDp", "EQDp", "QueF", "Sent"]
stamps = ["SubSu", "BePxT", "AfPxT", "BeFEn", "EmEnc", "QueFr", "SndFr"]
objects = [
    bytes([0xD6, 1, 2, 3, 4, 5, 6, 7, 8, 9, 18, 26, 27]),
    ascii_string("latencyMs"),
    ascii_string("deviceID"),
    ascii_string("fpsInfo"),
    ascii_string("timestampInfo"),
    ascii_string("sessionId"),
    ascii_string("version"),
    ascii_string("90"),
    ascii_string("0x60C54748E222"),
    container(0xA0, list(range(10, 18))),
    *[ascii_string(s) for s in fps],
    container(0xA0, list(range(19, 26))),
    *[ascii_string(s) for s in stamps],
    ascii_string("691484636"),
    ascii_string("120.2"),
]
body = bytearray(b"bplist00")
offsets = []
for obj in objects:
    offsets.append(len(body))
    body += obj
table_start = len(body)
body += bytes(offsets)
body += bytes(6) + bytes([1, 1]) + struct.pack(">QQQ", len(objects), 0, table_start)
assert table_start == 213 and len(objects) == 28 and len(body) == 273
with open(sys.argv[1] if len(sys.argv) > 1 else "stream_setup.bplist", "wb") as f:
    f.write(body)
