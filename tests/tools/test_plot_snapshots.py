"""plot_snapshots.py on a small synthetic run: the PNG and the GIF are valid
images of the expected size, and bad input fails with a clear message.

usage: test_plot_snapshots.py PATH_TO_plot_snapshots.py
"""
import glob
import os
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import snapfiles as sf  # noqa: E402

SCRIPT = None


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


if __name__ == "__main__":
    SCRIPT = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
