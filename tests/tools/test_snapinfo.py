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


if __name__ == "__main__":
    SNAPINFO = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
