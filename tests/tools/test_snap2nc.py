"""snap2nc, checked by reading its output back with readers this project did
not write: netCDF4-python, xarray and ncdump. Values must equal the snapshot
file's bit for bit; failures must leave no OUT.nc behind.

usage: test_snap2nc.py PATH_TO_SNAP2NC PATH_TO_NCDUMP
"""
import glob
import os
import subprocess
import sys
import unittest

import netCDF4
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import snapfiles as sf  # noqa: E402

SNAP2NC = NCDUMP = None
SNAPSHOTS = 3
STANDARD_NAMES = {"us": "x_wind", "vs": "y_wind", "div": "divergence_of_wind",
                  "vort": "atmosphere_relative_vorticity"}
UNITS = {"q": "1", "dqdt": "s-1", "h": "m", "us": "m s-1", "vs": "m s-1", "div": "s-1", "vort": "s-1"}


def run(*args):
    return subprocess.run([SNAP2NC, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120)


def bits(a):
    return np.ascontiguousarray(a, dtype="<f4").view("<u4")


class Snap2ncTest(sf.SnapshotFileTest):
    snapshots = SNAPSHOTS
    special = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.input = cls.file
        cls.expected = [sf.synthetic_fields(k, special=True) for k in range(SNAPSHOTS)]
        cls.output = os.path.join(cls.dir, "run.nc")
        r = run(cls.input, cls.output)
        assert r.returncode == 0, r.stderr
        cls.stdout = r.stdout

    def assert_no_output(self, out):
        self.assertFalse(os.path.exists(out), out)
        self.assertEqual(glob.glob(out + ".partial-*"), [])

    def test_values_bit_for_bit_with_netcdf4(self):
        self.assertIn("3 snapshots (t = 0 .. 3600 s) written to", self.stdout)
        with netCDF4.Dataset(self.output) as ds:
            ds.set_auto_maskandscale(False)
            self.assertEqual(ds.data_model, "NETCDF4")
            self.assertEqual({n: len(d) for n, d in ds.dimensions.items()}, {"time": SNAPSHOTS, "y": 401, "x": 401})
            self.assertTrue(ds.dimensions["time"].isunlimited())
            for name in sf.FIELDS:
                var = ds[name]
                self.assertEqual(var.dimensions, ("time", "y", "x"))
                self.assertEqual(var.dtype, np.float32)
                for k in range(SNAPSHOTS):
                    np.testing.assert_array_equal(bits(var[k]), bits(self.expected[k][name]), err_msg=f"{name}[{k}]")

    def test_values_bit_for_bit_with_ncdump(self):
        # ncdump -p 9 prints every float with 9 significant digits, enough to
        # give back its exact bits; NaN prints as NaNf whatever its payload,
        # infinity as Infinityf.
        for name in sf.FIELDS:
            text = subprocess.run([NCDUMP, "-p", "9,17", "-v", name, self.output], stdout=subprocess.PIPE,
                                  text=True, check=True).stdout
            body = text.split(f" {name} =", 1)[1].rsplit(";", 1)[0]
            body = body.replace("NaNf", "nan").replace("Infinityf", "inf").replace(",", " ")
            values = np.array(body.split(), dtype=np.float64).astype("<f4")
            want = np.concatenate([self.expected[k][name].ravel() for k in range(SNAPSHOTS)])
            nan = np.isnan(want)
            np.testing.assert_array_equal(np.isnan(values), nan, err_msg=name)
            np.testing.assert_array_equal(bits(values)[~nan], bits(want)[~nan], err_msg=name)

    def test_header_with_ncdump(self):
        header = subprocess.run([NCDUMP, "-h", self.output], stdout=subprocess.PIPE, text=True, check=True).stdout
        for line in ["time = UNLIMITED ; // (3 currently)", "y = 401 ;", "x = 401 ;", "float q(time, y, x) ;",
                     'time:units = "seconds since 1970-01-01 00:00:00" ;', 'time:axis = "T" ;',
                     ':Conventions = "CF-1.10" ;']:
            self.assertIn(line, header)

    def test_coordinates_and_attributes(self):
        with netCDF4.Dataset(self.output) as ds:
            centres = (np.arange(401) + 0.5) * 1000.0
            for axis, name in (("X", "x"), ("Y", "y")):
                v = ds[name]
                np.testing.assert_array_equal(v[:], centres)
                self.assertEqual((v.standard_name, v.units, v.axis),
                                 (f"projection_{name}_coordinate", "m", axis))
            np.testing.assert_array_equal(ds["time"][:], [0.0, 1800.0, 3600.0])
            self.assertEqual(ds["time"].axis, "T")
            self.assertEqual(ds["time"].calendar, "proleptic_gregorian")
            for name in sf.FIELDS:
                v = ds[name]
                self.assertEqual(v.units, UNITS[name])
                self.assertTrue(v.long_name)
                self.assertEqual(getattr(v, "standard_name", None), STANDARD_NAMES.get(name))
                self.assertNotIn("_FillValue", v.ncattrs())
            self.assertEqual(ds.Conventions, "CF-1.10")
            self.assertIn("run.dat", ds.source)
            self.assertTrue(ds.title)
            self.assertRegex(ds.history, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ snap2nc .*run\.dat .*run\.nc$")
            self.assertIn("401 x 401 cells of 1 km, snapshots every 1800 s", ds.source)
            self.assertIn("Snapshot k is at 1800 k s.", ds["time"].comment)
            # Without --scenario, the reference case's settings.
            self.assertEqual(ds.scenario, "none: the reference case")
            self.assertEqual((ds.grid_nx, ds.grid_ny, ds.grid_spacing_m), (401, 401, 1000.0))
            self.assertEqual((ds.time_duration_s, ds.time_progress_every, ds.time_snapshot_every_s),
                             (57600, 100, 1800.0))
            self.assertEqual((ds.wind_speed_m_s, ds.wind_towards_deg), (6.0, 120.0))
            self.assertEqual((ds.emission_first_s, ds.emission_every_s), (43200, 3600.0))
            self.assertEqual(ds.source_count, 2)
            np.testing.assert_array_equal(ds.source_x_m, [10000.0, 180000.0])
            np.testing.assert_array_equal(ds.source_y_m, [200000.0, 200000.0])

    def test_xarray_decodes_time_and_keeps_the_values(self):
        try:
            import xarray as xr
        except ImportError:
            self.skipTest("xarray is not installed")
        with xr.open_dataset(self.output) as ds:
            self.assertEqual([str(t)[:19] for t in ds.time.values],
                             ["1970-01-01T00:00:00", "1970-01-01T00:30:00", "1970-01-01T01:00:00"])
            self.assertEqual(ds["us"].attrs["standard_name"], "x_wind")
            np.testing.assert_array_equal(bits(ds["dqdt"].values[2]), bits(self.expected[2]["dqdt"]))

    def test_uncompressed_output_has_the_same_values(self):
        out = self.path("plain.nc")
        r = run("--deflate", "0", self.input, out)
        self.assertEqual(r.returncode, 0, r.stderr)
        with netCDF4.Dataset(out) as ds, netCDF4.Dataset(self.output) as ref:
            self.assertIsNone(ds["h"].filters().get("zlib") or None)
            for name in sf.FIELDS:
                np.testing.assert_array_equal(bits(ds[name][:]), bits(ref[name][:]))

    def test_damaged_or_missing_input_leaves_no_output(self):
        S = sf.SNAPSHOT_BYTES
        cases = [("missing", None, "cannot open '.*missing\\.dat': No such file or directory"),
                 ("empty", b"", "damaged file \\(empty\\) at byte 0: the file is empty"),
                 ("truncated", self.bytes[:S + 5000], f"damaged file \\(truncated\\) at byte {S + 5000}: "),
                 ("partial", self.bytes[:S + sf.FRAME_BYTES], f"damaged file \\(partial_snapshot\\) at byte "
                                                              f"{S + sf.FRAME_BYTES}: .*expected the leading marker")]
        for name, data, message in cases:
            with self.subTest(name):
                src = self.path(name + ".dat") if data is None else self.write(name + ".dat", data)
                out = self.path(name + ".nc")
                r = run(src, out)
                self.assertEqual(r.returncode, 1)
                self.assertRegex(r.stderr, "^snap2nc: .*" + message)
                self.assert_no_output(out)

    def test_failed_conversion_keeps_an_existing_output(self):
        src = self.write("cut.dat", self.bytes[:100])
        out = self.write("existing.nc", b"earlier result")
        r = run(src, out)
        self.assertEqual(r.returncode, 1)
        self.assertIn("'" + out + "' not written", r.stderr)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), b"earlier result")
        self.assertEqual(glob.glob(out + ".partial-*"), [])

    def test_unwritable_output(self):
        cases = [(self.path("no/such/dir/out.nc"), "directory '.*no/such/dir' does not exist"),
                 (self.dir, "it is a directory"),
                 (self.input, "is the input file")]
        for out, message in cases:
            with self.subTest(out):
                r = run(self.input, out)
                self.assertEqual(r.returncode, 1)
                self.assertRegex(r.stderr, "^snap2nc: cannot create|^snap2nc: the output")
                self.assertRegex(r.stderr, message)
        with open(self.input, "rb") as f:
            self.assertEqual(f.read(), self.bytes)

    def test_usage(self):
        for args, message in [((), "expected an input FILE and an output OUT.nc"),
                              (("a.dat",), "expected an input FILE"),
                              (("a", "b", "c"), "expected an input FILE"),
                              (("--deflate",), "--deflate needs a level"),
                              (("--deflate", "12", "a", "b"), "not '12'"),
                              (("--fast", "a", "b"), "unknown option '--fast'")]:
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, 2)
                self.assertIn(message, r.stderr)
                self.assertIn("usage: snap2nc", r.stderr)
        r = run("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn("usage: snap2nc", r.stdout)


class Snap2ncScenarioTest(sf.SnapshotFileTest):
    """snap2nc --scenario on a file of the 61 x 41 grid of sf.SMALL_SCENARIO."""
    special = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.output = os.path.join(cls.dir, "small.nc")
        r = run("--scenario", cls.small_scenario, cls.small_file, cls.output)
        assert r.returncode == 0, r.stderr
        cls.stdout = r.stdout

    def test_grid_times_and_values(self):
        self.assertEqual(self.stdout, f"snap2nc: 3 snapshots (t = 0 .. 4050 s) written to {self.output}\n")
        with netCDF4.Dataset(self.output) as ds:
            ds.set_auto_maskandscale(False)
            self.assertEqual({n: len(d) for n, d in ds.dimensions.items()}, {"time": 3, "y": 41, "x": 61})
            np.testing.assert_array_equal(ds["time"][:], sf.SMALL_TIMES[:3])
            np.testing.assert_array_equal(ds["x"][:], 2000.0 * np.arange(61) + 1000.0)
            np.testing.assert_array_equal(ds["y"][:], 2000.0 * np.arange(41) + 1000.0)
            self.assertIn("Snapshot k is at 2025 k s.", ds["time"].comment)
            self.assertIn("61 x 41 cells of 2 km, snapshots every 2025 s; snapshot file small.dat", ds.source)
            for k in range(3):
                expected = sf.synthetic_fields(k, special=True, grid=sf.SMALL)
                for name in sf.FIELDS:
                    np.testing.assert_array_equal(bits(ds[name][k]), bits(expected[name]), err_msg=f"{name}[{k}]")

    def test_scenario_in_global_attributes(self):
        import tomllib
        with netCDF4.Dataset(self.output) as ds:
            self.assertEqual(ds.scenario, "small.toml")
            ints = {"grid_nx": 61, "grid_ny": 41, "time_duration_s": 7200, "time_progress_every": 600,
                    "emission_first_s": 600, "source_count": 3}
            floats = {"grid_spacing_m": [2000.0], "time_snapshot_every_s": [1012.5], "wind_speed_m_s": [4.0],
                      "wind_towards_deg": [200.0], "emission_every_s": [900.0],
                      "source_x_m": [20000.0, 60000.0, 100000.0], "source_y_m": [40000.0, 20000.0, 60000.0],
                      "source_radius_m": [2000.0, 3000.0, 2000.0], "source_peak": [1.0, 1.0, 0.5]}
            for name, value in ints.items():
                self.assertEqual(ds.getncattr(name), value, name)
                self.assertEqual(np.asarray(ds.getncattr(name)).dtype, np.int32, name)
            for name, value in floats.items():
                a = np.atleast_1d(ds.getncattr(name))
                self.assertEqual(a.dtype, np.float32, name)
                np.testing.assert_array_equal(a, value, err_msg=name)
            # The whole scenario, every key written out.
            written = tomllib.loads(ds.scenario_toml)
        given = tomllib.loads(sf.SMALL_SCENARIO)
        for source in given["source"]:
            source.setdefault("radius_m", 2000.0)
            source.setdefault("peak", 1.0)
        self.assertEqual(written, given)

    def test_a_file_of_another_run_leaves_no_output(self):
        five = self.write("five.dat", b"".join(sf.snapshot_bytes(k, grid=sf.SMALL) for k in range(5)))
        cases = [((self.small_file,), "small_as_reference.nc",
                  "its records hold 10004 bytes (a field of 2501 float32 values), not the 643204 bytes of a field "
                  "of 401 x 401 cells of the reference case; if it comes from a run of another scenario, give that "
                  "scenario with --scenario FILE"),
                 (("--scenario", self.small_scenario, self.file), "reference_as_small.nc",
                  "its records hold 643204 bytes (a field of 160801 float32 values), not the 10004 bytes of a field "
                  f"of 61 x 41 cells of the scenario {self.small_scenario}; give the scenario of the run that wrote "
                  "it with --scenario FILE"),
                 (("--scenario", self.small_scenario, five), "five.nc",
                  f"it holds more snapshots than the 4 of the scenario {self.small_scenario} (t = 0 .. 6075 s); "
                  "give the scenario of the run that wrote it with --scenario FILE")]
        for args, name, message in cases:
            with self.subTest(name):
                out = self.path(name)
                r = run(*args, out)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stderr, f"snap2nc: '{args[-1]}': {message}; '{out}' not written\n")
                self.assertFalse(os.path.exists(out))
                self.assertEqual(glob.glob(out + ".partial-*"), [])

    def test_bad_scenario_leaves_no_output(self):
        bad = self.write("bad.toml", "[grid]\nspacing_m = 500.0\n")
        out = self.path("never.nc")
        r = run("--scenario", bad, self.small_file, out)
        self.assertEqual(r.returncode, 2)
        self.assertTrue(r.stderr.startswith(f"snap2nc: {bad}:2:13: grid.spacing_m = 500 m makes the momentum "
                                            "equations unstable"), r.stderr)
        self.assertFalse(os.path.exists(out))
        r = run("--scenario", self.small_file, out)
        self.assertEqual(r.returncode, 2)
        self.assertIn("expected an input FILE and an output OUT.nc", r.stderr)


class Snap2ncSpeciesTest(sf.SnapshotFileTest):
    """A run of sf.SMALL_SPECIES_SCENARIO: a q_NAME and dqdt_NAME variable
    per species, named for it."""

    def test_one_pair_of_variables_per_species(self):
        scenario = self.write("species.toml", sf.SMALL_SPECIES_SCENARIO)
        path = self.path("species.dat")
        written = sf.write_species_file(path, 3, special=True)
        out = self.path("species.nc")
        r = run("--scenario", scenario, path, out)
        self.assertEqual(r.returncode, 0, r.stderr)
        with netCDF4.Dataset(out) as ds:
            ds.set_auto_maskandscale(False)
            self.assertEqual(list(ds.variables), ["time", "y", "x", *sf.SPECIES_FIELDS])
            for species in ("nox", "so2"):
                q, dqdt = ds["q_" + species], ds["dqdt_" + species]
                self.assertEqual(q.long_name, "pollutant concentration of species " + species)
                self.assertEqual(dqdt.long_name, "tendency of pollutant concentration of species " + species)
                self.assertEqual((q.units, dqdt.units), ("1", "s-1"))
                self.assertIn("model's own concentration units", q.comment)
                self.assertIn("per second", dqdt.comment)
            self.assertEqual(ds["h"].long_name, "layer height")
            for name in sf.SPECIES_FIELDS:
                for k in range(3):
                    np.testing.assert_array_equal(bits(ds[name][k]), bits(written[k][name]), err_msg=f"{name}[{k}]")
            self.assertIn('[[species]]\nname = "nox"\nfirst_s = 600\nevery_s = 600.0\n', ds.scenario_toml)
            self.assertIn('[[species]]\nname = "so2"\nfirst_s = 600\nevery_s = 900.0\n', ds.scenario_toml)


if __name__ == "__main__":
    NCDUMP = sys.argv.pop(2)
    SNAP2NC = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
