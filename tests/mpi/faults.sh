#!/usr/bin/env bash
# A failure of any kind, at any point, on any process of a run under mpirun
# ends every process within seconds: a failing status, one line naming the
# process and the cause, and the files no more damaged than the failure
# itself made them (the snapshot file holds whole snapshots, the same bytes
# as a run that did not fail; the last checkpoint is one to go on from).
#
# Usage: faults.sh MPI_PLUME SERIAL_PLUME FAULT_POINTS
#   SERIAL_PLUME: a plume built without MPI ("" for the MPI build's own);
#   FAULT_POINTS: the program that lists the points of the test hook.
# Prints the table of the cases: point, rank, kind, status, seconds, files.
set -euo pipefail
exe="$(realpath "$1")" serial="${2:-}" points="$(realpath "$3")"
[ -n "$serial" ] && serial="$(realpath "$serial")" || serial="$exe"

export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export OMPI_MCA_btl_vader_single_copy_mechanism=none OMPI_MCA_mpi_yield_when_idle=1
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
limit=60  # seconds: a run still going then has a process left waiting

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
# Each case runs in a directory of its own, two at a time; a failure is a
# line in the file "failed" there.
fail() {
  echo "FAIL: $*" | tee -a failed >&2
}

# 40 x 30 points, 450 passes, a snapshot every 150 s, three sources.
cp "$here/crossing_case.toml" case.toml
snapshot_bytes=$((7 * (40 * 30 * 4 + 8)))
printf 'records of an earlier run' > earlier.dat

# The run that does not fail, and a checkpoint after pass 400 to go on from.
"$serial" --scenario case.toml --output serial.dat --threads 1 > serial.log
"$serial" --scenario case.toml --output base.dat --checkpoint-every 400 --threads 1 > /dev/null
head -c $((3 * snapshot_bytes)) base.dat > base.kept
shared="$work"

# The visit of the point that fails: a point passed many times fails after
# the first checkpoint (pass 100) and the first snapshots.
visit_of() {
  case "$1" in
    pass) echo 120 ;;
    snapshot_write | checkpoint_write | checkpoint_write_block) echo 2 ;;
    *) echo 1 ;;
  esac
}

# The command line that passes the point.
options_of() {
  case "$1" in
    print_scenario) echo "--scenario case.toml --print-scenario" ;;
    restart_read | restart_read_block) echo "--restart run.dat.ckpt --output run.dat --threads 1" ;;
    *) echo "--scenario case.toml --output run.dat --checkpoint-every 100 --threads 1" ;;
  esac
}

# Whether the files are as the failure may leave them; prints what they hold.
check_files() {
  local point="$1" size
  size=$(stat -c %s run.dat)
  if cmp -s run.dat "$shared/earlier.dat"; then
    files="snapshot file untouched"
  elif [ $((size % snapshot_bytes)) -eq 0 ] && cmp -s -n "$size" run.dat "$shared/serial.dat"; then
    files="$((size / snapshot_bytes)) whole snapshots"
  else
    fail "$point: the snapshot file holds $size bytes, not whole snapshots of the run"
    files="DAMAGED snapshot file"
  fi
  case "$point" in
    start | command_line | files | print_scenario | memory_check | snapshot_open)
      cmp -s run.dat "$shared/earlier.dat" || fail "$point: the snapshot file was touched before it was opened" ;;
  esac
  if [ "$point" = restart_read ] || [ "$point" = restart_read_block ]; then
    cmp -s run.dat.ckpt "$shared/base.dat.ckpt" || fail "$point: the checkpoint gone on from was changed"
    files+=", checkpoint of pass 400 kept"
  elif [ -e run.dat.ckpt ]; then
    # The last checkpoint goes on to the bytes of the run that did not fail.
    if "$serial" --restart run.dat.ckpt --output run.dat --threads 1 > rest.log 2> rest.err &&
      cmp -s run.dat "$shared/serial.dat" && [ "$(tail -n "$(wc -l < rest.log)" "$shared/serial.log")" = "$(cat rest.log)" ]; then
      files+=", checkpoint valid"
    else
      fail "$point: the checkpoint left does not go on to the same bytes: $(cat rest.err)"
      files+=", checkpoint INVALID"
    fi
  fi
  # A checkpoint cut short by the end of the run stays a temporary file,
  # which the next checkpoint replaces: never taken for a checkpoint.
  if ls run.dat.ckpt?* > /dev/null 2>&1; then files+=", a temporary checkpoint"; fi
}

# Runs one case in directory $5: the point, the failing rank, the kind, on
# `np` processes; writes its row of the table to the file "row" there.
one_case() {
  local point="$1" rank="$2" kind="$3" np="$4" start end cause
  mkdir "$5" && cd "$5"
  cp "$shared/case.toml" .
  if [ "$point" = restart_read ] || [ "$point" = restart_read_block ]; then
    cp "$shared/base.kept" run.dat
    cp "$shared/base.dat.ckpt" run.dat.ckpt
  else
    cp "$shared/earlier.dat" run.dat
  fi
  start=$(date +%s.%N)
  set +e
  # shellcheck disable=SC2046
  PLUME_TEST_FAULT="$point:$rank:$kind:$(visit_of "$point")" timeout "$limit" \
    mpirun --oversubscribe -np "$np" "$exe" $(options_of "$point") < /dev/null > out 2> err
  status=$?
  set -e
  end=$(date +%s.%N)
  seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
  [ "$status" -ne 124 ] || fail "$point on rank $rank ($kind): still running after $limit s"
  [ "$status" -ne 0 ] || fail "$point on rank $rank ($kind): exit status 0"
  [ "$kind" = bad_alloc ] && cause="cannot allocate memory" || cause="test fault at $point"
  local lines
  lines=$(grep -c '^plume: ' err || true)
  if [ "$lines" -ne 1 ] || [ "$(grep '^plume: ' err)" != "plume: rank $rank: $cause" ]; then
    fail "$point on rank $rank ($kind): expected the one line 'plume: rank $rank: $cause', got: $(cat err)"
  fi
  check_files "$point"
  printf '| %s | %s | %s | %s | %.1f | %s |\n' "$point" "$rank" "$kind" "$status" "$seconds" "$files" > row
}

echo "| point | rank | kind | exit status | seconds to end | files left |"
echo "| --- | --- | --- | --- | --- | --- |"
cases=()
while read -r point; do
  for kind in run_failure other bad_alloc; do
    cases+=("$point 0 $kind 2" "$point 1 $kind 2")
  done
done < <("$points")
for ((k = 0; k < ${#cases[@]}; k += 2)); do
  for ((j = k; j < k + 2 && j < ${#cases[@]}; ++j)); do
    read -r point rank kind np <<< "${cases[j]}"
    (one_case "$point" "$rank" "$kind" "$np" "case$j") &
  done
  wait
done
for ((k = 0; k < ${#cases[@]}; ++k)); do
  cat "case$k/row" 2> /dev/null || fail "case $k (${cases[k]}) left no row"
done

# Rank 0's standard output on a full disk: at --print-scenario, and during a
# run (its first line).
mkdir stdout_full && cd stdout_full
cp "$shared/case.toml" .
for options in "--scenario case.toml --print-scenario" "--scenario case.toml --output run.dat"; do
  rm -f run.dat
  start=$(date +%s.%N)
  set +e
  # shellcheck disable=SC2086
  timeout "$limit" mpirun --oversubscribe -np 3 bash -c \
    'if [ "$OMPI_COMM_WORLD_RANK" = 0 ]; then exec "$0" "$@" > /dev/full; else exec "$0" "$@"; fi' \
    "$exe" $options < /dev/null > out 2> err
  status=$?
  set -e
  seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
  [ "$status" -ne 124 ] || fail "$options, standard output full: still running after $limit s"
  [ "$status" -eq 1 ] || fail "$options, standard output full: exit status $status, not 1"
  [ "$(grep -c '^plume: ' err || true)" -eq 1 ] &&
    [ "$(grep '^plume: ' err)" = "plume: rank 0: cannot write to standard output: No space left on device" ] ||
    fail "$options, standard output full: $(cat err)"
  if [ -e run.dat ]; then
    size=$(stat -c %s run.dat)
    [ $((size % snapshot_bytes)) -eq 0 ] && cmp -s -n "$size" run.dat "$shared/serial.dat" || fail "$options: the snapshot file holds $size bytes"
  fi
  printf '| standard output on a full disk (%s) | 0 | ENOSPC | %s | %.1f | %s |\n' \
    "$([ "${options##* }" = --print-scenario ] && echo "--print-scenario" || echo "a run")" "$status" "$seconds" \
    "$([ -e run.dat ] && echo "$(($(stat -c %s run.dat) / snapshot_bytes)) whole snapshots" || echo "no snapshot file")"
done

cd "$shared"
failures=$(find . -name failed -exec cat {} + | wc -l)
[ "$failures" -eq 0 ] || { echo "$failures failures" >&2; exit 1; }
