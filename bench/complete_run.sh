#!/usr/bin/env bash
# Wall time of the complete 16-hour run, with the default settings (the
# threads the process may use), with one thread, and with the default
# settings and a checkpoint every model hour (--checkpoint-every 3600): runs
# the program RUNS times each (default 3), alternately, in a scratch
# directory, and reports each time, the medians and the cost of the
# checkpoints against the run without them. Given the step benchmark too, it also measures
# the plain composition of the procedures (rk2_reference and div_vort on
# every pass, one thread) per pass, and reports how many times faster the
# complete runs are than 57,601 such passes.
# Usage: bench/complete_run.sh PLUME_EXECUTABLE [RUNS] [PLUME_BENCH]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exe="$(realpath "$1")" runs="${2:-3}" bench="${3:-}"
[ -z "$bench" ] || bench="$(realpath "$bench")"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
cd "$dir"

default=() single=() checkpoints=()
for ((k = 1; k <= runs; k++)); do
  for kind in default single checkpoints; do
    opts=()
    [ "$kind" = single ] && opts=(--threads 1)
    [ "$kind" = checkpoints ] && opts=(--checkpoint-every 3600)
    settle_writeback
    start=$(date +%s%N)
    "$exe" "${opts[@]}" > console.log
    end=$(date +%s%N)
    t=$(((end - start) / 1000000))
    case "$kind" in
      default) default+=("$t") ;;
      single) single+=("$t") ;;
      checkpoints) checkpoints+=("$t") ;;
    esac
    echo "run $k, $kind settings: $(ms "$t")"
  done
done
md=$(median "${default[@]}") m1=$(median "${single[@]}") mc=$(median "${checkpoints[@]}")
echo "median of $runs, default settings ($(nproc) cores): $(ms "$md")"
echo "median of $runs, one thread: $(ms "$m1")"
echo "median of $runs, default settings and --checkpoint-every 3600 (16 checkpoints): $(ms "$mc")"
awk -v c="$mc" -v d="$md" 'BEGIN { printf "with checkpoints / without: %.3f\n", c / d }'

if [ -n "$bench" ]; then
  # Milliseconds per pass of the plain composition, median of 3, on the
  # developed plume state (the composition costs the same on every state).
  per_pass=$("$bench" --benchmark_filter='^plain_composition/1$' --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
    awk -F, '/_median/ { print $3 }')
  plain=$(awk -v p="$per_pass" 'BEGIN { printf "%d", p * 57601 }')
  echo "plain composition: $per_pass ms per pass, $(ms "$plain") for 57,601 passes"
  awk -v p="$plain" -v d="$md" -v s="$m1" \
    'BEGIN { printf "default settings: %.2fx faster than the plain composition; one thread: %.2fx\n", p / d, p / s }'
fi
