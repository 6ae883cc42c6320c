"""The tools on the NetCDF series of a real run of examples/small.toml (one
file per snapshot, as the run writes with --output RUN.nc; where the program
writes none, cut from snap2nc's file of the run's snapshot file): snapinfo prints the same table as
for the snapshot file, reading the layout from the files, and refuses files
that do not form one series; plot_snapshots.py draws the series without
--scenario.

usage: test_series.py PLUME SCENARIO SNAPINFO SNAP2NC plot_snapshots.py
"""
import glob
import os
import shutil
import sys
import tempfile
import unittest

import netCDF4
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ncseries  # noqa: E402
import snapfiles as sf  # noqa: E402

PLUME = SCENARIO = SNAPINFO = SNAP2NC = SCRIPT = None
SNAPSHOTS = 13

run = sf.run


def table(stdout):
    """The header and the rows of snapinfo's table, and its notes."""
    lines = stdout.splitlines()
    start = next(n for n, line in enumerate(lines) if line.startswith("snap "))
    return [line for line in lines[start:] if line.startswith(("snap ", "note:")) or line[:4].strip().isdigit()]


class SeriesTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        cls.file = sf.plume_output(PLUME, SCENARIO, cls.dir, "small.dat")
        nc = os.path.join(cls.dir, "small.nc")
        r = run(SNAP2NC, "--scenario", SCENARIO, cls.file, nc)
        assert r.returncode == 0, r.stderr
        # The series the run itself writes, where it writes one for an
        # --output ending in .nc; else the series cut from snap2nc's file.
        os.makedirs(os.path.join(cls.dir, "written"))
        r = run(PLUME, "--scenario", SCENARIO, "--output", os.path.join(cls.dir, "written", "run.nc"))
        assert r.returncode == 0, r.stderr
        written = sorted(glob.glob(os.path.join(cls.dir, "written", "run_*.nc")))
        # The faults are made in files cut from snap2nc's, which the NetCDF
        # library opens for writing.
        cls.cut = ncseries.split(nc, os.path.join(cls.dir, "run"))
        if written:
            cls.series = written
            print(f"the series written by {PLUME}", file=sys.stderr)
        else:
            cls.series = cls.cut
            print("the series cut from snap2nc's file (the run writes no NetCDF series)", file=sys.stderr)
        cls.binary_table = run(SNAPINFO, "--scenario", SCENARIO, cls.file)
        assert cls.binary_table.returncode == 0, cls.binary_table.stderr
        cls.nc = nc

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def copy(self, name, paths=None):
        """Copies of the series' files (or of paths) in a new directory."""
        d = os.path.join(self.dir, name)
        os.makedirs(d)
        return [shutil.copyfile(p, os.path.join(d, os.path.basename(p))) for p in (paths or self.series)]

    def test_snapinfo_prints_the_table_of_the_snapshot_file(self):
        # Given in any order, as a shell's glob or a user lists them.
        r = run(SNAPINFO, *reversed(self.series))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        self.assertEqual(table(r.stdout), table(self.binary_table.stdout))
        self.assertEqual(len(table(r.stdout)), 1 + SNAPSHOTS)
        self.assertIn("files: %s .. %s (13 files)\n" % (self.series[0], self.series[-1]), r.stdout)
        self.assertIn("layout: 61 x 41 cells of 1000 m, 13 snapshots at t = 0 .. 7200 s, 3 sources "
                      "(the scenario the files hold)\n", r.stdout)
        self.assertTrue(r.stdout.endswith("13 snapshots (0 .. 12) in 13 files: none missing\n"), r.stdout)

        # A part of the series: its rows; scenario_toml as a NetCDF string.
        part = ncseries.split(self.nc, os.path.join(self.dir, "strings"), string_attributes=True)[4:6]
        r = run(SNAPINFO, *part)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(table(r.stdout), table(self.binary_table.stdout)[:1] + table(self.binary_table.stdout)[5:7])
        self.assertIn("2 snapshots (4 .. 5) in 2 files: none missing (a complete 2 h run has 13 snapshots)\n",
                      r.stdout)

    def test_snapinfo_reads_the_species_of_a_series(self):
        scenario = os.path.join(self.dir, "species.toml")
        with open(scenario, "w") as f:
            f.write(sf.SMALL_SPECIES_SCENARIO)
        path = os.path.join(self.dir, "species.dat")
        sf.write_species_file(path, 3, special=True)
        nc = os.path.join(self.dir, "species.nc")
        r = run(SNAP2NC, "--scenario", scenario, path, nc)
        self.assertEqual(r.returncode, 0, r.stderr)
        series = ncseries.split(nc, os.path.join(self.dir, "species"), count=4, digits=5)
        from_series, from_file = run(SNAPINFO, *series), run(SNAPINFO, "--scenario", scenario, path)
        self.assertEqual((from_series.returncode, from_file.returncode), (0, 0), from_series.stderr + from_file.stderr)
        self.assertEqual(table(from_series.stdout), table(from_file.stdout))
        self.assertIn("q_so2_total", table(from_series.stdout)[0])
        self.assertIn("note: snapshot 2: 1 NaN value in dqdt_nox (its min and max leave NaN out)",
                      table(from_series.stdout))
        self.assertIn("3 sources, 2 species (nox, so2) (the scenario the files hold)", from_series.stdout)

    def test_snapinfo_refuses_what_is_not_one_series(self):
        s = self.cut
        wrong_time = self.copy("time", s[2:3])[0]
        with netCDF4.Dataset(wrong_time, "a") as ds:
            ds["time"][0] = 1201.0
        no_number = self.copy("number", s[1:2])[0]
        ncseries.delete_attribute(no_number, "snapshot_number")
        other_run = self.copy("other", s[1:2])[0]
        with open(SCENARIO) as f:
            ncseries.set_attribute(other_run, "scenario_toml", f.read())  # another text of the same case
        bad_count = self.copy("count", s[0:1])[0]
        ncseries.set_attribute(bad_count, "snapshot_count", np.int32(12))
        out_of_range = self.copy("range", s[0:1])[0]
        ncseries.set_attribute(out_of_range, "snapshot_number", np.int32(13))
        bad_toml = self.copy("toml", s[0:1])[0]
        ncseries.set_attribute(bad_toml, "scenario_toml", "[grid]\nnx = 3\n")
        no_q = self.copy("var", s[0:1])[0]
        with netCDF4.Dataset(no_q, "a") as ds:
            ds.renameVariable("q", "q_so2")
        not_netcdf = os.path.join(self.dir, "text.nc")
        with open(not_netcdf, "w") as f:
            f.write("not a NetCDF file\n")
        cases = [
            # what, files, exit status, message on stderr
            ("a gap", [s[0], s[1], s[4]], 1, f"snapinfo: {s[0]} .. {s[4]}: the series lacks the files of snapshots 2, 3"),
            ("the same snapshot twice", [s[0], self.copy("twice", s[0:1])[0]], 1, "both hold snapshot 0"),
            ("another time", [wrong_time], 1,
             f"snapinfo: '{wrong_time}': its time is 1201 s, but snapshot 2 of its scenario is at 1200 s"),
            ("no snapshot_number", [s[0], no_number], 1,
             f"snapinfo: '{no_number}': not a file of a plume run's NetCDF series: it has no global attribute "
             "snapshot_number"),
            ("another run", [s[0], other_run], 1,
             f"snapinfo: '{other_run}': it belongs to another run than '{s[0]}': their scenario_toml differ"),
            ("a count its scenario does not write", [bad_count], 1,
             f"snapinfo: '{bad_count}': its snapshot_count is 12, but its scenario writes 13 snapshots"),
            ("a number past the count", [out_of_range], 1,
             f"snapinfo: '{out_of_range}': its snapshot_number 13 is not one of the run's snapshots 0 .. 12"),
            ("a scenario the program refuses", [bad_toml], 1,
             f"snapinfo: {bad_toml} (scenario_toml):2:6: grid.nx = 3 is too small"),
            ("a field missing", [no_q], 1, f"snapinfo: '{no_q}': it has no variable q\n"),
            ("not NetCDF", [not_netcdf], 1, f"snapinfo: cannot open '{not_netcdf}': NetCDF: Unknown file format"),
            ("missing", [os.path.join(self.dir, "none_0000.nc")], 1, "snapinfo: cannot open"),
            ("the snap2nc file of the whole run", [self.nc], 1, "it has no global attribute snapshot_number"),
            ("with --scenario", ["--scenario", SCENARIO, s[0]], 2,
             "snapinfo: the .nc files of a series hold their scenario: give them without --scenario\nusage:"),
            ("with a snapshot file", [self.file, s[0]], 2,
             "snapinfo: expected one snapshot file, or the .nc files of one series\nusage:"),
        ]
        for what, files, status, message in cases:
            with self.subTest(what):
                r = run(SNAPINFO, *files)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(message, r.stderr)
                self.assertEqual(r.stderr.count("snapinfo:"), 1, r.stderr)
                if status == 2 or what != "a gap":
                    self.assertNotIn("snap ", r.stdout)
                if status == 1:  # plot_snapshots.py reads the series alike
                    p = run(sys.executable, SCRIPT, *files, "-o", os.path.join(self.dir, "never.png"))
                    self.assertEqual(p.returncode, 1, p.stderr)
                    self.assertEqual(p.stderr.removeprefix("plot_snapshots.py: "),
                                     r.stderr.removeprefix("snapinfo: "))
                    self.assertFalse(os.path.exists(os.path.join(self.dir, "never.png")))

    def test_plot_snapshots_draws_the_series(self):
        script = (sys.executable, SCRIPT)
        r = run(*script, os.path.join(os.path.dirname(self.series[0]), "run_*.nc"), "--time", "1h", "-o", "series.png", "--animate", "series.gif", "--region",
                "auto", cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "plot_snapshots.py: t = 3600 s (1 h) drawn to series.png\n"
                                   "plot_snapshots.py: 13 snapshots animated in series.gif\n")
        r = run(*script, self.file, "--scenario", SCENARIO, "--time", "1h", "-o", "binary.png", "--region", "auto",
                cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        # The maps draw the same values: the series' fields are the snapshot
        # file's, bit for bit.
        sys.path.insert(0, os.path.dirname(SCRIPT))
        import plot_snapshots
        from_series = plot_snapshots.open_series(list(reversed(self.series)))
        layout = plot_snapshots.layout_of(SCENARIO)
        from_file = plot_snapshots.open_snapshots(self.file, layout)
        self.assertEqual((from_series.numbers, from_series.times), (from_file.numbers, from_file.times))
        self.assertEqual(from_series.layout.fields, layout.fields)
        self.assertEqual(from_series.layout.sources, layout.sources)
        self.assertEqual(from_series.source, "run_0000.nc .. run_0012.nc")
        for i in range(SNAPSHOTS):
            for name in layout.fields:
                np.testing.assert_array_equal(from_series.field(i, name).view("<u4"),
                                              from_file.field(i, name).view("<u4"), err_msg=f"{name} {i}")

        # Part of the series: snapshots are picked by their number.
        r = run(*script, *self.series[3:6], "--snapshot", "4", "-o", "part.png", cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("t = 2400 s (0.666667 h) drawn to part.png", r.stdout)

        s = self.series
        cases = [
            # what, arguments, exit status, message on stderr
            ("a snapshot the files lack", [*s[3:6], "--snapshot", "2"], 2,
             "no snapshot 2: the files have snapshots 3 .. 5, t = 1800 .. 3000 s"),
            ("with --scenario", [s[0], "--scenario", SCENARIO], 2,
             "the .nc files of a series hold their scenario: give them without --scenario"),
            ("with a snapshot file", [self.file, s[0]], 2, "give one snapshot file, or the .nc files of one series"),
            ("--species of a run without", [s[0], "--species", "so2"], 2,
             "--species so2: the run declares no species; its one pollutant is q"),
            ("a gap", [s[0], s[2]], 1, f"plot_snapshots.py: {s[0]} .. {s[2]}: the series lacks the file of snapshot 1"),
            ("a glob that matches nothing", ["none_*.nc"], 1, "plot_snapshots.py: no file matches 'none_*.nc'"),
            ("the snap2nc file of the whole run", [self.nc], 1, "it has no global attribute snapshot_number"),
        ]
        for what, args, status, message in cases:
            with self.subTest(what):
                r = run(*script, *args, "-o", "never.png", cwd=self.dir)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(message, r.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.dir, "never.png")))


if __name__ == "__main__":
    PLUME, SCENARIO, SNAPINFO, SNAP2NC, SCRIPT = (os.path.abspath(a) for a in sys.argv[1:6])
    del sys.argv[1:]
    unittest.main(verbosity=2)
