#!/usr/bin/env bash
# Wall time of one checkpoint, on the reference grid (401 x 401) and on a
# grid of 2001 x 2001 points: a short run on one thread (the checkpoint is
# written by one) is timed RUNS times (default 3) with and without a
# checkpoint every few passes, alternately, and the difference of the
# medians is shared among its checkpoints. A checkpoint's time takes in syncing the snapshot file, the
# checkpoint's bytes and digest, its sync, the rename and the directory's
# sync.
# Usage: bench/checkpoint_cost.sh PLUME_EXECUTABLE [RUNS]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exe="$(realpath "$1")" runs="${2:-3}"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
cd "$dir"

elapsed_ms() {
  local start end
  settle_writeback
  start=$(date +%s%N)
  "$exe" --threads 1 "$@" > console.log
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}

for grid in "401 200 20" "2001 20 2"; do
  read -r n passes step <<< "$grid"
  printf '[grid]\nnx = %d\nny = %d\n[time]\nduration_s = %d\n' "$n" "$n" "$passes" > case.toml
  plain=() with=()
  for ((k = 1; k <= runs; k++)); do
    plain+=("$(elapsed_ms --scenario case.toml)")
    with+=("$(elapsed_ms --scenario case.toml --checkpoint-every "$step")")
  done
  count=$((passes / step))
  mp=$(median "${plain[@]}") mw=$(median "${with[@]}")
  size=$(stat -c %s test_withPollutant.dat.ckpt)
  awk -v n="$n" -v p="$mp" -v w="$mw" -v c="$count" -v s="$size" -v r="$passes" 'BEGIN {
    printf "%d x %d: %d passes %d ms, with %d checkpoints %d ms: %.1f ms per checkpoint of %.1f MB\n",
           n, n, r, p, c, w, (w - p) / c, s / 1e6 }'
done
