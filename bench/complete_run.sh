#!/usr/bin/env bash
# Wall time of the complete 16-hour run: runs the program RUNS times (default
# 3) in a scratch directory and reports each time and the median.
# Usage: bench/complete_run.sh PLUME_EXECUTABLE [RUNS]
set -euo pipefail
exe="$(realpath "$1")" runs="${2:-3}"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
cd "$dir"
times=()
for ((k = 1; k <= runs; k++)); do
  start=$(date +%s%N)
  "$exe" > console.log
  end=$(date +%s%N)
  t=$(( (end - start) / 1000000 ))
  times+=("$t")
  echo "run $k: $((t / 1000)).$(printf '%03d' $((t % 1000))) s"
done
median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
echo "median of $runs: $((median / 1000)).$(printf '%03d' $((median % 1000))) s"
