#!/usr/bin/env bash
# Wall times of runs over several processes, for a build with MPI: the
# reference run on one process with two threads against two processes with
# one thread each, alternating, RUNS times each (default 3), with their
# medians and ratio; then a 4001 x 4001 case of 20 model minutes (three
# sources emitting every 300 s from the start, a snapshot at 0 and 20
# minutes) on one and two processes, once each. Every run reports, per
# process, the bytes its halo exchange sent per pass and the time it waited
# for its neighbours (PLUME_EXCHANGE_REPORT).
# Usage: bench/mpi_runs.sh MPI_PLUME [RUNS]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exe="$(realpath "$1")" runs="${2:-3}"
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_btl_vader_single_copy_mechanism=none
export PLUME_EXCHANGE_REPORT=1
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
cd "$dir"

# Runs mpirun with NP processes and THREADS threads each and the options;
# prints the time and the exchange's report of every process.
timed() {
  local np="$1" threads="$2"
  shift 2
  local start end
  settle_writeback
  start=$(date +%s%N)
  mpirun --oversubscribe -np "$np" "$exe" --threads "$threads" "$@" > console.log 2> err
  end=$(date +%s%N)
  elapsed=$(((end - start) / 1000000))
  echo "  $np x $threads: $(ms "$elapsed")"
  sed -n 's/^plume: /    /p' err
}

echo "== the reference run"
one=() two=()
for ((k = 1; k <= runs; k++)); do
  timed 1 2
  one+=("$elapsed")
  timed 2 1
  two+=("$elapsed")
done
m1=$(median "${one[@]}") m2=$(median "${two[@]}")
echo "median of $runs: 1 process x 2 threads $(ms "$m1"); 2 processes x 1 thread $(ms "$m2")"
awk -v a="$m2" -v b="$m1" 'BEGIN { printf "2 processes take %.2f times the time of 1 process with 2 threads\n", a / b }'

cat > large.toml <<'EOF'
[grid]
nx = 4001
ny = 4001
spacing_m = 1000.0

[time]
duration_s = 1200
progress_every = 100
snapshot_every_s = 1200.0

[emission]
first_s = 0
every_s = 300.0

[[source]]
x_m = 1000000.0
y_m = 2000000.0

[[source]]
x_m = 2000000.0
y_m = 2000000.0

[[source]]
x_m = 3000000.0
y_m = 1000000.0
EOF
echo "== 4001 x 4001 points, 20 model minutes"
timed 1 2 --scenario large.toml --output large.dat
timed 2 1 --scenario large.toml --output large.dat
