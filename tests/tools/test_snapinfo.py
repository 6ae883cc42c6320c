"""snapinfo on synthetic files: the table's figures, every kind of damage
with its byte offset, and the usage errors.

usage: test_snapinfo.py PATH_TO_SNAPINFO
"""
import os
import subprocess
import sys
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import snapfiles as sf  # noqa: E402

SNAPINFO = None


def run(*args, stdout=subprocess.PIPE):
    return subprocess.run([SNAPINFO, *args], stdout=stdout, stderr=subprocess.PIPE, text=True, timeout=60)


def table_rows(stdout):
    """The table's data rows, split into words."""
    return [line.split() for line in stdout.splitlines() if line[:4].strip().isdigit()]


class SnapinfoTest(sf.SnapshotFileTest):

    def test_table_of_a_complete_file(self):
        r = run(self.file)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        self.assertIn("3 snapshots, 21 records, 13507452 bytes: framing intact (a complete 16 h run has 33 snapshots)\n",
                      r.stdout)
        self.assertIn("layout: 401 x 401 cells of 1000 m, 33 snapshots at t = 0 .. 57600 s, 2 sources "
                      "(the reference case)\n", r.stdout)
        header = next(line.split() for line in r.stdout.splitlines() if line.startswith("snap"))
        rows = table_rows(r.stdout)
        self.assertEqual(len(rows), 3)
        self.assertEqual(len(header), 21)
        for k, row in enumerate(rows):
            cols = dict(zip(header, row))
            self.assertEqual(int(cols["snap"]), k)
            self.assertEqual(int(cols["time_s"]), 1800 * k)
            self.assertEqual(float(cols["hours"]), 0.5 * k)
            fields = sf.synthetic_fields(k)
            for name in sf.FIELDS:
                self.assertEqual(cols[name + "_min"], "%.4e" % fields[name].min(), name)
                self.assertEqual(cols[name + "_max"], "%.4e" % fields[name].max(), name)
            q = fields["q"].astype(np.float64)
            self.assertEqual(int(cols["q_cells"]), np.count_nonzero(q))
            self.assertAlmostEqual(float(cols["q_total"]), q.sum(), delta=1e-6 * max(q.sum(), 1))
            if k == 0:
                self.assertEqual((cols["q_cx"], cols["q_cy"]), ("-", "-"))
            else:
                # The puff is symmetric about its centre (100 + 40 k, 200) km.
                self.assertAlmostEqual(float(cols["q_cx"]), 100.0 + 40.0 * k, places=3)
                self.assertAlmostEqual(float(cols["q_cy"]), 200.0, places=3)

    def test_each_damage_names_its_offset(self):
        b, S, F, R = self.bytes, sf.SNAPSHOT_BYTES, sf.FRAME_BYTES, sf.RECORD_BYTES
        mismatch = bytearray(b[:2 * S])
        mismatch[S + 2 * F + 4 + R] ^= 0x01
        wrong = bytearray(b[:2 * S])
        wrong[S + F:S + F + 4] = np.int32(643200).astype("<i4").tobytes()
        cases = [
            # name, bytes, damage, offset, complete snapshots listed, what belongs there
            ("empty", b"", "empty", 0, 0, "expected the leading marker 643204 of record q of snapshot 0"),
            ("truncated", b[:S + 1000], "truncated", S + 1000, 1,
             "inside the data of record q of snapshot 1 (record starts at byte 4502484) after 996 of its 643204 bytes"),
            ("mismatch", bytes(mismatch), "marker_mismatch", S + 2 * F + 4 + R, 1,
             "trailing marker of record h of snapshot 1 is 643205; expected 643204"),
            ("wrong_size", bytes(wrong), "wrong_size", S + F, 1,
             "leading marker of record dqdt of snapshot 1 is 643200; expected 643204"),
            ("trailing", b[:2 * S] + b"\0\0\0\0\0", "trailing_bytes", 2 * S, 2,
             "5 bytes follow the last complete snapshot (snapshot 1)"),
            ("partial", b[:2 * S + 6 * F], "partial_snapshot", 2 * S + 6 * F, 2,
             "expected the leading marker 643204 of record vort of snapshot 2"),
        ]
        for name, data, damage, offset, listed, expected in cases:
            with self.subTest(name):
                path = self.write(name + ".dat", data)
                r = run(path)
                self.assertEqual(r.returncode, 1)
                self.assertIn("snapinfo: %s: damaged file (%s) at byte %d: " % (path, damage, offset), r.stderr)
                self.assertIn(expected, r.stderr)
                self.assertEqual(len(table_rows(r.stdout)), listed)
                self.assertIn("complete snapshots before the damage: %d\n" % listed, r.stdout)

    def test_unreadable_inputs(self):
        r = run(os.path.join(self.dir, "nowhere.dat"))
        self.assertEqual(r.returncode, 1)
        self.assertRegex(r.stderr, r"^snapinfo: cannot open '.*nowhere\.dat': No such file or directory\n$")
        r = run(self.dir)
        self.assertEqual(r.returncode, 1)
        self.assertIn("it is a directory", r.stderr)

    def test_usage(self):
        for args, message in [((), "no file given"), (("a", "b"), "expected exactly one file"),
                              (("--bogus",), "unknown option '--bogus'"), (("",), "the file name is empty")]:
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, 2)
                self.assertIn(message, r.stderr)
                self.assertIn("usage: snapinfo [--help] [--scenario SCENARIO] FILE", r.stderr)
                self.assertEqual(r.stdout, "")
        r = run("--help")
        self.assertEqual(r.returncode, 0)
        self.assertIn("usage: snapinfo [--help] [--scenario SCENARIO] FILE", r.stdout)

    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_unwritable_standard_output(self):
        with open("/dev/full", "w") as full:
            r = run(self.file, stdout=full)
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot write the table to standard output", r.stderr)


class SnapinfoScenarioTest(sf.SnapshotFileTest):
    """A file of the 61 x 41 grid of sf.SMALL_SCENARIO, read with and without
    the scenario."""

    def test_table_of_a_small_run(self):
        for option in (["--scenario", self.small_scenario], ["--scenario=" + self.small_scenario]):
            with self.subTest(option=option):
                r = run(*option, self.small_file)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stderr, "")
                self.assertIn(f"layout: 61 x 41 cells of 2000 m, 4 snapshots at t = 0 .. 6075 s, 3 sources "
                              f"(the scenario {self.small_scenario})\n", r.stdout)
                self.assertIn("cell area 4 km²", r.stdout)
                self.assertIn("cell centres at x = 1 .. 121, y = 1 .. 81 km", r.stdout)
                self.assertIn("3 snapshots, 21 records, 210252 bytes: framing intact "
                              "(a complete 2 h run has 4 snapshots)\n", r.stdout)
                header = next(line.split() for line in r.stdout.splitlines() if line.startswith("snap"))
                rows = [dict(zip(header, row)) for row in table_rows(r.stdout)]
                self.assertEqual([int(c["time_s"]) for c in rows], sf.SMALL_TIMES[:3])
                self.assertEqual([c["hours"] for c in rows], ["0.0", "0.6", "1.1"])
                for k, cols in enumerate(rows):
                    fields = sf.synthetic_fields(k, grid=sf.SMALL)
                    self.assertEqual(cols["h_max"], "%.4e" % fields["h"].max())
                    q = fields["q"].astype(np.float64)
                    self.assertEqual(int(cols["q_cells"]), np.count_nonzero(q))
                    self.assertAlmostEqual(float(cols["q_total"]), 4.0 * q.sum(), delta=1e-6 * max(q.sum(), 1))
                    if k > 0:  # the puff is symmetric about (40 + 20 k, 41) km
                        self.assertAlmostEqual(float(cols["q_cx"]), 40.0 + 20.0 * k, places=3)
                        self.assertAlmostEqual(float(cols["q_cy"]), 41.0, places=3)

    def test_a_file_of_another_grid_names_its_record_size(self):
        cases = [
            ((self.small_file,), self.small_file,
             "its records hold 10004 bytes (a field of 2501 float32 values), not the 643204 bytes of a field of "
             "401 x 401 cells of the reference case; if it comes from a run of another scenario, give that "
             "scenario with --scenario FILE"),
            (("--scenario", self.small_scenario, self.file), self.file,
             "its records hold 643204 bytes (a field of 160801 float32 values), not the 10004 bytes of a field of "
             f"61 x 41 cells of the scenario {self.small_scenario}; give the scenario of the run that wrote it "
             "with --scenario FILE"),
        ]
        for args, path, message in cases:
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stderr, f"snapinfo: {path}: {message}\n")
                self.assertEqual(r.stdout, "")

    def test_more_snapshots_than_the_scenario_has(self):
        path = self.write("five.dat", b"".join(sf.snapshot_bytes(k, grid=sf.SMALL) for k in range(5)))
        r = run("--scenario", self.small_scenario, path)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, f"snapinfo: {path}: it holds more snapshots than the 4 of the scenario "
                                   f"{self.small_scenario} (t = 0 .. 6075 s); give the scenario of the run that "
                                   "wrote it with --scenario FILE\n")
        self.assertEqual([int(row[1]) for row in table_rows(r.stdout)], sf.SMALL_TIMES)

    def test_bad_scenario_options(self):
        typo = self.write("typo.toml", "[grid]\nnx = 61\nspacing = 2000.0\n")
        missing = self.path("missing.toml")
        for args, message in [
                (("--scenario", missing, self.small_file),
                 f"snapinfo: {missing}: cannot read the scenario: No such file or directory\n"),
                (("--scenario", typo, self.small_file),
                 f"snapinfo: {typo}:3:1: unknown key 'spacing' in [grid]; its keys are nx, ny, spacing_m\n"),
                (("--scenario",), "snapinfo: --scenario needs a scenario file\n"),
                (("--scenario", "", self.small_file), "snapinfo: the scenario file name is empty\n"),
                (("--scenario", typo, "--scenario", typo, self.small_file), "snapinfo: --scenario given twice\n")]:
            with self.subTest(args=args):
                r = run(*args)
                self.assertEqual(r.returncode, 2)
                self.assertTrue(r.stderr.startswith(message), r.stderr)
                self.assertEqual(r.stdout, "")


class SnapinfoSpeciesTest(sf.SnapshotFileTest):
    """A run of sf.SMALL_SPECIES_SCENARIO: each species' columns and figures."""

    def test_each_species_has_its_columns_and_figures(self):
        scenario = self.write("species.toml", sf.SMALL_SPECIES_SCENARIO)
        path = self.path("species.dat")
        written = sf.write_species_file(path, 3, special=True)
        r = run("--scenario", scenario, path)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(f"layout: 61 x 41 cells of 2000 m, 4 snapshots at t = 0 .. 6075 s, 3 sources, 2 species "
                      f"(nox, so2) (the scenario {scenario})\n", r.stdout)
        self.assertIn("3 snapshots, 27 records, 270324 bytes: framing intact (a complete 2 h run has 4 snapshots)\n",
                      r.stdout)
        header = next(line.split() for line in r.stdout.splitlines() if line.startswith("snap"))
        figures = ["total", "cells", "cx", "cy"]
        self.assertEqual(header, ["snap", "time_s", "hours"] +
                         [f"{name}_{end}" for name in sf.SPECIES_FIELDS for end in ("min", "max")] +
                         [f"q_nox_{f}" for f in figures] + [f"q_so2_{f}" for f in figures])
        for k, row in enumerate(table_rows(r.stdout)):
            cols = dict(zip(header, row))
            self.assertEqual(len(row), len(header))
            for name in sf.SPECIES_FIELDS:
                finite = written[k][name][~np.isnan(written[k][name])]
                self.assertEqual(cols[name + "_min"], "%.4e" % finite.min(), name)
                self.assertEqual(cols[name + "_max"], "%.4e" % finite.max(), name)
            for species in ("nox", "so2"):
                q = written[k]["q_" + species].astype(np.float64)
                self.assertEqual(int(cols[f"q_{species}_cells"]), np.count_nonzero(q))
                self.assertAlmostEqual(float(cols[f"q_{species}_total"]), 4.0 * q.sum(), delta=1e-6 * max(q.sum(), 1))
            if k == 0:
                self.assertEqual([cols[f"q_{s}_{c}"] for s in ("nox", "so2") for c in ("cx", "cy")], ["-"] * 4)
            else:  # so2's puff is centred at (40 + 20 k, 41) km, nox's mirror image at (122 - 40 - 20 k, 41) km
                self.assertAlmostEqual(float(cols["q_so2_cx"]), 40.0 + 20.0 * k, places=3)
                self.assertAlmostEqual(float(cols["q_nox_cx"]), 82.0 - 20.0 * k, places=3)
                self.assertAlmostEqual(float(cols["q_nox_cy"]), 41.0, places=3)
        # The payload NaN of dqdt is in both species' tendencies.
        for k in range(3):
            for name in ("dqdt_nox", "dqdt_so2"):
                self.assertIn(f"note: snapshot {k}: 1 NaN value in {name} (its min and max leave NaN out)\n",
                              r.stdout)

        # Damage is placed among the nine records of a snapshot.
        with open(path, "rb") as f:
            cut = self.write("cut.dat", f.read()[:11 * sf.SMALL.frame_bytes])
        r = run("--scenario", scenario, cut)
        self.assertEqual(r.returncode, 1)
        self.assertIn(f"damaged file (partial_snapshot) at byte {11 * sf.SMALL.frame_bytes}: the file ends after "
                      "record dqdt_nox of snapshot 1, which has only 2 of its 9 records; expected the leading marker "
                      "10004 of record q_so2 of snapshot 1", r.stderr)


if __name__ == "__main__":
    SNAPINFO = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
