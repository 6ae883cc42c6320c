"""plot_snapshots.py on a small synthetic run: the PNG and the GIF are valid
images of the expected size, and bad input fails with a clear message. Its
scenario reader refuses what the program refuses, with the same message as
snapinfo (which reads scenarios with the program's reader).

usage: test_plot_snapshots.py PATH_TO_plot_snapshots.py PATH_TO_snapinfo
"""
import glob
import os
import struct
import subprocess
import sys
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import snapfiles as sf  # noqa: E402

SCRIPT = SNAPINFO = None


def SPECIES(name):
    return f"[[species]]\nname = \"{name}\"\n"


def SOURCE_OF(species):
    return f"[[source]]\nx_m = 1.0\ny_m = 1.0\nspecies = \"{species}\"\n"


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG signature"
    assert head[12:16] == b"IHDR", "first chunk is not IHDR"
    return struct.unpack(">II", head[16:24])


def gif_size(path):
    with open(path, "rb") as f:
        head = f.read(10)
    assert head[:6] in (b"GIF87a", b"GIF89a"), "not a GIF header"
    return struct.unpack("<HH", head[6:10])  # logical screen width, height


class PlotSnapshotsTest(sf.SnapshotFileTest):
    special = True  # the maps must cope with NaN, infinities and -0.0

    def run_script(self, *args):
        return subprocess.run([sys.executable, SCRIPT, *args], cwd=self.dir, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=300)

    def test_panels_and_animation(self):
        r = self.run_script(self.file, "--time", "1h", "-o", "maps.png", "--animate", "q.gif", "--region", "auto")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("t = 3600 s (1 h) drawn to maps.png", r.stdout)
        self.assertEqual(png_size(self.path("maps.png")), (1200, 1000))
        self.assertEqual(gif_size(self.path("q.gif")), (700, 600))

        from PIL import Image
        with Image.open(self.path("maps.png")) as im:
            self.assertEqual(im.size, (1200, 1000))
            self.assertGreater(len(im.convert("RGB").getcolors(1 << 20)), 200)  # drawn, not blank
        with Image.open(self.path("q.gif")) as im:
            self.assertEqual(im.n_frames, 3)
            self.assertTrue(im.is_animated)
        self.assertEqual(glob.glob(self.path(".*partial*")), [])

    def test_default_output_is_the_last_snapshot(self):
        r = self.run_script(self.file)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("t = 3600 s (1 h) drawn to plume_1h.png", r.stdout)
        self.assertEqual(png_size(self.path("plume_1h.png")), (1200, 1000))
        r = self.run_script(self.file, "--snapshot", "-3", "--region", "50:150,150:250.5")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(png_size(self.path("plume_0h.png")), (1200, 1000))

    def test_damaged_and_missing_files(self):
        S, F = sf.SNAPSHOT_BYTES, sf.FRAME_BYTES
        mismatch = bytearray(self.bytes[:S])
        mismatch[3 * F - 1] = 0x7F
        cases = [("empty", b"", "at byte 0: the file is empty"),
                 ("cut", self.bytes[:S + 99], f"at byte {S + 99}: the file ends inside record q of snapshot 1"),
                 ("mismatch", bytes(mismatch), f"at byte {3 * F - 4}: the trailing marker of record h of snapshot 0"),
                 ("partial", self.bytes[:S + 2 * F], f"at byte {S + 2 * F}: the file ends after record dqdt of "
                                                     "snapshot 1, which has only 2 of its 7 records"),
                 ("trailing", self.bytes[:S] + b"\0", f"at byte {S}: 1 byte follows the last complete snapshot")]
        for name, data, message in cases:
            with self.subTest(name):
                self.write(name + ".dat", data)
                r = self.run_script(name + ".dat", "-o", name + ".png")
                self.assertEqual(r.returncode, 1)
                self.assertIn(f"plot_snapshots.py: {name}.dat: damaged file {message}", r.stderr)
                self.assertFalse(os.path.exists(self.path(name + ".png")))
        r = self.run_script("missing.dat")
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot open 'missing.dat': No such file or directory", r.stderr)

    def test_bad_arguments_and_unwritable_output(self):
        for args, message in [(("--time", "1000s"), "no snapshot at t = 1000 s"),
                              (("--time", "2h"), "no snapshot at t = 7200 s"),
                              (("--time", "soon"), "cannot read the time 'soon'"),
                              (("--snapshot", "3"), "no snapshot 3: the file has snapshots 0 .. 2"),
                              (("--time", "1h", "--snapshot", "1"), "not allowed with argument"),
                              (("-o", "maps.jpg"), "'maps.jpg' should end in .png"),
                              (("--region", "300:200,0:100"), "is empty or leaves the domain (0 .. 401 km"),
                              (("--region", "0:402,0:100"), "is empty or leaves the domain"),
                              (("--region", "west"), "cannot read the region 'west'")]:
            with self.subTest(args=args):
                r = self.run_script(self.file, *args)
                self.assertEqual(r.returncode, 2)
                self.assertIn(message, r.stderr)
        r = self.run_script(self.file, "-o", "no/such/dir/maps.png")
        self.assertEqual(r.returncode, 1)
        self.assertIn("plot_snapshots.py: cannot write 'no/such/dir/maps.png': No such file or directory", r.stderr)


class PlotScenarioTest(sf.SnapshotFileTest):
    """A file of the 61 x 41 grid of sf.SMALL_SCENARIO."""
    run_script = PlotSnapshotsTest.run_script

    def test_maps_of_a_small_run(self):
        r = self.run_script(self.small_file, "--scenario", self.small_scenario, "--animate", "small.gif",
                            "--snapshot", "1", "--region", "auto")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "plot_snapshots.py: t = 2025 s (0.5625 h) drawn to plume_0.5625h.png\n"
                                   "plot_snapshots.py: 3 snapshots animated in small.gif\n")
        self.assertEqual(png_size(self.path("plume_0.5625h.png")), (1200, 1000))
        from PIL import Image
        with Image.open(self.path("small.gif")) as im:
            self.assertEqual(im.n_frames, 3)
        r = self.run_script(self.small_file, "--scenario", self.small_scenario, "--time", "4050s", "-o", "t.png",
                            "--region", "0:122,0:82")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("t = 4050 s (1.125 h) drawn to t.png", r.stdout)

    def test_layout_follows_the_scenario(self):
        sys.path.insert(0, os.path.dirname(SCRIPT))
        import plot_snapshots as ps
        layout = ps.layout_of(self.small_scenario)
        self.assertEqual((layout.nx, layout.ny, layout.spacing_km, layout.record_bytes), (61, 41, 2.0, 10004))
        self.assertEqual(layout.times, sf.SMALL_TIMES)
        self.assertEqual(layout.extent_km, (0.0, 122.0, 0.0, 82.0))
        # Drawn at the centre of the cell of the source's grid point.
        self.assertEqual(layout.sources, [(21.0, 41.0, None), (61.0, 21.0, None), (101.0, 61.0, None)])
        self.assertEqual((layout.species, layout.fields), ([], ["q", "dqdt", "h", "us", "vs", "div", "vort"]))
        reference = ps.layout_of(None)
        self.assertEqual(reference.times, list(range(0, 57601, 1800)))
        self.assertEqual((reference.nx, reference.ny, reference.record_bytes), (401, 401, 643204))
        snaps = ps.open_snapshots(self.small_file, layout)
        self.assertEqual((len(snaps), snaps.numbers, snaps.times), (3, [0, 1, 2], sf.SMALL_TIMES[:3]))
        np.testing.assert_array_equal(snaps.field(2, "h"), sf.synthetic_fields(2, grid=sf.SMALL)["h"])
        # The passes follow the float remainder, as snapinfo (the program's
        # reader) finds them: count and last time for a few cadences.
        for every in ("1800.0", "1012.5", "0.1", "7.3", "2.5", "7200"):
            with self.subTest(every=every):
                path = self.write("cadence.toml", f"[time]\nduration_s = 7200\nsnapshot_every_s = {every}\n")
                times = ps.layout_of(path).times
                legend = subprocess.run([SNAPINFO, "--scenario", path, self.file], stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True).stdout
                self.assertIn(f", {len(times)} snapshots at t = 0 .. {times[-1]} s,", legend)

    def test_files_of_another_run(self):
        five = self.write("five.dat", b"".join(sf.snapshot_bytes(k, grid=sf.SMALL) for k in range(5)))
        for args, message in [
                ((self.small_file,), f"{self.small_file}: its records hold 10004 bytes (a field of 2501 float32 "
                 "values), not the 643204 bytes of a field of 401 x 401 cells of the reference case; if it comes "
                 "from a run of another scenario, give that scenario with --scenario FILE"),
                ((self.file, "--scenario", self.small_scenario), f"{self.file}: its records hold 643204 bytes "
                 "(a field of 160801 float32 values), not the 10004 bytes of a field of 61 x 41 cells of the scenario "
                 f"{self.small_scenario}; give the scenario of the run that wrote it with --scenario FILE"),
                ((five, "--scenario", self.small_scenario), f"{five}: it holds more snapshots than the 4 of the "
                 f"scenario {self.small_scenario} (t = 0 .. 6075 s); give the scenario of the run that wrote it "
                 "with --scenario FILE")]:
            with self.subTest(args=args):
                r = self.run_script(*args, "-o", "never.png")
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stderr, f"plot_snapshots.py: {message}\n")
                self.assertFalse(os.path.exists(self.path("never.png")))

    def test_times_and_regions_of_the_small_grid(self):
        for args, message in [
                (("--time", "1800s"), "no snapshot at t = 1800 s: the file has one every 2025 s "
                                      "(snapshots 0 .. 2, t = 0 .. 4050 s)"),
                (("--region", "0:123,0:50"), "leaves the domain (0 .. 122 km in x, 0 .. 82 km in y)"),
                (("--scenario", ""), "the scenario file name is empty")]:
            with self.subTest(args=args):
                r = self.run_script(self.small_file, "--scenario", self.small_scenario, *args)
                self.assertEqual(r.returncode, 2)
                self.assertIn(message, r.stderr)

    def test_refuses_what_the_program_refuses(self):
        # One file per class of refusal; the message must be snapinfo's,
        # but for the wording of TOML syntax errors, which differs between
        # parsers (the position does not).
        cases = {
            "syntax": "[grid]\nnx = 61\nny = \n",
            "unknown_table": "[grdi]\nnx = 61\n",
            "unknown_key": "[grid]\nnx = 61\nnxx = 41\n",
            "unknown_top_key": "nx = 61\n",
            "not_a_table": "grid = 3\n",
            "integer_type": "[grid]\nnx = 61.0\n",
            "number_type": "[grid]\nspacing_m = \"big\"\n",
            "infinite": "[wind]\nspeed_m_s = inf\n",
            "not_single": "[wind]\nspeed_m_s = 1e39\n",
            "out_of_range": "[grid]\nnx = 5000000000\n",
            "grid_too_small": "[grid]\nnx = 61\nny = 3\n",
            "spacing": "[grid]\nspacing_m = -1.0\n",
            "unstable": "[grid]\nspacing_m = 600.0\n",
            "duration": "[time]\nduration_s = 0\n",
            "duration_past_2_24": "[time]\nduration_s = 16777217\n",
            "progress": "[time]\nprogress_every = 0\n",
            "snapshot_every": "[time]\nsnapshot_every_s = 0.0\n",
            "emission_first": "[emission]\nfirst_s = -1\n",
            "emission_every": "[emission]\nevery_s = 0\n",
            "negative_wind": "[wind]\nspeed_m_s = -1.0\n",
            "courant": "[grid]\nspacing_m = 1000\n[wind]\nspeed_m_s = 1000.0\n",
            "outside": "[[source]]\nx_m = 1.0\ny_m = -5.0\n",
            "outside_a_smaller_grid": "[grid]\nnx = 10\n",
            "no_y": "[[source]]\nx_m = 1.0\n",
            "radius": "[[source]]\nx_m = 1.0\ny_m = 1.0\nradius_m = 0.0\n",
            "peak": "[[source]]\nx_m = 1.0\ny_m = 1.0\npeak = -1\n",
            "source_key": "[[source]]\nx_m = 1.0\ny_m = 1.0\nrad = 3.0\n",
            "no_source": "source = []\n",
            "second_source": "[[source]]\nx_m = 1.0\ny_m = 1.0\n\n[[source]]\nx_m = 1.0\ny_m = 1e9\n",
            "species_empty": "species = []\n",
            "species_not_a_list": "species = 3\n",
            "species_no_name": "[[species]]\nfirst_s = 0\n" + SOURCE_OF("a"),
            "species_name_type": "[[species]]\nname = 3\n" + SOURCE_OF("a"),
            "species_bad_name": "[[species]]\nname = \"2so\"\n" + SOURCE_OF("2so"),
            "species_twice": SPECIES("a") + SPECIES("b") + SPECIES("a") + SOURCE_OF("a") + SOURCE_OF("b"),
            "species_key": "[[species]]\nname = \"a\"\nevery = 3.0\n" + SOURCE_OF("a"),
            "species_first_s": SPECIES("a") + "first_s = -1\n" + SOURCE_OF("a"),
            "species_first_s_type": SPECIES("a") + "first_s = 1.5\n" + SOURCE_OF("a"),
            "species_every_s": SPECIES("a") + "every_s = 0.0\n" + SOURCE_OF("a"),
            "species_every_s_from_emission": "[emission]\nevery_s = 0.0\n" + SPECIES("a") + SOURCE_OF("a"),
            "species_without_source": SPECIES("a") + SPECIES("b") + SOURCE_OF("a") + SOURCE_OF("a"),
            "species_with_the_reference_sources": SPECIES("a"),
            "source_species_undeclared": SOURCE_OF("a"),
            "source_species_type": "[[source]]\nx_m = 1.0\ny_m = 1.0\nspecies = 1\n",
            "source_without_species": SPECIES("a") + SOURCE_OF("a") + "[[source]]\nx_m = 1.0\ny_m = 1.0\n",
            "source_unknown_species": SOURCE_OF("b") + SPECIES("a") + SPECIES("c") + SOURCE_OF("a"),
            "species_after_a_limit": SPECIES("a") + "[time]\nduration_s = 0\n",
        }
        for name, text in cases.items():
            with self.subTest(name):
                path = self.write(name + ".toml", text)
                r = self.run_script(self.file, "--scenario", path, "-o", "never.png")
                program = subprocess.run([SNAPINFO, "--scenario", path, self.file], stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, text=True)
                self.assertEqual((r.returncode, program.returncode), (2, 2), r.stderr + program.stderr)
                self.assertEqual(r.stdout, "")
                mine = r.stderr.removeprefix("plot_snapshots.py: ")
                theirs = program.stderr.removeprefix("snapinfo: ")
                if name == "syntax":
                    self.assertEqual(mine.split(": not a TOML file: ")[0], f"{path}:3:6")
                    self.assertEqual(theirs.split(": not a TOML file: ")[0], f"{path}:3:6")
                else:
                    self.assertEqual(mine, theirs)
                self.assertFalse(os.path.exists(self.path("never.png")))
        r = self.run_script(self.file, "--scenario", self.path("missing.toml"))
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr, f"plot_snapshots.py: {self.path('missing.toml')}: cannot read the scenario: "
                                   "No such file or directory\n")


class PlotSpeciesTest(sf.SnapshotFileTest):
    """A run of the SMALL grid with two species, nox declared before so2:
    each snapshot holds q_nox, dqdt_nox, q_so2, dqdt_so2, then the flow."""
    run_script = PlotSnapshotsTest.run_script
    def setUp(self):
        self.scenario = self.write("species.toml", sf.SMALL_SPECIES_SCENARIO)
        self.file9 = self.path("species.dat")
        self.expected = sf.write_species_file(self.file9, 3)

    def test_each_species_is_read_and_drawn(self):
        sys.path.insert(0, os.path.dirname(SCRIPT))
        import plot_snapshots as ps
        layout = ps.layout_of(self.scenario)
        self.assertEqual(layout.species, ["nox", "so2"])
        self.assertEqual(layout.fields, list(sf.SPECIES_FIELDS))
        self.assertEqual(layout.sources_of("so2"), [(21.0, 41.0), (101.0, 61.0)])
        self.assertEqual(layout.sources_of("nox"), [(61.0, 21.0)])
        snaps = ps.open_snapshots(self.file9, layout)
        self.assertEqual(len(snaps), 3)
        for k in range(3):
            for name in layout.fields:
                np.testing.assert_array_equal(snaps.field(k, name).view("<u4"), self.expected[k][name].view("<u4"))

        r = self.run_script(self.file9, "--scenario", self.scenario, "--snapshot", "2", "--animate", "nox.gif")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "plot_snapshots.py: t = 4050 s (1.125 h) drawn to plume_nox_1.125h.png\n"
                                   "plot_snapshots.py: 3 snapshots animated in nox.gif\n")
        r = self.run_script(self.file9, "--scenario", self.scenario, "--species", "so2", "--region", "auto")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "plot_snapshots.py: t = 4050 s (1.125 h) drawn to plume_so2_1.125h.png\n")
        self.assertEqual(png_size(self.path("plume_so2_1.125h.png")), (1200, 1000))
        # Both species side by side, 600 x 500 pixels each.
        r = self.run_script(self.file9, "--scenario", self.scenario, "--all-species", "--time", "2025s",
                            "--region", "auto")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "plot_snapshots.py: t = 2025 s (0.5625 h) drawn to plume_species_0.5625h.png\n")
        self.assertEqual(png_size(self.path("plume_species_0.5625h.png")), (1200, 500))
        # The automatic region holds where either species goes.
        region = ps.parse_region("auto", snaps, layout, ["q_nox", "q_so2"])
        self.assertEqual(region, ps.parse_region("auto", snaps, layout, ["q_so2", "q_nox"]))
        for name in ("q_nox", "q_so2"):
            alone = ps.parse_region("auto", snaps, layout, [name])
            self.assertTrue(region[0] <= alone[0] and alone[1] <= region[1], (name, alone, region))

    def test_refusals(self):
        for args, status, message in [
                (("--species", "co"), 2, "no species 'co': the run's species are nox, so2\n"),
                (("--species", ""), 2, "no species '': the run's species are nox, so2\n"),
                (("--species", "so2", "--all-species"), 2, "argument --all-species: not allowed with argument --species\n")]:
            with self.subTest(args=args):
                r = self.run_script(self.file9, "--scenario", self.scenario, *args, "-o", "never.png")
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertTrue(r.stderr.endswith(message), r.stderr)
                self.assertFalse(os.path.exists(self.path("never.png")))
        r = self.run_script(self.small_file, "--scenario", self.small_scenario, "--all-species", "-o", "never.png")
        self.assertEqual(r.returncode, 2)
        self.assertTrue(r.stderr.endswith("--all-species: the run declares no species; its one pollutant is q\n"))
        # The records of a snapshot are counted with the species.
        with open(self.file9, "rb") as f:
            cut = self.write("cut.dat", f.read()[:(9 + 7) * sf.SMALL.frame_bytes])
        r = self.run_script(cut, "--scenario", self.scenario)
        self.assertEqual(r.returncode, 1)
        self.assertIn(f"damaged file at byte {16 * sf.SMALL.frame_bytes}: the file ends after record vs of snapshot "
                      "1, which has only 7 of its 9 records; expected the leading marker 10004 of record div of "
                      "snapshot 1", r.stderr)
        # A file of one species read as one of two: its second snapshot
        # does not end where the layout says.
        r = self.run_script(self.small_file, "--scenario", self.scenario)
        self.assertEqual(r.returncode, 1)
        self.assertIn("which has only 3 of its 9 records", r.stderr)


if __name__ == "__main__":
    SNAPINFO = os.path.abspath(sys.argv.pop(2))
    SCRIPT = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
