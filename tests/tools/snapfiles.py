"""Synthetic snapshot files for the tools' tests.

A snapshot file is a sequence of framed records (int32 little-endian marker,
data, the same marker); each record is one 401 x 401 float32 field, i (x)
fastest; seven records q, dqdt, h, us, vs, div, vort make one snapshot, and
snapshot k is model time 1800 k s.
"""
import os
import tempfile
import unittest

import numpy as np

N = 401
RECORD_BYTES = N * N * 4
FRAME_BYTES = RECORD_BYTES + 8
SNAPSHOT_BYTES = 7 * FRAME_BYTES
FIELDS = ("q", "dqdt", "h", "us", "vs", "div", "vort")

_xc = (np.arange(N) + 0.5)  # cell centres in km
_X, _Y = np.meshgrid(_xc, _xc)  # [j, i]


def synthetic_fields(k, special=False):
    """The seven fields of snapshot k as float32 arrays indexed [j, i].

    The pollutant is absent at k = 0 and then a Gaussian puff drifting east;
    the other fields are smooth patterns that change with k. With special=True
    the fields also hold values whose bits a careless conversion changes:
    -0.0, subnormals, infinities and a NaN with a payload.
    """
    cx, cy = 100.0 + 40.0 * k, 200.0
    puff = np.exp(-((_X - cx) ** 2 + (_Y - cy) ** 2) / (2 * 15.0 ** 2))
    q = np.where(puff > 1e-6, puff, 0.0) if k > 0 else np.zeros_like(puff)
    f = {
        "q": q,
        "dqdt": -1e-4 * q * (_X - cx) / 15.0,
        "h": 0.5 * np.sin(2 * np.pi * _X / 400.0 + 0.3 * k) * np.cos(2 * np.pi * _Y / 200.0),
        "us": -3.0 + 0.2 * np.sin(2 * np.pi * _Y / 400.0 + 0.1 * k),
        "vs": 5.196152 + 0.1 * np.cos(2 * np.pi * _X / 400.0),
        "div": 1e-6 * np.sin(2 * np.pi * (_X + _Y) / 400.0 + k),
        "vort": 2e-6 * np.cos(2 * np.pi * (_X - _Y) / 400.0 - k),
    }
    out = {name: np.ascontiguousarray(v, dtype="<f4") for name, v in f.items()}
    # Stored as zero by the model: the last column and row of us, vs and dqdt,
    # the border rows and columns of div and vort.
    for name in ("us", "vs", "dqdt"):
        out[name][-1, :] = 0.0
        out[name][:, -1] = 0.0
    for name in ("div", "vort"):
        out[name][[0, -2, -1], :] = 0.0
        out[name][:, [0, -2, -1]] = 0.0
    if special:
        bits = {name: out[name].view("<u4") for name in FIELDS}
        bits["h"][0, 0:4] = [0x80000000, 0x00000001, 0x807FFFFF, 0x7F7FFFFF]
        bits["dqdt"][5, 5] = 0x7FC0BEEF  # NaN with a payload
        bits["vort"][200, 200:202] = [0x7F800000, 0xFF800000]
    return out


def frame(data_bytes, lead=None, trail=None):
    n = len(data_bytes)
    lead = n if lead is None else lead
    trail = n if trail is None else trail
    return (np.int32(lead).astype("<i4").tobytes() + data_bytes +
            np.int32(trail).astype("<i4").tobytes())


def snapshot_bytes(k, special=False):
    fields = synthetic_fields(k, special)
    return b"".join(frame(fields[name].tobytes()) for name in FIELDS)


def write_file(path, snapshots, special=False):
    """Writes `snapshots` synthetic snapshots to path; returns the bytes."""
    data = b"".join(snapshot_bytes(k, special) for k in range(snapshots))
    with open(path, "wb") as f:
        f.write(data)
    return data


class SnapshotFileTest(unittest.TestCase):
    """Base of the tools' tests: a temporary directory `dir` holding a
    synthetic snapshot file `file` (its bytes in `bytes`)."""
    snapshots = 3
    special = False

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        cls.file = os.path.join(cls.dir, "run.dat")
        cls.bytes = write_file(cls.file, cls.snapshots, cls.special)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        """Writes data to a file in the test's directory; returns its path."""
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data)
        return path
