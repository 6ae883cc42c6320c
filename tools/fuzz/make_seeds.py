#!/usr/bin/env python3
"""Writes the fuzz target's seed corpus into corpus/ beside this script.

Each seed is: a byte choosing the record size (0: 4, 1: 8, 2: 12, 3: 20,
4: the real 643204), a byte limiting the read chunk (0: none), then a small
snapshot file, well framed or damaged in one of the ways the reader reports.
"""
import os
import struct

SIZES = {4: 0, 8: 1, 12: 2, 20: 3, 643204: 4}


def record(size, lead=None, trail=None, fill=0x3F):
    return (struct.pack("<i", size if lead is None else lead) + bytes([fill]) * size +
            struct.pack("<i", size if trail is None else trail))


def snapshots(size, count, records=None):
    n = 7 * count if records is None else records
    return b"".join(record(size, fill=0x10 + k) for k in range(n))


seeds = {
    "one_snapshot_r4": (4, 0, snapshots(4, 1)),
    "two_snapshots_r8_chunk3": (8, 3, snapshots(8, 2)),
    "three_snapshots_r20_chunk7": (20, 7, snapshots(20, 3)),
    "empty": (4, 0, b""),
    "partial_snapshot_r12": (12, 0, snapshots(12, 0, records=10)),
    "truncated_data_r20": (20, 0, snapshots(20, 1) + record(20)[:11]),
    "truncated_marker_r8": (8, 1, snapshots(8, 0, records=3) + b"\x08\x00"),
    "marker_mismatch_r8": (8, 0, snapshots(8, 0, records=2) + record(8, trail=9)),
    "wrong_size_r4": (4, 0, snapshots(4, 0, records=5) + record(8)),
    "split_record_r12": (12, 0, record(12, lead=-12) + record(12)),
    "trailing_bytes_r4": (4, 2, snapshots(4, 1) + b"\x01\x02\x03"),
    "real_size_truncated": (643204, 0, struct.pack("<i", 643204) + bytes(60)),
    "real_size_wrong_marker": (643204, 0, struct.pack("<i", 643200) + bytes(60)),
}

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(out, exist_ok=True)
for name, (size, chunk, body) in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(bytes([SIZES[size], chunk]) + body)
