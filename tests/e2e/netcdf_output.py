#!/usr/bin/python3
"""The run's NetCDF output (--output NAME.nc), read back with readers this
project did not write (netCDF4, xarray, ncdump, CDO, NCO): every value bit
for bit the binary snapshot file's, the files' names and attributes, every
refusal, a file-size limit mid-series, failures at each step of a file, and
runs killed at random moments and restarted. Under MPI, every layout of 1 to
4 processes against the run of one process.

Usage: netcdf_output.py CASE PLUME EXAMPLES [MORE...]
  reference: MORE is the file of the reference run's record hashes;
  mpi_layouts, mpi_failures: PLUME is built with MPI; MORE is the plume of a
  build without MPI (or "": PLUME itself started without mpirun).
"""
import glob
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np
import netCDF4

FIELDS = ("q", "dqdt", "h", "us", "vs", "div", "vort")
MPI_ENV = {"OMPI_ALLOW_RUN_AS_ROOT": "1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1",
           "OMPI_MCA_btl_vader_single_copy_mechanism": "none", "OMPI_MCA_mpi_yield_when_idle": "1"}
failures = []


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    failures.append(message)


def expect(condition, message):
    if not condition:
        fail(message)


def run(*args, env=None, **kw):
    e = dict(os.environ, **(env or {}))
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, env=e, **kw)


def binary_records(path, nx, ny):
    """The fields of every snapshot of a binary file as uint32 bits, shape
    (snapshots, 7, ny, nx); each record's markers checked."""
    raw = np.fromfile(path, dtype=np.uint8)
    n = 4 * nx * ny
    rec = n + 8
    assert raw.size % (7 * rec) == 0, f"{path}: {raw.size} bytes is not whole snapshots"
    out = np.empty((raw.size // (7 * rec), 7, ny, nx), dtype="<u4")
    for k in range(out.shape[0]):
        for f in range(7):
            at = (k * 7 + f) * rec
            assert raw[at:at + 4].view("<u4")[0] == n and raw[at + 4 + n:at + rec].view("<u4")[0] == n
            out[k, f] = raw[at + 4:at + 4 + n].view("<u4").reshape(ny, nx)
    return out


def series(stem="run"):
    return sorted(glob.glob(glob.escape(stem) + "_" + "[0-9]" * 4 + ".nc"))


def series_values(files):
    """The fields of each file of a series as uint32 bits, as binary_records."""
    values = []
    for f in files:
        with netCDF4.Dataset(f) as ds:
            ds.set_auto_maskandscale(False)
            values.append(np.stack([np.asarray(ds[name][:])[0].view("<u4") for name in FIELDS]))
    return np.stack(values) if values else np.empty((0,))


def expect_same_values(files, expected, what):
    got = series_values(files)
    if got.shape != expected.shape:
        fail(f"{what}: {got.shape[0] if got.ndim else 0} files, expected {expected.shape[0]} snapshots")
        return
    for k in range(expected.shape[0]):
        for f, name in enumerate(FIELDS):
            if not np.array_equal(got[k, f], expected[k, f]):
                fail(f"{what}: {name} of snapshot {k} differs from the binary file's bits")
                return


class Case:
    def __init__(self, plume, examples):
        self.plume = os.path.abspath(plume)
        self.examples = os.path.abspath(examples)
        self.small = os.path.join(self.examples, "small.toml")
        self.dir = tempfile.mkdtemp()
        os.chdir(self.dir)

    def binary(self, *options, scenario=None):
        """The binary file and log of a run of the small scenario."""
        r = run(self.plume, "--scenario", scenario or self.small, "--output", "binary.dat", *options)
        assert r.returncode == 0, r.stderr
        return binary_records("binary.dat", 61, 41), r.stdout


def case_values(c):
    expected, log = c.binary()
    for options in ([], ["--deflate", "0"], ["--deflate", "9", "--threads", "3"]):
        for f in glob.glob("run*"):
            os.remove(f)
        r = run(c.plume, "--scenario", c.small, "--output", "run.nc", *options)
        expect(r.returncode == 0 and r.stderr == "", f"{options}: status {r.returncode}, {r.stderr}")
        expect(r.stdout == log, f"{options}: the log differs from the binary run's")
        files = series()
        expect(files == [f"run_{k:04d}.nc" for k in range(13)], f"{options}: files {files}")
        expect(sorted(glob.glob("run*")) == files, f"{options}: more files than the series: {glob.glob('run*')}")
        expect_same_values(files, expected, f"{options}")
    printed = run(c.plume, "--scenario", c.small, "--print-scenario").stdout
    for k, f in enumerate(series()):
        with netCDF4.Dataset(f) as ds:
            expect(ds.Conventions == "CF-1.10", f"{f}: Conventions {ds.Conventions}")
            expect(ds.program == "plume 1.0", f"{f}: program {ds.program}")
            expect(int(ds.snapshot_number) == k and int(ds.snapshot_count) == 13,
                   f"{f}: snapshot {ds.snapshot_number} of {ds.snapshot_count}")
            expect(ds.scenario_toml == printed, f"{f}: scenario_toml is not the printed scenario")
            expect(ds.history.endswith(" plume --scenario " + c.small + " --output run.nc --deflate 9 --threads 3"),
                   f"{f}: history {ds.history}")
            expect(ds.scenario == "small.toml", f"{f}: scenario {ds.scenario}")
            expect(list(ds["time"][:]) == [600.0 * k], f"{f}: time {ds['time'][:]}")
            expect(ds.dimensions["time"].isunlimited(), f"{f}: time is not unlimited")
            np.testing.assert_array_equal(ds["x"][:], 1000.0 * np.arange(61) + 500.0)
            for name in FIELDS:
                v = ds[name]
                expect(v.dtype == np.float32 and v.dimensions == ("time", "y", "x"), f"{f}: {name} {v}")
                expect(v.filters()["zlib"] and v.filters()["complevel"] == 9, f"{f}: {name} not at level 9")
                expect(v.chunking() == [1, 41, 61], f"{f}: {name} chunks {v.chunking()}")
    # The scenario a file holds runs the same case again.
    with open("again.toml", "w") as t, netCDF4.Dataset(series()[0]) as ds:
        t.write(ds.scenario_toml)
    again, _ = c.binary(scenario="again.toml")
    expect(np.array_equal(again, expected), "the scenario_toml of a file does not run the same case")
    # -0 stays -0: the small run's dqdt and div hold negative zeros.
    expect(bool(np.any(expected == 0x80000000)), "the small run holds no -0 to compare")


def case_wide_grid(c):
    # A grid whose fields are larger than a chunk: bands of equal rows, each
    # at most 1 MiB (374 rows fit; 420 rows take two bands of 210), and the
    # values still the binary file's.
    with open("wide.toml", "w") as t:
        t.write("[grid]\nnx = 700\nny = 420\n[time]\nduration_s = 20\nprogress_every = 10\nsnapshot_every_s = 10.0\n"
                "[emission]\nfirst_s = 0\n[[source]]\nx_m = 300000.0\ny_m = 200000.0\nradius_m = 30000.0\n")
    r = run(c.plume, "--scenario", "wide.toml", "--output", "wide.dat")
    expect(r.returncode == 0, r.stderr)
    expected = binary_records("wide.dat", 700, 420)
    r = run(c.plume, "--scenario", "wide.toml", "--output", "run.nc")
    expect(r.returncode == 0, r.stderr)
    expect_same_values(series(), expected, "wide grid")
    with netCDF4.Dataset(series()[0]) as ds:
        expect(ds["q"].chunking() == [1, 210, 700], f"chunks {ds['q'].chunking()}")


def case_reference(c, hashes):
    # The reference run's 231 records, each framed as the binary file frames
    # it, against the hashes of the reference run's records.
    r = run(c.plume, "--output", "run.nc")
    expect(r.returncode == 0, r.stderr)
    want = [line.split()[3] for line in open(hashes) if not line.startswith("#")]
    n = 401 * 401 * 4
    marker = np.array([n], dtype="<u4").tobytes()
    got = []
    for f in series():
        with netCDF4.Dataset(f) as ds:
            ds.set_auto_maskandscale(False)
            for name in FIELDS:
                data = np.asarray(ds[name][:])[0].astype("<f4").tobytes()
                got.append(hashlib.sha256(marker + data + marker).hexdigest())
    expect(len(got) == 231, f"{len(got)} records, expected 231")
    for k, (g, w) in enumerate(zip(got, want)):
        if g != w:
            fail(f"record {k} (snapshot {k // 7}, {FIELDS[k % 7]}) differs from the reference run's")
            break
    total = sum(os.path.getsize(f) for f in series())
    print(f"reference run: 33 files, {total} bytes (the binary file: 148581972)")
    # Each file carries its own metadata (about 40 kB: the chunk index and
    # header of every variable, the coordinates, the attributes), which a
    # file of many snapshots would share: the series is about 43 times
    # smaller than the binary file, snap2nc's single file about 82 times.
    expect(total * 40 <= 148581972, f"the series takes {total} bytes, not 40 times fewer than the binary file")


def case_readers(c):
    expected, _ = c.binary()
    r = run(c.plume, "--scenario", c.small, "--output", "run.nc")
    expect(r.returncode == 0, r.stderr)
    files = series()
    for f in (files[0], files[-1]):
        h = run("ncdump", "-h", f)
        expect(h.returncode == 0 and "float q(time, y, x)" in h.stdout and ':Conventions = "CF-1.10"' in h.stdout,
               f"ncdump -h {f}: {h.stderr}")
        info = run("cdo", "-s", "infon", f)
        expect(info.returncode == 0 and all(f" {name} " in info.stdout for name in FIELDS),
               f"cdo infon {f}: {info.stderr}")
    # One dataset over the series, and one file joined by NCO.
    code = ("import sys, numpy as np, xarray as xr\n"
            "ds = xr.open_mfdataset('run_*.nc', combine='by_coords', mask_and_scale=False)\n"
            "print(ds.sizes['time'], list(ds['time'].values.astype('datetime64[s]').astype(int)))\n"
            "np.save('q.npy', ds['q'].values)\n")
    x = run(sys.executable, "-c", code)
    expect(x.returncode == 0, f"xarray: {x.stderr}")
    if x.returncode == 0:
        expect(x.stdout.split()[0] == "13", f"xarray: {x.stdout}")
        q = np.load("q.npy")
        expect(np.array_equal(q.view("<u4"), expected[:, 0]), "xarray: q differs from the binary file's")
    j = run("ncrcat", *files, "all.nc")
    expect(j.returncode == 0, f"ncrcat: {j.stderr}")
    if j.returncode == 0:
        with netCDF4.Dataset("all.nc") as ds:
            ds.set_auto_maskandscale(False)
            for f, name in enumerate(FIELDS):
                expect(np.array_equal(np.asarray(ds[name][:]).view("<u4"), expected[:, f]),
                       f"ncrcat: {name} differs from the binary file's")
            expect(list(ds["time"][:]) == [600.0 * k for k in range(13)], "ncrcat: times")


def snapshot_of_files():
    """Every file present, by name, with its bytes."""
    return {f: open(f, "rb").read() for f in sorted(os.listdir("."))}


def case_refusals(c):
    with open("run_0000.nc", "wb") as f:
        f.write(b"an earlier file")
    with open("out.dat", "wb") as f:
        f.write(b"an earlier binary file")
    before = snapshot_of_files()
    usage = "Usage: plume [OPTIONS]; run 'plume --help' for the options.\n"
    for args, message, hint in (
            (["--output", "run.nc", "--deflate", "10"], "--deflate: '10' is not a compression level from 0 to 9", True),
            (["--output", "run.nc", "--deflate", "x"], "--deflate: 'x' is not a compression level from 0 to 9", True),
            (["--output", "run.nc", "--deflate", "-1"], "--deflate: '-1' is not a compression level from 0 to 9", True),
            (["--output", "run.nc", "--deflate", ""], "--deflate: '' is not a compression level from 0 to 9", True),
            (["--output", "out.dat", "--deflate", "1"],
             "--deflate: the output out.dat is a binary snapshot file, which is not compressed; give an --output "
             "ending in .nc to write NetCDF", True),
            (["--deflate", "1"],
             "--deflate: the output ./test_withPollutant.dat is a binary snapshot file, which is not compressed; "
             "give an --output ending in .nc to write NetCDF", True)):
        r = run(c.plume, "--scenario", c.small, *args)
        want = "plume: " + message + "\n" + (usage if hint else "")
        expect(r.returncode == 2 and r.stderr == want, f"{args}: status {r.returncode}, {r.stderr!r}")
        expect(snapshot_of_files() == before, f"{args}: files changed")
    # The history's time from an environment that does not give one: refused
    # for a NetCDF output, of no concern to a binary one.
    for value in ("", "x", "-1", "1.5", "253402300800"):
        r = run(c.plume, "--scenario", c.small, "--output", "run.nc", env={"SOURCE_DATE_EPOCH": value})
        want = (f"plume: SOURCE_DATE_EPOCH: '{value}' is not a whole number of seconds since 1970-01-01 for the "
                "files' history\n")
        expect(r.returncode == 2 and r.stderr == want, f"SOURCE_DATE_EPOCH={value}: {r.returncode}, {r.stderr!r}")
        expect(snapshot_of_files() == before, f"SOURCE_DATE_EPOCH={value}: files changed")
    r = run(c.plume, "--scenario", c.small, "--output", "other.dat", env={"SOURCE_DATE_EPOCH": "x"})
    expect(r.returncode == 0, f"a binary output with SOURCE_DATE_EPOCH=x: {r.returncode}, {r.stderr!r}")


def case_species_names(c):
    """A species' fields are variables q_NAME and dqdt_NAME: the longest name
    a scenario takes (250 characters) gives names of 255, which the files hold
    and read back intact, with the values of the binary file's records; a
    name one character longer is refused before any file is written."""
    def scenario(name, path="species.toml"):
        text = ("[grid]\nnx = 61\nny = 41\n[time]\nduration_s = 1200\nsnapshot_every_s = 600.0\n"
                "[emission]\nfirst_s = 0\nevery_s = 600.0\n")
        for species, x in ((name, 14000.0), ("b", 40000.0)):
            text += f'[[species]]\nname = "{species}"\n'
            text += f'[[source]]\nx_m = {x}\ny_m = 20000.0\nspecies = "{species}"\n'
        with open(path, "w") as f:
            f.write(text)
        return path
    longest = "s" + "o" * 249
    r = run(c.plume, "--scenario", scenario(longest), "--output", "run.nc")
    expect(r.returncode == 0 and r.stderr == "", f"a species name of 250 characters: {r.returncode}, {r.stderr!r}")
    r = run(c.plume, "--scenario", "species.toml", "--output", "binary.dat")
    assert r.returncode == 0, r.stderr
    # The binary file's records: q and dqdt of each species, then the flow's.
    frame = 61 * 41 + 2
    raw = np.fromfile("binary.dat", "<u4").reshape(-1, 9, frame)[:, :, 1:-1].reshape(-1, 9, 41, 61)
    names = ["q_" + longest, "dqdt_" + longest, "q_b", "dqdt_b"] + list(FIELDS[2:])
    expect(len(series()) == raw.shape[0] == 3, f"{series()} against {raw.shape[0]} snapshots")
    for k, f in enumerate(series()):
        with netCDF4.Dataset(f) as ds:
            ds.set_auto_maskandscale(False)
            expect(list(ds.variables)[-9:] == names, f"{f}: variables {list(ds.variables)}")
            expect(ds["dqdt_" + longest].long_name.endswith("of species " + longest), f"{f}: long_name")
            for n, name in enumerate(names):
                expect(np.array_equal(np.asarray(ds[name][:])[0].view("<u4"), raw[k, n]),
                       f"{f}: {name} differs from the binary file's record")
    expect(bool(np.any(raw[-1, 0] != 0)), "the species of the long name emitted nothing")
    for f in glob.glob("run*") + ["binary.dat"]:
        os.remove(f)
    longer = scenario(longest + "o", "longer.toml")
    before = snapshot_of_files()
    for output in ("run.nc", "binary.dat"):
        r = run(c.plume, "--scenario", longer, "--output", output)
        want = ("plume: longer.toml:11:8: species 1: its name has 251 characters, more than 250 (its field "
                "dqdt_NAME must fit a NetCDF name)\n")
        expect(r.returncode == 2 and r.stderr == want,
               f"{output}: a species name of 251 characters: {r.returncode}, {r.stderr!r}")
        expect(snapshot_of_files() == before, f"{output}: files changed")


def same_bytes_every_time(c, launchers):
    """Runs the small case with SOURCE_DATE_EPOCH set under each launcher
    in turn, a second apart: the series of each holds the bytes of the
    first's, and its history the given time."""
    files = None
    for launcher in launchers:
        for f in glob.glob("run*"):
            os.remove(f)
        time.sleep(1.1)
        r = run(*launcher, c.plume, "--scenario", c.small, "--output", "run.nc",
                env=dict(MPI_ENV, SOURCE_DATE_EPOCH="1796829942"), timeout=300)
        expect(r.returncode == 0, f"{launcher}: {r.stderr}")
        got = snapshot_of_files()
        if files is None:
            files = got
            with netCDF4.Dataset("run_0000.nc") as ds:
                expect(ds.history == "2026-12-09T15:25:42Z plume --scenario " + c.small + " --output run.nc",
                       f"history {ds.history}")
        else:
            expect(got == files, f"{launcher or 'one process'}: other bytes than {launchers[0] or 'one process'}")


def case_reproducible(c):
    # With SOURCE_DATE_EPOCH set, the history holds its time and not the
    # time now: the same command writes the same bytes whenever it runs.
    same_bytes_every_time(c, [[], []])


def case_restart_refusals(c):
    # A restart with a NetCDF output checks the series the checkpoint
    # counted: every file there, the last one as recorded. A series or a
    # kind of output that is not the checkpoint's run's is refused with one
    # line, status 2, every file as it was.
    r = run(c.plume, "--scenario", c.small, "--output", "run.nc", "--checkpoint-every", "3000")
    assert r.returncode == 0, r.stderr
    r = run(c.plume, "--scenario", c.small, "--output", "b.dat", "--checkpoint-every", "3000")
    assert r.returncode == 0, r.stderr

    def refused(args, want, what):
        before = snapshot_of_files()
        r = run(c.plume, *args)
        expect(r.returncode == 2, f"{what}: status {r.returncode}, {r.stderr!r}")
        expect(r.stderr.startswith("plume: " + want) and r.stderr.count("\n") == 1, f"{what}: {r.stderr!r}")
        expect(snapshot_of_files() == before, f"{what}: files changed")

    refused(["--restart", "run.nc.ckpt", "--output", "b2.dat"],
            "run.nc.ckpt: its run wrote NetCDF files, not a binary snapshot file; go on with an --output ending "
            "in .nc\n", "a NetCDF checkpoint with a binary output")
    refused(["--restart", "b.dat.ckpt", "--output", "run.nc"],
            "b.dat.ckpt: its run wrote a binary snapshot file, not NetCDF files; go on with an --output that does "
            "not end in .nc\n", "a binary checkpoint with a NetCDF output")
    # The checkpoint after pass 6000 counted 11 files.
    last = open("run_0010.nc", "rb").read()
    with open("run_0010.nc", "r+b") as f:
        f.seek(len(last) // 2)
        f.write(bytes([last[len(last) // 2] ^ 1]))
    refused(["--restart", "run.nc.ckpt", "--output", "run.nc"],
            f"run_0010.nc: the last file of the series is not the one recorded ({len(last)} bytes, CRC-32 ",
            "the last file altered")
    with open("run_0010.nc", "wb") as f:
        f.write(last)
    os.rename("run_0003.nc", "moved.nc")
    refused(["--restart", "run.nc.ckpt", "--output", "run.nc"],
            "run_0003.nc: a file of the series is missing (run.nc.ckpt)\n", "a file missing")
    os.rename("moved.nc", "run_0003.nc")
    # Whole again, the series goes on: the files after the checkpoint's are
    # written anew.
    os.remove("run_0012.nc")
    r = run(c.plume, "--restart", "run.nc.ckpt", "--output", "run.nc")
    expect(r.returncode == 0, f"the restart of the whole series: {r.stderr}")
    expect(len(series()) == 13, f"after the restart: {series()}")


def case_restart_level(c):
    # A restart goes on at the compression level of the files before it, as
    # its checkpoint recorded it, unless --deflate gives another; the
    # values are those of a run never stopped.
    expected, _ = c.binary()

    def levels():
        out = []
        for f in series():
            with netCDF4.Dataset(f) as ds:
                filters = ds["q"].filters()
                out.append(filters["complevel"] if filters["zlib"] else 0)
        return out

    r = run(c.plume, "--scenario", c.small, "--output", "run.nc", "--deflate", "0", "--checkpoint-every", "3000")
    assert r.returncode == 0, r.stderr
    # The checkpoint after pass 6000 counted 11 files.
    for given, want in (([], 0), (["--deflate", "9"], 9), ([], 0)):
        r = run(c.plume, "--restart", "run.nc.ckpt", "--output", "run.nc", *given)
        expect(r.returncode == 0, f"{given}: {r.stderr}")
        expect(levels() == [0] * 11 + [want] * 2, f"{given}: levels {levels()}")
        expect_same_values(series(), expected, f"restarted with {given}")


def case_stale_files(c):
    # What an earlier run left of the same series goes; other files stay.
    for name in ("run_0013.nc", "run_0200.nc", "run.nc.tmp"):
        with open(name, "wb") as f:
            f.write(b"left over")
    kept = {"run_12345.nc": b"other width", "run.nc": b"not of the series", "other_0000.nc": b"another series",
            "run_00x1.nc": b"not a number"}
    for name, data in kept.items():
        with open(name, "wb") as f:
            f.write(data)
    r = run(c.plume, "--scenario", c.small, "--output", "run.nc")
    expect(r.returncode == 0, r.stderr)
    left = sorted(set(os.listdir(".")) - set(kept))
    expect(left == [f"run_{k:04d}.nc" for k in range(13)], f"files after the run: {left}")
    for name, data in kept.items():
        expect(open(name, "rb").read() == data, f"{name} was changed")


def case_file_size_limit(c):
    # A size limit that the third file passes: one line, status 1, the files
    # before it whole, no temporary file left.
    expected, _ = c.binary()
    r = run(c.plume, "--scenario", c.small, "--output", "run.nc")
    sizes = [os.path.getsize(f) for f in series()]
    assert r.returncode == 0 and sizes[1] < sizes[2], f"the files' sizes do not grow: {sizes}"
    for f in series():
        os.remove(f)
    r = run("bash", "-c", 'trap "" XFSZ; exec prlimit --fsize=$1 "$0" --scenario "$2" --output run.nc',
            c.plume, (sizes[1] + sizes[2]) // 2, c.small)
    expect(r.returncode == 1, f"status {r.returncode}")
    expect(r.stderr == "plume: cannot write run.nc.tmp: File too large\n", f"stderr {r.stderr!r}")
    files = series()
    expect(len(files) == 2 and sorted(glob.glob("run*")) == files, f"files {glob.glob('run*')}")
    expect_same_values(files, expected[:len(files)], "before the limit")
    expect(r.stdout.count("output!") == 3, "the log does not end at the third snapshot")


def case_fault_points(c, mpirun=()):
    # A failure at each step of writing the third file, on the last
    # process: every process stops, one line, status 1, the two files before
    # it whole, no temporary file left; an exception of a kind the run does
    # not expect included. A failure within the step that ends the file's
    # definitions, a collective of the library that the other processes
    # would wait in for ever, ends a run of several processes at once: its
    # temporary file stays, as after a run that was killed.
    expected, _ = c.binary()
    ranks = int(mpirun[-1]) if mpirun else 1
    for point, kind, line in (("netcdf-open", "run_failure", "test fault at netcdf-open"),
                              ("netcdf-write", "bad_alloc", "cannot allocate memory"),
                              ("netcdf-rename", "run_failure", "test fault at netcdf-rename"),
                              ("netcdf-write", "other", "test fault at netcdf-write"),
                              ("netcdf-define", "run_failure", "test fault at netcdf-define"),
                              ("netcdf-define", "bad_alloc", "cannot allocate memory")):
        for f in glob.glob("run*"):
            os.remove(f)
        fault = f"{point}:{ranks - 1}:{kind}:3"
        r = run(*mpirun, c.plume, "--scenario", c.small, "--output", "run.nc",
                env=dict(MPI_ENV, PLUME_TEST_FAULT=fault), timeout=120)
        prefix = f"rank {ranks - 1}: " if ranks > 1 else ""
        expect(r.returncode == 1, f"{fault}: status {r.returncode}, {r.stderr!r}")
        # mpirun adds its own report of the failed process after the line.
        ours = [l for l in r.stderr.splitlines() if l.startswith("plume:")] if mpirun else r.stderr.splitlines()
        expect(ours == [f"plume: {prefix}{line}"], f"{fault}: stderr {r.stderr!r}")
        files = series()
        left = ["run.nc.tmp"] if point == "netcdf-define" and ranks > 1 else []
        expect(sorted(glob.glob("run*")) == left + files and len(files) == 2, f"{fault}: files {glob.glob('run*')}")
        expect_same_values(files, expected[:2], fault)


def restart_command(stderr):
    """The command of the "go on with" line."""
    for line in stderr.splitlines():
        if "; go on with: plume " in line:
            return line.split("; go on with: plume ", 1)[1].split()
    return None


def case_kill(c):
    # Runs killed by SIGKILL at moments drawn from a fixed seed, each
    # restarted from its last checkpoint: after every kill each .nc file
    # present opens, at most one temporary file is left, and the finished
    # series holds the uninterrupted run's values.
    with open("kill.toml", "w") as t:
        t.write(open(c.small).read().replace("snapshot_every_s = 600.0", "snapshot_every_s = 60.0"))
    r = run(c.plume, "--scenario", "kill.toml", "--output", "binary.dat")
    assert r.returncode == 0, r.stderr
    expected = binary_records("binary.dat", 61, 41)
    command = [c.plume, "--scenario", "kill.toml", "--output", "run.nc", "--checkpoint-every", "300"]
    start = time.monotonic()
    r = run(*command)
    whole = time.monotonic() - start
    assert r.returncode == 0, r.stderr
    for f in series() + ["run.nc.ckpt"]:
        os.remove(f)
    rng = random.Random(21)
    moments = []
    for attempt in range(12):
        delay = rng.uniform(0.0, whole / 3)
        p = subprocess.Popen([str(a) for a in command], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        time.sleep(delay)
        p.send_signal(signal.SIGKILL)
        p.wait()
        if p.returncode == 0:
            break
        moments.append(f"{delay:.3f}")
        for f in glob.glob("run*.nc"):
            try:
                netCDF4.Dataset(f).close()
            except OSError as e:
                fail(f"after a kill at {delay:.3f} s: {f} does not open: {e}")
        temporaries = [f for f in os.listdir(".") if f.endswith(".tmp") and not f.endswith(".ckpt.tmp")]
        expect(len(temporaries) <= 1, f"after a kill: temporary files {temporaries}")
        if os.path.exists("run.nc.ckpt"):
            command = [c.plume, "--restart", "run.nc.ckpt", "--output", "run.nc", "--checkpoint-every", "300"]
    print(f"the whole run took {whole:.3f} s; killed at", ", ".join(moments), "s after each start")
    r = run(*command)
    expect(r.returncode == 0, f"the last restart: {r.stderr}")
    expect_same_values(series(), expected, "the killed and restarted series")


def mpi_layouts(ranks):
    return {1: ["1x1"], 2: ["1x2", "2x1"], 3: ["1x3", "3x1"], 4: ["1x4", "4x1", "2x2"]}[ranks]


def shorter_small_case(c):
    """The small scenario cut to its first four snapshots, for the slower
    runs under mpirun."""
    with open("short.toml", "w") as t:
        t.write(open(c.small).read().replace("duration_s = 7200", "duration_s = 1800"))
    c.small = os.path.abspath("short.toml")


def case_mpi_layouts(c, serial):
    # Every layout of 1 to 4 processes, and more threads than cores: the
    # values of the run of one process (a build without MPI).
    shorter_small_case(c)
    c.plume, mpi = os.path.abspath(serial or c.plume), c.plume
    expected, log = c.binary()
    for ranks in (1, 2, 3, 4):
        for layout in mpi_layouts(ranks):
            for f in glob.glob("run*"):
                os.remove(f)
            r = run("mpirun", "--oversubscribe", "-np", ranks, mpi, "--scenario", c.small, "--output", "run.nc",
                    "--layout", layout, "--threads", "2", env=MPI_ENV, timeout=300)
            expect(r.returncode == 0, f"{layout}: status {r.returncode}: {r.stderr}")
            expect(r.stdout == log, f"{layout}: the log differs")
            expect(sorted(glob.glob("run*")) == [f"run_{k:04d}.nc" for k in range(4)], f"{layout}: files")
            expect_same_values(series(), expected, f"layout {layout}")


def case_mpi_failures(c, serial):
    shorter_small_case(c)
    mpi = c.plume
    c.plume = os.path.abspath(serial or c.plume)
    expected, _ = c.binary()
    c.plume = mpi
    c.binary = lambda: (expected, None)
    case_fault_points(c, mpirun=("mpirun", "--oversubscribe", "-np", "3"))
    mpi_file_size_limit(c, expected)


def case_mpi_many_species(c, serial):
    # More species than HDF5 can attach to a dimension in a file written by
    # several processes (131: 267 variables over time, y and x): the run of
    # 2 and of 3 processes writes files that every reader takes, with the
    # values of the binary file of one process, each variable over its
    # dimensions.
    import xarray
    species = 131
    text = ("[grid]\nnx = 31\nny = 21\n[time]\nduration_s = 600\nsnapshot_every_s = 300.0\n"
            "[emission]\nfirst_s = 0\nevery_s = 300.0\n")
    for k in range(species):
        text += f'[[species]]\nname = "s{k}"\n'
        text += f'[[source]]\nx_m = {2000.0 + 1000.0 * (k % 27)}\ny_m = {3000.0 + 3000.0 * (k % 6)}\nspecies = "s{k}"\n'
    with open("many.toml", "w") as f:
        f.write(text)
    r = run(os.path.abspath(serial or c.plume), "--scenario", "many.toml", "--output", "binary.dat")
    assert r.returncode == 0, r.stderr
    records = 2 * species + 5
    raw = np.fromfile("binary.dat", "<u4").reshape(-1, records, 31 * 21 + 2)[:, :, 1:-1].reshape(-1, records, 21, 31)
    names = [f"{field}_s{k}" for k in range(species) for field in ("q", "dqdt")] + list(FIELDS[2:])
    for ranks in (2, 3):
        for f in glob.glob("run*"):
            os.remove(f)
        try:
            r = run("mpirun", "--oversubscribe", "-np", ranks, c.plume, "--scenario", "many.toml", "--output",
                    "run.nc", env=MPI_ENV, timeout=120)
        except subprocess.TimeoutExpired:
            fail(f"{species} species over {ranks} processes: the run hangs")
            continue
        expect(r.returncode == 0, f"{species} species over {ranks} processes: status {r.returncode}: {r.stderr}")
        expect(len(series()) == raw.shape[0] == 3, f"{ranks} processes: files {glob.glob('run*')}")
        for k, f in enumerate(series()):
            with netCDF4.Dataset(f) as ds:
                ds.set_auto_maskandscale(False)
                expect([n for n in ds.variables if n not in ("time", "x", "y")] == names, f"{f}: variables")
                for n, name in enumerate(names):
                    expect(ds[name].dimensions == ("time", "y", "x"), f"{f}: {name} {ds[name].dimensions}")
                    expect(np.array_equal(np.asarray(ds[name][:])[0].view("<u4"), raw[k, n]),
                           f"{ranks} processes, {f}: {name} differs from the binary file's record")
        with xarray.open_dataset(series()[-1]) as ds:
            expect(ds[f"q_s{species - 1}"].dims == ("time", "y", "x"), f"xarray: {ds[f'q_s{species - 1}'].dims}")
    expect(bool(np.any(raw[-1, 2 * (species - 1)] != 0)), "the last species emitted nothing")


def mpi_file_size_limit(c, expected):
    # A file-size limit on rank 0 alone that the third file passes: the
    # disk refuses a write of one process in the middle of a collective
    # write, which the others go on with. The run ends at once: our one line
    # (mpirun adds its report of the abort), status 1, the files before it
    # whole.
    for f in glob.glob("run*"):
        os.remove(f)
    r = run(c.plume, "--scenario", c.small, "--output", "run.nc")
    sizes = [os.path.getsize(f) for f in series()]
    for f in glob.glob("run*"):
        os.remove(f)
    limit = 'trap "" XFSZ; if [ "$OMPI_COMM_WORLD_RANK" = 0 ]; then ulimit -f $1; fi; exec "$0" --scenario "$2" --output run.nc'
    try:
        r = run("mpirun", "--oversubscribe", "-np", "3", "bash", "-c", limit, c.plume,
                (sizes[1] + sizes[2]) // 2 // 1024, c.small, env=MPI_ENV, timeout=120)
    except subprocess.TimeoutExpired:
        fail("a file-size limit on one process: the run hangs")
        return
    expect(r.returncode == 1, f"a file-size limit on one process: status {r.returncode}, {r.stderr!r}")
    ours = [l for l in r.stderr.splitlines() if l.startswith("plume:")]
    expect(ours == ["plume: rank 0: cannot write the NetCDF file: File too large"],
           f"a file-size limit on one process: stderr {r.stderr!r}")
    files = series()
    expect(len(files) == 2, f"a file-size limit on one process: files {glob.glob('run*')}")
    expect_same_values(files, expected[:len(files)], "a file-size limit on one process")


def main():
    name, plume, examples, *more = sys.argv[1:]
    c = Case(plume, examples)
    try:
        globals()["case_" + name](c, *more)
    finally:
        os.chdir("/")
        shutil.rmtree(c.dir, ignore_errors=True)
    if failures:
        print(f"{len(failures)} failures", file=sys.stderr)
        sys.exit(1)
    print(f"{name}: passed")


if __name__ == "__main__":
    main()
