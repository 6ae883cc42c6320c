#!/usr/bin/env bash
# The cost of a checkpoint and of a restart's start-up on 2 processes under
# mpirun, for this tree's plume (built with MPI) against the plume of an
# earlier commit, built with MPI from a git worktree of it in the same
# benchmark run, on grids of 2001 x 2001 and 4001 x 4001 points.
#
# For each grid and program, RUNS times (default 3), alternately:
#  - one checkpoint: a run of PASSES passes with and without a checkpoint
#    after each pass (--checkpoint-every 1); the difference of the medians,
#    shared among the checkpoints;
#  - a restart's start-up: the restart of a checkpoint taken after the last
#    pass of a run that wrote SNAPSHOTS snapshots, which has nothing left to
#    do, so its wall time is its start-up: the checks of the checkpoint and
#    of the snapshot file, init and the reading of the fields;
# and once, under strace, the bytes that the restart read from the snapshot
# file. Both programs must write the same snapshot file.
#
# Usage: bench/checkpoint_mpi_cost.sh PLUME_MPI_EXECUTABLE [BASE_COMMIT] [RUNS] [GRIDS...]
#   BASE_COMMIT default c03389b; GRIDS default 2001 4001
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exe="$(realpath "$1")" base="${2:-c03389b}" runs="${3:-3}"
shift $(($# < 3 ? $# : 3))
grids=("$@")
[ "${#grids[@]}" -gt 0 ] || grids=(2001 4001)
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Inside the tree (build* is ignored by git), so that ccache finds the
# earlier commit's objects again from one benchmark run to the next.
dir="$(mktemp -d "$src/build-bench.XXXXXX")"
cleanup() {
  git -C "$src" worktree remove --force "$dir/base-src" 2> /dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_btl_vader_single_copy_mechanism=none
mpirun=(mpirun --oversubscribe -np 2)
passes=4 snapshots=5

echo "== building $base with MPI"
git -C "$src" worktree add --detach "$dir/base-src" "$base" > /dev/null 2>&1
launcher=()
command -v ccache > /dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$dir/base-src" -B "$dir/base-build" -DCMAKE_BUILD_TYPE=Release -DPLUME_MPI=ON -DPLUME_TESTS=OFF \
  -DPLUME_TOOLS=OFF -DPLUME_BENCH=OFF "${launcher[@]}" > /dev/null
nice -n 5 cmake --build "$dir/base-build" --target plume -j 2 > /dev/null
old="$dir/base-build/driver/plume"
echo "this tree: $exe"
echo "base: $base ($(git -C "$src" log -1 --format='%h %s' "$base" | cut -c1-70))"
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores; 2 processes of 1 thread"

least() { printf '%s\n' "$@" | sort -n | head -n 1; }
elapsed_ms() { # DIRECTORY PROGRAM ARGS...
  local start end here="$1"
  shift
  settle_writeback
  start=$(date +%s%N)
  (cd "$here" && "${mpirun[@]}" "$@" --threads 1 > console.log)
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}
# The bytes the processes of the command read from FILE, from the system
# calls that strace saw name it.
bytes_read_from() { # DIRECTORY FILE PROGRAM ARGS...
  local here="$1" file="$2"
  shift 2
  rm -f "$here"/trace.*
  (cd "$here" && strace -f -ff -y -e trace=read,pread64,readv,preadv,preadv2 -o trace "${mpirun[@]}" "$@" \
    --threads 1 > console.log)
  cat "$here"/trace.* | awk -v f="$file>" 'index($0, f) && $NF ~ /^[0-9]+$/ { n += $NF } END { printf "%.0f\n", n }'
  rm -f "$here"/trace.*
}

# Times on a shared machine vary with the others' load: each is given as the
# median and, after a slash, the least of the RUNS (the least is the cost
# with the least interference).
# The others' load too, which the times depend on: the load average over the
# last minute when a row's runs are done.
printf '\n| grid | program | one checkpoint (ms) | restart start-up (ms) | snapshot file (MB) | read from it by the restart (bytes) | load |\n'
printf '|---|---|---|---|---|---|---|\n'
for n in "${grids[@]}"; do
  # A checkpoint after each of a few passes, and a run of SNAPSHOTS
  # snapshots with a checkpoint after its last pass.
  printf '[grid]\nnx = %d\nny = %d\n[time]\nduration_s = %d\nsnapshot_every_s = 1.0e9\n[[source]]\nx_m = 1000.0\ny_m = 1000.0\n' \
    "$n" "$n" "$passes" > "$dir/short.toml"
  printf '[grid]\nnx = %d\nny = %d\n[time]\nduration_s = %d\nsnapshot_every_s = 1.0\n[[source]]\nx_m = 1000.0\ny_m = 1000.0\n' \
    "$n" "$n" "$((snapshots - 1))" > "$dir/long.toml"
  declare -A checkpoint=() startup=() read=()
  for program in old new; do
    mkdir -p "$dir/$program"
    [ "$program" = old ] && p="$old" || p="$exe"
    (cd "$dir/$program" && "${mpirun[@]}" "$p" --scenario ../long.toml --checkpoint-every "$((snapshots - 1))" \
      --threads 1 > console.log)
  done
  cmp -s "$dir/old/test_withPollutant.dat" "$dir/new/test_withPollutant.dat" ||
    { echo "the two programs wrote other snapshot files" >&2; exit 1; }
  length=$(stat -c %s "$dir/new/test_withPollutant.dat")
  for program in old new; do
    plain=() with=() restarts=()
    [ "$program" = old ] && p="$old" || p="$exe"
    for ((k = 1; k <= runs; k++)); do
      plain+=("$(elapsed_ms "$dir/$program" "$p" --scenario ../short.toml --output short.dat)")
      with+=("$(elapsed_ms "$dir/$program" "$p" --scenario ../short.toml --output short.dat --checkpoint-every 1 \
        --checkpoint short.ckpt)")
      restarts+=("$(elapsed_ms "$dir/$program" "$p" --restart test_withPollutant.dat.ckpt)")
    done
    checkpoint[$program]="$((($(median "${with[@]}") - $(median "${plain[@]}")) / passes)) / $((($(least "${with[@]}") - $(least "${plain[@]}")) / passes))"
    startup[$program]="$(median "${restarts[@]}") / $(least "${restarts[@]}")"
    read[$program]=$(bytes_read_from "$dir/$program" test_withPollutant.dat "$p" --restart test_withPollutant.dat.ckpt)
    printf '| %d x %d | %s | %s | %s | %.0f | %d | %s |\n' "$n" "$n" \
      "$([ "$program" = old ] && echo "$base" || echo "this tree")" "${checkpoint[$program]}" \
      "${startup[$program]}" "$(awk -v l="$length" 'BEGIN { print l / 1e6 }')" "${read[$program]}" \
      "$(cut -d' ' -f1 /proc/loadavg)"
  done
  rm -rf "$dir/old" "$dir/new"
done
