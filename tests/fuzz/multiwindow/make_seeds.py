#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_multiwindow: one multi-window frame body per file (message id and
fields, without the channel number). Run from anywhere; it writes into tests/fuzz/corpus/fuzz_multiwindow/.
"""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "corpus", "fuzz_multiwindow")


def leb(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        out.append(b | (0x80 if n else 0))
        if not n:
            return bytes(out)


def blob(b):
    return leb(len(b)) + b


def update(window, flags, fields, rest=b""):
    return bytes([2]) + struct.pack("<IBI", window, flags, fields) + rest


SEEDS = {
    "capabilities": bytes([0]) + leb(2) + blob(b"\x01") + blob(b""),
    "update-geometry": update(7, 0, 0x030, struct.pack("<hhHH", -8, 10, 800, 600)),
    "update-full": update(
        9, 7, 0x3FF,
        struct.pack("<IIB", 2, 9, 2) + blob("Tïtle".encode()) + struct.pack("<hhHHI", 1, 2, 3, 4, 11)
        + leb(1) + struct.pack("<HHHH", 1, 2, 3, 4) + leb(2) + blob(b"\x89PNG") + blob(b"")
        + struct.pack("<hh", 6, 7)),
    "update-create": update(3, 1, 0x076, struct.pack("<IBhhHHI", 1, 0, 100, 100, 320, 200, 5)),
    "delete": bytes([3]) + struct.pack("<I", 12),
    "activate": bytes([4]) + struct.pack("<I", 13),
    "raise": bytes([6]) + struct.pack("<I", 14),
    "zorder": bytes([10]) + leb(3) + struct.pack("<III", 1, 2, 3),
    "sync": bytes([12, 1]),
}

os.makedirs(OUT, exist_ok=True)
for name, data in SEEDS.items():
    with open(os.path.join(OUT, name + ".bin"), "wb") as f:
        f.write(data)
