"""The tools on the file of a real run of examples/small.toml (61 x 41 points,
a snapshot every 600 s for 2 h, three sources): each reads it with the
scenario, agrees with the file's own bytes, and refuses it without.

usage: test_small_run.py PLUME SCENARIO SNAPINFO plot_snapshots.py [SNAP2NC]
"""
import os
import sys
import tempfile
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import snapfiles as sf  # noqa: E402

PLUME = SCENARIO = SNAPINFO = SCRIPT = SNAP2NC = None
NX, NY, SNAPSHOTS = 61, 41, 13
TIMES = list(range(0, 7201, 600))

run = sf.run


class SmallRunTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        cls.file = sf.plume_output(PLUME, SCENARIO, cls.dir, "small.dat")
        raw = np.fromfile(cls.file, "<i4")
        cls.frames = raw.reshape(SNAPSHOTS, 7, NX * NY + 2)
        cls.fields = cls.frames[:, :, 1:-1].view("<f4").reshape(SNAPSHOTS, 7, NY, NX)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_the_file_is_framed_for_the_scenario(self):
        self.assertEqual(os.path.getsize(self.file), SNAPSHOTS * 7 * (NX * NY * 4 + 8))
        self.assertTrue((self.frames[:, :, 0] == NX * NY * 4).all())
        self.assertTrue((self.frames[:, :, -1] == NX * NY * 4).all())

    def test_snapinfo(self):
        r = run(SNAPINFO, "--scenario", SCENARIO, self.file)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("layout: 61 x 41 cells of 1000 m, 13 snapshots at t = 0 .. 7200 s, 3 sources", r.stdout)
        self.assertIn("13 snapshots, 91 records, 911092 bytes: framing intact\n", r.stdout)
        self.assertNotIn("note:", r.stdout)  # no NaN anywhere
        header = next(line.split() for line in r.stdout.splitlines() if line.startswith("snap"))
        rows = [dict(zip(header, line.split())) for line in r.stdout.splitlines() if line[:4].strip().isdigit()]
        self.assertEqual([int(row["time_s"]) for row in rows], TIMES)
        for k, row in enumerate(rows):
            q = self.fields[k, 0].astype(np.float64)
            self.assertEqual(row["q_max"], "%.4e" % q.max())
            self.assertAlmostEqual(float(row["q_total"]), q.sum(), delta=1e-6 * q.sum())
            centre = np.arange(NX) + 0.5
            self.assertAlmostEqual(float(row["q_cx"]), (q.sum(axis=0) * centre).sum() / q.sum(), places=3)

        r = run(SNAPINFO, self.file)
        self.assertEqual(r.returncode, 1)
        self.assertIn("its records hold 10004 bytes (a field of 2501 float32 values), not the 643204 bytes of a "
                      "field of 401 x 401 cells of the reference case; if it comes from a run of another scenario, "
                      "give that scenario with --scenario FILE", r.stderr)

    def test_snap2nc(self):
        if SNAP2NC is None:
            self.skipTest("snap2nc is not built")
        import netCDF4
        out = os.path.join(self.dir, "small.nc")
        r = run(SNAP2NC, "--scenario", SCENARIO, self.file, out)
        self.assertEqual(r.returncode, 0, r.stderr)
        with netCDF4.Dataset(out) as ds:
            ds.set_auto_maskandscale(False)
            np.testing.assert_array_equal(ds["time"][:], TIMES)
            np.testing.assert_array_equal(ds["x"][:], 1000.0 * np.arange(NX) + 500.0)
            for f, name in enumerate(("q", "dqdt", "h", "us", "vs", "div", "vort")):
                np.testing.assert_array_equal(ds[name][:].view("<u4"), self.fields[:, f].view("<u4"), err_msg=name)
            self.assertEqual((ds.grid_nx, ds.grid_ny, ds.source_count, ds.emission_first_s), (61, 41, 3, 0))
            np.testing.assert_array_equal(ds.source_peak, [1.0, 2.0, 0.5])
            self.assertEqual(ds.wind_towards_deg, 195.0)

    def test_plot_snapshots(self):
        r = run(sys.executable, SCRIPT, self.file, "--scenario", SCENARIO, "--time", "1h", "-o", "small.png",
                "--animate", "small.gif", cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("t = 3600 s (1 h) drawn to small.png", r.stdout)
        self.assertIn("13 snapshots animated in small.gif", r.stdout)
        r = run(sys.executable, SCRIPT, self.file, "-o", "never.png", cwd=self.dir)
        self.assertEqual(r.returncode, 1)
        self.assertIn("its records hold 10004 bytes", r.stderr)


if __name__ == "__main__":
    PLUME, SCENARIO, SNAPINFO, SCRIPT = (os.path.abspath(a) for a in sys.argv[1:5])
    SNAP2NC = os.path.abspath(sys.argv[5]) if len(sys.argv) > 5 else None
    del sys.argv[1:]
    unittest.main(verbosity=2)
