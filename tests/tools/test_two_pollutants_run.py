"""The tools on the file of a real run of examples/two_pollutants.toml (121 x 81
points, a snapshot every 600 s for 3 h; so2 emitted from t = 0 every 1800 s,
nox from t = 1200 s every 1200 s): nine records a snapshot, each species'
figures from its own records, its own variables, its own maps.

usage: test_two_pollutants_run.py PLUME SCENARIO SNAPINFO plot_snapshots.py [SNAP2NC]
"""
import os
import sys
import tempfile
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import snapfiles as sf  # noqa: E402

PLUME = SCENARIO = SNAPINFO = SCRIPT = SNAP2NC = None
NX, NY, SNAPSHOTS = 121, 81, 19
RECORDS = ("q_so2", "dqdt_so2", "q_nox", "dqdt_nox", "h", "us", "vs", "div", "vort")
TIMES = list(range(0, 10801, 600))

run = sf.run


class TwoSpeciesRunTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        cls.file = sf.plume_output(PLUME, SCENARIO, cls.dir, "two.dat")
        frame = NX * NY * 4 + 8
        size = os.path.getsize(cls.file)
        cls.carries_species = size == SNAPSHOTS * len(RECORDS) * frame
        if cls.carries_species:
            raw = np.fromfile(cls.file, "<i4").reshape(SNAPSHOTS, len(RECORDS), NX * NY + 2)
            cls.fields = {name: raw[:, f, 1:-1].view("<f4").reshape(SNAPSHOTS, NY, NX)
                          for f, name in enumerate(RECORDS)}

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def setUp(self):
        if not self.carries_species:
            self.skipTest(f"{PLUME} writes {os.path.getsize(self.file)} bytes, not nine records a snapshot: "
                          "this build does not carry species")

    def test_snapinfo_figures_of_each_species(self):
        r = run(SNAPINFO, "--scenario", SCENARIO, self.file)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("3 sources, 2 species (so2, nox)", r.stdout)
        self.assertIn(f"19 snapshots, 171 records, {os.path.getsize(self.file)} bytes: framing intact\n", r.stdout)
        header = next(line.split() for line in r.stdout.splitlines() if line.startswith("snap"))
        rows = [dict(zip(header, line.split())) for line in r.stdout.splitlines() if line[:4].strip().isdigit()]
        self.assertEqual([int(row["time_s"]) for row in rows], TIMES)
        for k, row in enumerate(rows):
            for name in RECORDS:
                self.assertEqual(row[name + "_max"], "%.4e" % self.fields[name][k].max(), f"{name} {k}")
            for species in ("so2", "nox"):
                q = self.fields["q_" + species][k].astype(np.float64)
                self.assertEqual(int(row[f"q_{species}_cells"]), np.count_nonzero(q))
                self.assertAlmostEqual(float(row[f"q_{species}_total"]), q.sum(), delta=1e-6 * max(q.sum(), 1))
            # so2 is emitted from the first pass, nox from t = 1200 s
            # (snapshot 2): until then it is nowhere.
            self.assertGreater(int(row["q_so2_cells"]), 0)
            self.assertEqual(int(row["q_nox_cells"]) > 0, k >= 2, k)

    def test_snap2nc_variables_of_each_species(self):
        if SNAP2NC is None:
            self.skipTest("snap2nc is not built")
        import netCDF4
        out = os.path.join(self.dir, "two.nc")
        r = run(SNAP2NC, "--scenario", SCENARIO, self.file, out)
        self.assertEqual(r.returncode, 0, r.stderr)
        with netCDF4.Dataset(out) as ds:
            ds.set_auto_maskandscale(False)
            for name in RECORDS:
                np.testing.assert_array_equal(ds[name][:].view("<u4"), self.fields[name].view("<u4"), err_msg=name)
            self.assertEqual(ds["q_nox"].long_name, "pollutant concentration of species nox")
            self.assertNotIn("q", ds.variables)

    def test_plot_snapshots_of_each_species(self):
        for species in ("so2", "nox"):
            with self.subTest(species):
                r = run(sys.executable, SCRIPT, self.file, "--scenario", SCENARIO, "--species", species,
                        "--animate", f"{species}.gif", "--time", "3h", cwd=self.dir)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn(f"t = 10800 s (3 h) drawn to plume_{species}_3h.png", r.stdout)
                self.assertIn(f"19 snapshots animated in {species}.gif", r.stdout)
        r = run(sys.executable, SCRIPT, self.file, "--scenario", SCENARIO, "--all-species", "--time", "3h",
                cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("t = 10800 s (3 h) drawn to plume_species_3h.png", r.stdout)


if __name__ == "__main__":
    PLUME, SCENARIO, SNAPINFO, SCRIPT = (os.path.abspath(a) for a in sys.argv[1:5])
    SNAP2NC = os.path.abspath(sys.argv[5]) if len(sys.argv) > 5 else None
    del sys.argv[1:]
    unittest.main(verbosity=2)
