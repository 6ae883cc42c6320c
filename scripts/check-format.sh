#!/usr/bin/env bash
# Checks that the C++ lines a change touches follow .clang-format; the rest
# of the tree is left as it is (it is not reformatted wholesale).
#
# The change: the commits since the branch left origin/main (its merge base
# with HEAD), when origin/main is known and HEAD is not on it; otherwise the
# last commit (HEAD~1), as in a fresh clone of main; in both cases with what
# the working tree has not committed yet. Only the added or changed lines of
# .cpp and .hpp files are checked, with clang-format-diff.
#
# Usage: scripts/check-format.sh [BASE]   (BASE: a commit to compare with)
# Prints the changes clang-format wants and exits 1 if there are any.
set -euo pipefail
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$src"

if ! git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
  echo "check-format: not a git checkout, nothing to compare with; skipped"
  exit 0
fi
format_diff="$(command -v clang-format-diff || command -v clang-format-diff-14 || true)"
if [ -z "$format_diff" ] || ! command -v clang-format > /dev/null; then
  echo "check-format: clang-format and clang-format-diff are needed (Debian: apt-get install clang-format)" >&2
  exit 1
fi

base="${1:-}"
if [ -z "$base" ] && git rev-parse -q --verify origin/main > /dev/null; then
  base="$(git merge-base HEAD origin/main)"
  [ "$base" != "$(git rev-parse HEAD)" ] || base=""
fi
if [ -z "$base" ]; then
  if ! git rev-parse -q --verify HEAD~1 > /dev/null; then
    echo "check-format: a single commit, nothing to compare with; skipped"
    exit 0
  fi
  base=HEAD~1
fi

changes="$(git diff -U0 --no-color --diff-filter=AM "$base" -- '*.cpp' '*.hpp')"
if [ -z "$changes" ]; then
  echo "check-format: no C++ lines changed since $(git rev-parse --short "$base")"
  exit 0
fi
wanted="$(printf '%s\n' "$changes" | "$format_diff" -p1 -style=file)"
if [ -n "$wanted" ]; then
  printf '%s\n' "$wanted"
  echo "check-format: the lines above, changed since $(git rev-parse --short "$base"), do not follow .clang-format" \
    "(clang-format -i FILE, or git diff -U0 $(git rev-parse --short "$base") | $(basename "$format_diff") -p1 -i)" >&2
  exit 1
fi
echo "check-format: the C++ lines changed since $(git rev-parse --short "$base") follow .clang-format"
