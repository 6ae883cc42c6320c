#!/usr/bin/env bash
# What showing the progress costs a run: the reference run with no progress
# line, with a plain line every second (--progress 1), and on a terminal
# (a pseudo-terminal made by script(1), the line redrawn every 250 ms), in
# turn RUNS times each in a fresh directory. Reports each time, the medians
# and their ratios to the run without progress, and checks that the three
# write the same bytes.
# Usage: bench/progress_cost.sh PLUME_EXECUTABLE [RUNS]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exe="$(realpath "$1")" runs="${2:-3}"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
cd "$dir"
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"

# Runs the kind of run given, in directory KIND; prints its wall time in ms.
timed() { # KIND
  local start end
  rm -rf "$1" && mkdir "$1" && cd "$1"
  settle_writeback
  start=$(date +%s%N)
  case "$1" in
    off) "$exe" --no-progress > log 2> err ;;
    plain) "$exe" --progress 1 > log 2> err ;;
    terminal) script -qefc "'$exe' > log" /dev/null < /dev/null > err ;;
  esac
  end=$(date +%s%N)
  cd ..
  echo $(((end - start) / 1000000))
}

off=() plain=() terminal=()
for ((k = 1; k <= runs; k++)); do
  off+=("$(timed off)")
  plain+=("$(timed plain)")
  terminal+=("$(timed terminal)")
  echo "run $k: no progress $(ms "${off[-1]}"), --progress 1 $(ms "${plain[-1]}"), terminal $(ms "${terminal[-1]}")"
  for kind in plain terminal; do
    cmp -s off/log "$kind/log" && cmp -s off/test_withPollutant.dat "$kind/test_withPollutant.dat" ||
      { echo "the $kind run wrote other bytes" >&2; exit 1; }
  done
done
mo=$(median "${off[@]}") mp=$(median "${plain[@]}") mt=$(median "${terminal[@]}")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
echo "median of $runs: no progress $(ms "$mo"); --progress 1 $(ms "$mp") ($(ratio "$mp" "$mo")); terminal $(ms "$mt") ($(ratio "$mt" "$mo"))"
echo "the three write the same bytes"
