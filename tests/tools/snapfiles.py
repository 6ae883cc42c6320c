"""Synthetic snapshot files for the tools' tests.

A snapshot file is a sequence of framed records (int32 little-endian marker,
data, the same marker); each record is one nx x ny float32 field, i (x)
fastest; seven records q, dqdt, h, us, vs, div, vort make one snapshot. The
reference grid is 401 x 401 cells of 1 km with snapshot k at 1800 k s; the
small grid of SMALL_SCENARIO is 61 x 41 cells of 2 km.
"""
import os
import subprocess
import tempfile
import unittest
from dataclasses import dataclass

import numpy as np

N = 401
RECORD_BYTES = N * N * 4
FRAME_BYTES = RECORD_BYTES + 8
SNAPSHOT_BYTES = 7 * FRAME_BYTES
FIELDS = ("q", "dqdt", "h", "us", "vs", "div", "vort")


def run(*args, cwd=None):
    """Runs a program of the project, its output and errors kept as text."""
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=300, cwd=cwd)


def plume_output(plume, scenario, directory, name):
    """The snapshot file NAME in DIRECTORY, written by a run of SCENARIO."""
    path = os.path.join(directory, name)
    r = run(plume, "--scenario", scenario, "--output", path)
    assert r.returncode == 0, r.stderr
    return path


@dataclass(frozen=True)
class Grid:
    nx: int
    ny: int
    spacing_km: float
    # The synthetic puff of snapshot k >= 1: centre (x0 + step k, y0) km,
    # standard deviation sigma km; placed so that its cut-off edge (5.3 sigma)
    # stays inside the domain and the cell centres lie symmetric about it.
    puff: tuple = (100.0, 40.0, 200.0, 15.0)

    @property
    def record_bytes(self):
        return self.nx * self.ny * 4

    @property
    def frame_bytes(self):
        return self.record_bytes + 8

    @property
    def snapshot_size(self):
        return 7 * self.frame_bytes

    def centres_km(self, n):
        return (np.arange(n) + 0.5) * self.spacing_km


REFERENCE = Grid(N, N, 1.0)
SMALL = Grid(61, 41, 2.0, (40.0, 20.0, 41.0, 5.0))

# A scenario of the SMALL grid. The snapshot cadence is not a whole number of
# seconds: the snapshots are the passes n where the float remainder of n by
# 1012.5 is zero.
SMALL_SCENARIO = """\
# a small case for the tools' tests
[grid]
nx = 61
ny = 41
spacing_m = 2000.0

[time]
duration_s = 7200
progress_every = 600
snapshot_every_s = 1012.5

[wind]
speed_m_s = 4.0
towards_deg = 200.0

[emission]
first_s = 600
every_s = 900.0

[[source]]
x_m = 20000.0
y_m = 40000.0

[[source]]
x_m = 60000.0
y_m = 20000.0
radius_m = 3000.0

[[source]]
x_m = 100000.0
y_m = 60000.0
peak = 0.5
"""
SMALL_TIMES = [0, 2025, 4050, 6075]


def synthetic_fields(k, special=False, grid=REFERENCE):
    """The seven fields of snapshot k as float32 arrays indexed [j, i].

    The pollutant is absent at k = 0 and then a Gaussian puff drifting east;
    the other fields are smooth patterns that change with k. With special=True
    the fields also hold values whose bits a careless conversion changes:
    -0.0, subnormals, infinities and a NaN with a payload.
    """
    X, Y = np.meshgrid(grid.centres_km(grid.nx), grid.centres_km(grid.ny))  # [j, i]
    x0, step, cy, sigma = grid.puff
    cx = x0 + step * k
    # The patterns' periods: 400 km and 200 km on the reference grid.
    Lx, Ly = grid.nx * grid.spacing_km - 1.0, grid.ny * grid.spacing_km - 1.0
    puff = np.exp(-((X - cx) ** 2 + (Y - cy) ** 2) / (2 * sigma ** 2))
    q = np.where(puff > 1e-6, puff, 0.0) if k > 0 else np.zeros_like(puff)
    f = {
        "q": q,
        "dqdt": -1e-4 * q * (X - cx) / sigma,
        "h": 0.5 * np.sin(2 * np.pi * X / Lx + 0.3 * k) * np.cos(2 * np.pi * Y / (Ly / 2)),
        "us": -3.0 + 0.2 * np.sin(2 * np.pi * Y / Ly + 0.1 * k),
        "vs": 5.196152 + 0.1 * np.cos(2 * np.pi * X / Lx),
        "div": 1e-6 * np.sin(2 * np.pi * (X + Y) / Lx + k),
        "vort": 2e-6 * np.cos(2 * np.pi * (X - Y) / Lx - k),
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
        bits["vort"][grid.ny // 2, grid.nx // 2:grid.nx // 2 + 2] = [0x7F800000, 0xFF800000]
    return out


# SMALL_SCENARIO with two species, nox declared before so2, on their own
# schedules: the first and third sources feed so2, the second nox.
SMALL_SPECIES_SCENARIO = SMALL_SCENARIO.replace("[[source]]", "[[source]]\nspecies = \"so2\"", 1).replace(
    "[[source]]\nx_m = 60000.0", "[[source]]\nspecies = \"nox\"\nx_m = 60000.0").replace(
    "[[source]]\nx_m = 100000.0", "[[source]]\nspecies = \"so2\"\nx_m = 100000.0") + \
    "\n[[species]]\nname = \"nox\"\nevery_s = 600.0\n\n[[species]]\nname = \"so2\"\n"
SPECIES_FIELDS = ("q_nox", "dqdt_nox", "q_so2", "dqdt_so2", "h", "us", "vs", "div", "vort")


def species_fields(k, special=False, grid=SMALL):
    """The nine fields of snapshot k of a run of SMALL_SPECIES_SCENARIO: so2
    is synthetic_fields' pollutant, nox its mirror image in x."""
    f = synthetic_fields(k, special, grid)
    f.update({"q_nox": np.ascontiguousarray(f["q"][:, ::-1]), "dqdt_nox": np.ascontiguousarray(-f["dqdt"]),
              "q_so2": f["q"], "dqdt_so2": f["dqdt"]})
    return f


def write_species_file(path, snapshots, special=False, grid=SMALL):
    """Writes `snapshots` snapshots of species_fields to path; returns the
    fields written, by snapshot."""
    written = [species_fields(k, special, grid) for k in range(snapshots)]
    with open(path, "wb") as f:
        for fields in written:
            f.write(b"".join(frame(fields[name].tobytes()) for name in SPECIES_FIELDS))
    return written


def frame(data_bytes, lead=None, trail=None):
    n = len(data_bytes)
    lead = n if lead is None else lead
    trail = n if trail is None else trail
    return (np.int32(lead).astype("<i4").tobytes() + data_bytes +
            np.int32(trail).astype("<i4").tobytes())


def snapshot_bytes(k, special=False, grid=REFERENCE):
    fields = synthetic_fields(k, special, grid)
    return b"".join(frame(fields[name].tobytes()) for name in FIELDS)


def write_file(path, snapshots, special=False, grid=REFERENCE):
    """Writes `snapshots` synthetic snapshots to path; returns the bytes."""
    data = b"".join(snapshot_bytes(k, special, grid) for k in range(snapshots))
    with open(path, "wb") as f:
        f.write(data)
    return data


class SnapshotFileTest(unittest.TestCase):
    """Base of the tools' tests: a temporary directory `dir` holding a
    synthetic snapshot file `file` (its bytes in `bytes`) of the reference
    grid, and `small_file` (bytes `small_bytes`) of the SMALL grid, 3 of the
    4 snapshots of SMALL_SCENARIO, written in `small_scenario`."""
    snapshots = 3
    special = False

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        cls.file = os.path.join(cls.dir, "run.dat")
        cls.bytes = write_file(cls.file, cls.snapshots, cls.special)
        cls.small_file = os.path.join(cls.dir, "small.dat")
        cls.small_bytes = write_file(cls.small_file, 3, cls.special, SMALL)
        cls.small_scenario = os.path.join(cls.dir, "small.toml")
        with open(cls.small_scenario, "w") as f:
            f.write(SMALL_SCENARIO)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        """Writes data to a file in the test's directory; returns its path."""
        path = self.path(name)
        with open(path, "wb" if isinstance(data, bytes) else "w") as f:
            f.write(data)
        return path
