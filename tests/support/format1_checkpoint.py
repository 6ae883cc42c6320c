#!/usr/bin/python3
"""Rewrites a checkpoint of format 2 as the program wrote it in format 1.

Format 1 held, after the magic, the version, the program, the scenario, the
pass, nx and ny, the snapshot file's length (uint64) and the CRC-32 of its
bytes (uint32); then the fields u, v, h, q, dqdt; and the SHA-256 of every
byte before it at the end. It had no list of fields, no output kind and no
CRCs of rows.

Usage: format1_checkpoint.py CHECKPOINT
"""
import hashlib
import struct
import sys

path = sys.argv[1]
b = open(path, "rb").read()
at = 12


def text():
    global at
    n, = struct.unpack_from("<I", b, at)
    at += 4 + n
    return b[at - n:at]


program, scenario = text(), text()
pass_, nx, ny, count = struct.unpack_from("<iiiI", b, at)
at += 16
names = [text() for _ in range(count)]
if names != [b"u", b"v", b"h", b"q", b"dqdt"]:
    sys.exit(f"{path}: format 1 holds u, v, h, q, dqdt, not {names}")
kind, = struct.unpack_from("<I", b, at)
at += 4
output = text()
if kind != 0:
    sys.exit(f"{path}: format 1 records the snapshot file only, not an output of kind {kind}")
length, crc = struct.unpack_from("<QI", output, 0)
at += 4 * count * ny + 32
v1 = (b"PLUMECKP" + struct.pack("<I", 1) + struct.pack("<I", len(program)) + program +
      struct.pack("<I", len(scenario)) + scenario + struct.pack("<iiiQI", pass_, nx, ny, length, crc) + b[at:])
open(path, "wb").write(v1 + hashlib.sha256(v1).digest())
