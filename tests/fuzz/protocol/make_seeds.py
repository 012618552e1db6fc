#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_client_machine: valid sessions as frame sequences.

Each seed is frames one after another, each a u16 little-endian length and the frame's bytes.
Run from anywhere; it writes into tests/fuzz/corpus/fuzz_client_machine/.
"""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "corpus", "fuzz_client_machine")


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


def string(s):
    return blob(s.encode())


def u8(v):
    return struct.pack("<B", v)


def u16(v):
    return struct.pack("<H", v)


def i16(v):
    return struct.pack("<h", v)


def u32(v):
    return struct.pack("<I", v)


def u64(v):
    return struct.pack("<Q", v)


def rects(rs):
    return leb(len(rs)) + b"".join(i16(x) + i16(y) + u16(w) + u16(h) for x, y, w, h in rs)


def tiles(ts):
    return b"".join(i16(x) + i16(y) + blob(d) for x, y, d in ts)


def msg(mid, body=b"", channel=0):
    return u8(channel) + u8(mid) + body


HANDSHAKE = [
    msg(2, u8(1) + string("display-sim")),
    msg(3, blob(b"\x02") + blob(b"\x03") + blob(b"\x04" + leb(4) + bytes([2, 7, 3, 4])) + blob(b"\x01")),
    msg(5, blob(b"\x02" + u16(1024) + u16(768)) + blob(b"\x04" + bytes([5, 1, 10]))),
]

QUANT = bytes([0x66, 0x66, 0x66, 0x66, 0x66]) * 3

SEEDS = {
    "handshake": HANDSHAKE,
    "handshake-no-password": [
        msg(2, u8(1) + string("srv")),
        msg(3, blob(b"\x02")),
        msg(5),
    ],
    "settings-all-tags": HANDSHAKE
    + [
        msg(
            5,
            blob(b"\x01" + u32(0x407) + u32(4))
            + blob(b"\x02" + u16(1920) + u16(1080) + u32(533) + u32(303))
            + blob(b"\x03\x01")
            + blob(b"\x04" + bytes([5, 1, 10]))
            + blob(b"\x05" + bytes([30, 1, 60]))
            + blob(b"\x06" + bytes([2, 1, 8]))
            + blob(b"\x07\x04")
            + blob(b"\x08\x03")
            + blob(b"\x09" + u16(64) + u16(64))
            + blob(b"\x0a\x01"),
        )
    ],
    "surfaces": HANDSHAKE
    + [
        msg(10, u32(0) + u16(1024) + u16(768)),
        msg(10, u32(1) + u16(200) + u16(100)),
        msg(15, u16(1)),
        msg(13, u32(0) + u8(2) + QUANT + rects([(0, 0, 64, 64)]) + tiles([(0, 0, b"\x00" * 16)])),
        msg(13, u32(0) + u8(7) + QUANT + rects([(64, 0, 64, 64)]) + tiles([(64, 0, b"\x11" * 8)])),
        msg(13, u32(1) + u8(3) + rects([(0, 0, 16, 16)]) + tiles([(0, 0, b"\xff\xd8\xff\xd9")])),
        msg(13, u32(1) + u8(4) + rects([(16, 0, 16, 16)]) + tiles([(16, 0, b"\x89PNG\r\n\x1a\n")])),
        msg(13, u32(1) + u8(5) + rects([]) + tiles([])),
        msg(13, u32(1) + u8(6) + rects([(-8, -8, 16, 16)]) + tiles([(-8, -8, b"RIFF")])),
        msg(14, u32(0) + rects([(0, 0, 32, 32), (32, 32, 8, 8)]) + u32(1) + i16(-4) + i16(4)),
        msg(16, u16(1)),
        msg(12, u32(1) + u16(100) + u16(50)),
        msg(11, u32(1)),
    ],
    "channels": HANDSHAKE
    + [
        msg(6, string("clipboard")),
        msg(7, string("clipboard") + u8(1) + u8(3)),
        msg(7, string("diagnostics") + u8(1) + u8(4)),
        msg(7, string("magellan") + u8(0) + u8(5)),
        u8(3) + b"\x01\x02",
        u8(4) + b"\x03" + leb(0),
        msg(9, u8(3)),
        msg(9, u8(9)),
        msg(7, string("refused") + u8(1) + u8(6)),
    ],
    "pointer": HANDSHAKE
    + [
        msg(28, u8(1) + u16(3) + u16(4) + blob(b"\x89PNG\r\n\x1a\n")),
        msg(29, u8(1)),
        msg(32, u16(100) + u16(200)),
        msg(30),
        msg(31),
    ],
    "network-detect-and-disconnect": HANDSHAKE
    + [
        msg(25),
        msg(10, u32(0) + u16(64) + u16(64)),
        msg(26, u64(0x0102030405060708)),
        msg(1, string("session ended") + u8(0)),
    ],
    "disconnect-without-level": HANDSHAKE + [msg(1, string("bye"))],
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, frames in SEEDS.items():
        data = b"".join(u16(len(f)) + f for f in frames)
        with open(os.path.join(OUT, name + ".bin"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
