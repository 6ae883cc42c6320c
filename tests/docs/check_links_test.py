"""The link checker on small documentation trees: GitHub's anchors worked
out by hand, and each kind of broken link found and named with its line.

usage: check_links_test.py PATH_TO_CHECK_LINKS_PY
"""
import importlib
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

CHECKER = None


def load_checker(path):
    sys.path.insert(0, str(Path(path).resolve().parent))
    return importlib.import_module(Path(path).stem)


class Tree:
    """A repository root with README.md, docs/ and whatever files a case needs."""

    def __init__(self, files):
        self.directory = tempfile.TemporaryDirectory()
        self.root = Path(self.directory.name)
        for name, text in files.items():
            path = self.root / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text, encoding="utf-8")

    def run(self):
        return subprocess.run([sys.executable, CHECKER.__file__, str(self.root)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)

    def close(self):
        self.directory.cleanup()


class AnchorTest(unittest.TestCase):

    def test_github_anchors_of_headings(self):
        cases = {
            "Checkpoints and restarts": "checkpoints-and-restarts",
            "The limits, and why": "the-limits-and-why",
            "`plot_snapshots.py`": "plot_snapshotspy",
            "plot_snapshots.py": "plot_snapshotspy",
            "From a fresh clone to an animation on screen": "from-a-fresh-clone-to-an-animation-on-screen",
            "Limits (2^24 s)": "limits-224-s",
            "A -- B": "a----b",
            "**Bold** and [a link](other.md#x)": "bold-and-a-link",
            "Größe ändern": "größe-ändern",
            "  Trailing spaces  ": "trailing-spaces",
        }
        for heading, anchor in cases.items():
            with self.subTest(heading=heading):
                self.assertEqual(CHECKER.github_anchor(heading), anchor)

    def test_repeated_headings_are_numbered_and_code_is_not_a_heading(self):
        text = ("# Title\n\n## Refusals\n\ntext\n\n```sh\n# a shell comment\n```\n\n"
                "## Refusals\n\nSetext heading\n--------------\n\n~~~\n## Not one\n~~~\n\n### Refusals ###\n")
        self.assertEqual(CHECKER.anchors(text),
                         {"title", "refusals", "refusals-1", "setext-heading", "refusals-2"})

    def test_table_rule_and_list_are_not_setext_headings(self):
        text = "| a | b |\n|---|---|\n\n- item\n---\n"
        self.assertEqual(CHECKER.anchors(text), set())


class TreeTest(unittest.TestCase):

    def check(self, files):
        tree = Tree(files)
        self.addCleanup(tree.close)
        return tree.run()

    def test_good_links_pass(self):
        result = self.check({
            "README.md": ("# plume\n\n![map](tools/example.png)\n[Scenarios](docs/scenarios.md),"
                          " [its limits](docs/scenarios.md#the-limits-and-why), [here](#plume),"
                          " [web](https://example.org/x.md#none), [mail](mailto:a@b)\n"
                          "[ref]: docs/output.md\n"),
            "docs/scenarios.md": "# Scenarios\n\n## The limits, and why\n\n[back](../README.md#plume)\n"
                                 "<img src=\"../tools/example.png\">\n",
            "docs/output.md": "# Output\n\nSee [the limits](scenarios.md#the-limits-and-why).\n",
            "tools/example.png": "png",
        })
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        self.assertEqual(result.stdout, "10 links in 3 files: every one leads to a file and heading that exist\n")

    def test_each_broken_link_gives_its_file_and_line(self):
        result = self.check({
            "README.md": ("# plume\n\n![map](example.png)\n\nsee [the tools](docs/tool.md)\n"
                          "[gone](#no-such-heading) and [up](../outside.md)\n"),
            "docs/scenarios.md": ("# Scenarios\n\n[limits](scenarios.md#limits)\n"
                                  "[image anchor](../tools/example.png#top)\n"
                                  "[run it](../README.md#run-it)\n"),
            "tools/example.png": "png",
        })
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "")
        self.assertEqual(result.stderr.splitlines(), [
            "README.md:3: link 'example.png': no file example.png",
            "README.md:5: link 'docs/tool.md': no file docs/tool.md",
            "README.md:6: link '#no-such-heading': no heading with the anchor #no-such-heading in README.md",
            "README.md:6: link '../outside.md' leads outside the repository",
            "docs/scenarios.md:3: link 'scenarios.md#limits': no heading with the anchor #limits"
            " in docs/scenarios.md",
            "docs/scenarios.md:4: link '../tools/example.png#top': an anchor on tools/example.png,"
            " which has no headings",
            "docs/scenarios.md:5: link '../README.md#run-it': no heading with the anchor #run-it in README.md",
        ])

    def test_links_inside_code_are_not_followed(self):
        result = self.check({
            "README.md": ("# plume\n\nInline `[x](missing.md)` code.\n\n```markdown\n[y](missing.md)\n```\n\n"
                          "  ```python\n  a[i](b)\n  ```\n"),
        })
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "0 links in 1 files: every one leads to a file and heading that exist\n")

    def test_missing_readme_fails(self):
        result = self.check({"docs/output.md": "# Output\n"})
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, "README.md: missing\n")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: check_links_test.py PATH_TO_CHECK_LINKS_PY")
    CHECKER = load_checker(sys.argv.pop())
    unittest.main()
