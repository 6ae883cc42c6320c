"""Checks that every relative link in the user documentation leads somewhere.

usage: check_links.py ROOT

Reads ROOT/README.md and every ROOT/docs/*.md. Each relative link or image
([text](path), ![alt](path), [name]: path, and the href or src of HTML) must
name a file or directory that exists inside ROOT; a link with #anchor must
name a heading of the Markdown file it points to (or of its own file when
the path is empty), with the anchor GitHub gives that heading. Links with a
scheme (https:, mailto:) are left alone, as is everything inside fenced
code blocks and code spans.

Prints one line per broken link, FILE:LINE: what is wrong, and exits 1 when
there is any; otherwise one line of totals and exit status 0.
"""
import re
import sys
import unicodedata
from pathlib import Path
from urllib.parse import unquote

FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})")
ATX_HEADING = re.compile(r"^ {0,3}(#{1,6})(?:[ \t]+(.*?))?(?:[ \t]+#+)?[ \t]*$")
SETEXT_UNDERLINE = re.compile(r"^ {0,3}(=+|-+)[ \t]*$")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
INLINE_LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\[\]]*\])*\]\(\s*<?([^)\s>]*)>?(?:\s+(?:\"[^\"]*\"|'[^']*'))?\s*\)")
REFERENCE_DEFINITION = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)")
HTML_LINK = re.compile(r"<(?:a|img)\b[^>]*?\b(?:href|src)\s*=\s*[\"']([^\"']*)[\"']", re.IGNORECASE)
HAS_SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:|^//")


def is_plain_text_line(line):
    """A line that may carry a paragraph's text (and so sit above a setext underline)."""
    stripped = line.strip()
    return bool(stripped) and not stripped.startswith(("#", ">", "|", "-", "*", "+")) \
        and not line.startswith(("    ", "\t"))


def markdown_lines(text):
    """(line number, line) of each line outside fenced code blocks."""
    fence = None
    for number, line in enumerate(text.splitlines(), start=1):
        opened = FENCE.match(line)
        if fence is None and opened:
            fence = opened.group(1)
            continue
        if fence is not None:
            if opened and opened.group(1)[0] == fence[0] and len(opened.group(1)) >= len(fence) \
                    and not line.strip()[len(opened.group(1)):].strip():
                fence = None
            continue
        yield number, line


def rendered_text(markdown):
    """A heading's text as GitHub shows it: links by their text, no code or emphasis marks."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", markdown)
    text = re.sub(r"<[^>]+>", "", text)
    return text.replace("`", "").replace("*", "")


def github_anchor(heading):
    """GitHub's anchor of a heading: lower case, punctuation dropped, each space a hyphen."""
    kept = []
    for char in rendered_text(heading).strip().lower():
        if char in " -_" or unicodedata.category(char)[0] in "LNM":
            kept.append(char)
    return "".join(kept).replace(" ", "-")


def headings(text):
    """The texts of a Markdown file's headings, in order (ATX and setext)."""
    found = []
    previous = ""
    for _, line in markdown_lines(text):
        atx = ATX_HEADING.match(line)
        if atx:
            found.append(atx.group(2) or "")
            previous = ""
            continue
        if SETEXT_UNDERLINE.match(line) and is_plain_text_line(previous):
            found.append(previous.strip())
            previous = ""
            continue
        previous = line
    return found


def anchors(text):
    """The anchors of a Markdown file's headings; a repeated one gets -1, -2, ... as on GitHub."""
    taken = set()
    for heading in headings(text):
        base = github_anchor(heading)
        anchor, repeat = base, 0
        while anchor in taken:
            repeat += 1
            anchor = f"{base}-{repeat}"
        taken.add(anchor)
    return taken


def links(text):
    """(line number, target) of each link and image outside code."""
    for number, line in markdown_lines(text):
        prose = CODE_SPAN.sub("", line)
        for pattern in (INLINE_LINK, REFERENCE_DEFINITION, HTML_LINK):
            for match in pattern.finditer(prose):
                yield number, match.group(1)


def problem(root, source, target, anchor_cache):
    """What is wrong with one link from the file source, or None when it leads somewhere."""
    if HAS_SCHEME.match(target):
        return None
    path_part, _, anchor = target.partition("#")
    destination = (source.parent / unquote(path_part)).resolve() if path_part else source
    if root != destination and root not in destination.parents:
        return f"link '{target}' leads outside the repository"
    if not destination.exists():
        return f"link '{target}': no file {destination.relative_to(root)}"
    if not anchor:
        return None
    if destination.suffix.lower() != ".md" or not destination.is_file():
        return f"link '{target}': an anchor on {destination.relative_to(root)}, which has no headings"
    if destination not in anchor_cache:
        anchor_cache[destination] = anchors(destination.read_text(encoding="utf-8"))
    if unquote(anchor) not in anchor_cache[destination]:
        return f"link '{target}': no heading with the anchor #{anchor} in {destination.relative_to(root)}"
    return None


def check(root):
    """(broken link lines, links checked, files read) for the documentation under root."""
    root = root.resolve()
    files = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    broken, checked, anchor_cache = [], 0, {}
    for source in files:
        if not source.is_file():
            broken.append(f"{source.relative_to(root)}: missing")
            continue
        for number, target in links(source.read_text(encoding="utf-8")):
            checked += 1
            wrong = problem(root, source, target, anchor_cache)
            if wrong:
                broken.append(f"{source.relative_to(root)}:{number}: {wrong}")
    return broken, checked, len(files)


def main(argv):
    if len(argv) != 2:
        print("usage: check_links.py ROOT", file=sys.stderr)
        return 2
    broken, checked, files = check(Path(argv[1]))
    for line in broken:
        print(line, file=sys.stderr)
    if broken:
        return 1
    print(f"{checked} links in {files} files: every one leads to a file and heading that exist")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
