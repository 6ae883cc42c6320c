#!/usr/bin/env bash
# What the NetCDF output costs against the binary snapshot file: the bytes
# written and the wall time of whole runs, side by side in one run of this
# script, the outputs taking turns so that the machine's load falls on all
# of them alike.
#
#  - reference: the complete 16-hour reference run (33 snapshots);
#  - large: 2001 x 2001 points, 20 model minutes, 3 snapshots
#    (bench/cases/large.toml);
# each with the binary file, NetCDF at the default level (--deflate 1) and
# NetCDF with --deflate 0. Given a plume built with MPI, the large case with
# NetCDF output also on 1 and 2 processes under mpirun (layout 1x2, so that
# each process compresses the chunks of its own rows).
#
# Usage: bench/netcdf_cost.sh PLUME [RUNS] [MPI_PLUME]
#   RUNS (default 3): the runs of each; the table gives the median.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exe="$(realpath "$1")" runs="${2:-3}" mpi_exe="${3:+$(realpath "$3")}"
cases="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/cases"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
cd "$dir"
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export OMPI_MCA_btl_vader_single_copy_mechanism=none OMPI_MCA_mpi_yield_when_idle=1

cp "$cases/large.toml" large.toml
printf '' > reference.toml

# One run: prints its wall time in seconds; the bytes it wrote go to
# bytes.txt.
timed() {
  local out="$1"
  shift
  rm -rf out && mkdir out
  settle_writeback
  local start end
  start=$(date +%s%N)
  "$@" --output "out/$out" > /dev/null
  end=$(date +%s%N)
  du -cb out/* | tail -1 | cut -f1 > bytes.txt
  echo "scale=3; ($end - $start) / 1000000000" | bc
}

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

declare -A times bytes
labels=()
measure() {  # LABEL OUTPUT COMMAND...
  local label="$1" out="$2"
  shift 2
  [[ " ${labels[*]} " == *" $label "* ]] || labels+=("$label")
  times[$label]+="$(timed "$out" "$@") "
  bytes[$label]=$(cat bytes.txt)
}

echo "$(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')), load average $(cut -d' ' -f1-3 /proc/loadavg)"
for case in reference large; do
  for ((r = 1; r <= runs; r++)); do
    measure "$case binary" run.dat "$exe" --scenario "$case.toml"
    measure "$case netcdf" run.nc "$exe" --scenario "$case.toml"
    measure "$case netcdf-0" run.nc "$exe" --scenario "$case.toml" --deflate 0
    if [ "$case" = large ] && [ -n "$mpi_exe" ]; then
      measure "large netcdf, 1 process" run.nc mpirun -np 1 "$mpi_exe" --scenario large.toml
      measure "large netcdf, 2 processes" run.nc mpirun --oversubscribe -np 2 "$mpi_exe" --scenario large.toml --layout 1x2
    fi
  done
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

printf '\n| %-28s | %12s | %9s | %10s | %-24s |\n' "case, output" "bytes" "vs binary" "median s" "every run (s)"
printf '|%s|%s|%s|%s|%s|\n' "------------------------------" "--------------" "-----------" "------------" "--------------------------"
for label in "${labels[@]}"; do
  case_name=${label%% *}
  m=$(echo "${times[$label]}" | tr ' ' '\n' | grep . | median)
  mb=$(echo "${times[$case_name binary]}" | tr ' ' '\n' | grep . | median)
  ratio=$(echo "scale=1; ${bytes[$case_name binary]} / ${bytes[$label]}" | bc)
  printf '| %-28s | %12s | %8sx | %10s | %-24s |\n' "$label" "${bytes[$label]}" "$ratio" \
    "$m ($(echo "scale=2; $m / $mb" | bc))" "${times[$label]}"
done
echo
echo "(vs binary: the binary file's bytes over these; the median's ratio to the binary run's median in brackets)"
