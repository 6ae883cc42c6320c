#!/usr/bin/env bash
# Failure cases of the real executable: where it runs, the disk, standard
# output and memory. Each case runs the program in a fresh temporary
# directory and checks that it stops with status 1 and one line on standard
# error naming what failed and the system's reason, and that standard output
# and the snapshot file hold exactly what a good run writes up to that point.
#
# Every case stops within the first 100 passes, so the whole set takes a few
# seconds: snapshot 0 is written after the first step, and the line of pass
# 100 is the next write after it.
#
# Usage: faults.sh PLUME_EXECUTABLE RECORD_HASHES CASE
#   RECORD_HASHES: the sha256 of every framed record of a good run, one a line
#   (complete_run_records.sha256).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exe="$(realpath "$1")" hashes="$(realpath "$2")" case_name="$3"
[ -x "$exe" ] || { echo "not an executable: $exe" >&2; exit 2; }

file=test_withPollutant.dat
record_bytes=643212
snapshot_bytes=$((7 * record_bytes))
# The first two lines of a good run's log: pass 0, then its output line.
good_log_head=" Step/timing:           0 s=  0.0000000E+00 hr=  0.0000000E+00
 Step/timing:           0 s=  0.0000000E+00 hr=  0.0000000E+00 output!"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

# Standard error must be exactly one line, matching the extended regular
# expression $1 from start to end.
expect_diagnostic() {
  local lines
  lines=$(wc -l < err)
  if [ "$lines" -ne 1 ] || [ "$(tail -c 1 err | od -An -c | tr -d ' ')" != '\n' ]; then
    fail "standard error is not one line: $(cat err)"
  elif ! grep -Eq "^($1)\$" err; then
    fail "diagnostic '$(cat err)' does not match '$1'"
  fi
}

# Standard output must be the first $1 lines of a good run's log.
expect_log_lines() {
  if [ "$1" -eq 0 ]; then
    [ ! -s out ] || fail "standard output holds $(wc -c < out) bytes, expected none"
  elif ! cmp -s out <(head -n "$1" <<< "$good_log_head"); then
    fail "standard output is not the first $1 lines of a good run: $(od -c out | head -5)"
  fi
}

# The snapshot file must be the first $1 bytes of a good run's file. Its
# complete records are checked against the good run's record hashes; a
# partial last record against the sha256 $2 of the whole prefix.
expect_snapshot_prefix() {
  local bytes="$1" prefix_sha="${2:-}" size k want got
  if [ ! -f "$file" ] || [ -L "$file" ]; then
    fail "no regular snapshot file"
    return
  fi
  size=$(stat -c %s "$file")
  [ "$size" -eq "$bytes" ] || fail "snapshot file has $size bytes, expected $bytes"
  for ((k = 0; k < size / record_bytes; k++)); do
    want=$(grep -v '^#' "$hashes" | sed -n "$((k + 1))p" | awk '{print $4}')
    got=$(dd if="$file" bs=$record_bytes skip=$k count=1 status=none | sha256sum | cut -d' ' -f1)
    [ "$got" = "$want" ] || fail "record $k differs from the good run's"
  done
  if [ -n "$prefix_sha" ]; then
    got=$(head -c "$bytes" "$file" | sha256sum | cut -d' ' -f1)
    [ "$got" = "$prefix_sha" ] || fail "the first $bytes bytes differ from the good run's"
  fi
}

expect_no_snapshot() {
  [ ! -e "$file" ] && [ ! -L "$file" ] || fail "a snapshot file was left: $(ls -l "$file")"
}

report() {
  local snap="none"
  if [ -L "$file" ]; then
    snap="a link to $(readlink "$file")"
  elif [ -d "$file" ]; then
    snap="a directory"
  elif [ -f "$file" ]; then
    snap="$(stat -c %s "$file") bytes"
  fi
  echo "$case_name: exit $status after $elapsed_ms ms; stdout $(wc -c < out) bytes; snapshot file $snap; stderr: $(cat err)"
}

case "$case_name" in
  unwritable_directory)
    # Root may write anywhere that permission bits guard; a process's own
    # directory under /proc takes no new files from anyone. The file is
    # opened before the first pass, and the log's first line follows the
    # first step, so nothing is printed.
    launch bash -c 'cd /proc/self && exec "$0"' "$exe" > out 2> err
    expect_status 1
    expect_diagnostic 'plume: cannot open \./test_withPollutant\.dat: [^:]+'
    expect_log_lines 0
    report
    ;;

  snapshot_is_directory)
    mkdir "$file"
    launch "$exe" > out 2> err
    expect_status 1
    expect_diagnostic 'plume: cannot open \./test_withPollutant\.dat: Is a directory'
    expect_log_lines 0
    [ -d "$file" ] && [ -z "$(ls -A "$file")" ] || fail "the directory in the file's place was changed"
    report
    ;;

  snapshot_read_only)
    # An earlier run's file that nobody may write is left as it is, even by
    # root, whom the system would let overwrite it.
    printf 'records of an earlier run\n' > "$file"
    chmod 0444 "$file"
    launch "$exe" > out 2> err
    expect_status 1
    expect_diagnostic 'plume: cannot open \./test_withPollutant\.dat: Permission denied'
    expect_log_lines 0
    [ "$(cat "$file")" = "records of an earlier run" ] || fail "the read-only file's content was changed"
    [ "$(stat -c %a "$file")" = 444 ] || fail "the read-only file's mode was changed"
    report
    ;;

  snapshot_device_full)
    # The file takes no data: the run stops at the first snapshot, after the
    # two lines of pass 0.
    ln -s /dev/full "$file"
    launch "$exe" > out 2> err
    expect_status 1
    expect_diagnostic 'plume: cannot write \./test_withPollutant\.dat: No space left on device'
    expect_log_lines 2
    [ "$(readlink "$file")" = /dev/full ] || fail "the link in the file's place was replaced"
    report
    ;;

  file_size_limit)
    # A file-size limit, with SIGXFSZ ignored so that the write fails with an
    # error instead of killing the process. The file holds whole snapshots
    # only: a limit inside snapshot 0 (118,364 bytes into its fourth record,
    # us) leaves it empty; one inside snapshot 1, three records into it,
    # leaves snapshot 0 as a good run writes it, after the log of the 1800
    # passes up to snapshot 1.
    launch bash -c 'trap "" XFSZ; ulimit -f 2000; exec "$0"' "$exe" > out 2> err
    expect_status 1
    expect_diagnostic 'plume: cannot write \./test_withPollutant\.dat: File too large'
    expect_log_lines 2
    expect_snapshot_prefix 0
    report

    rm -f "$file"
    launch bash -c 'trap "" XFSZ; exec prlimit --fsize=$(($1 + 3 * $2)) "$0"' "$exe" "$snapshot_bytes" "$record_bytes" \
      > out 2> err
    expect_status 1
    expect_diagnostic 'plume: cannot write \./test_withPollutant\.dat: File too large'
    [ "$(wc -l < out)" -eq 21 ] && tail -n 1 out | grep -q '^ Step/timing: *1800 .* output!$' ||
      fail "standard output is not the log up to snapshot 1: $(tail -n 2 out)"
    expect_snapshot_prefix "$snapshot_bytes"
    report
    ;;

  stdout_closed)
    # Refused before anything else: the snapshot file would otherwise take
    # descriptor 1 and receive the log.
    launch "$exe" >&- 2> err
    : > out
    expect_status 1
    expect_diagnostic 'plume: cannot write to standard output: Bad file descriptor'
    expect_no_snapshot
    report
    ;;

  stdout_is_snapshot_file)
    # Standard output appended to the snapshot file, by its name or through
    # another link to it: the log would be written into the records. Refused
    # with the command line, before the file is truncated, so an earlier
    # run's file stays as it is.
    printf 'records of an earlier run\n' > "$file"
    ln "$file" log
    for target in "$file" log; do
      # A program that did not refuse would run on for minutes.
      launch timeout 20 "$exe" >> "$target" 2> err
      : > out
      expect_status 2
      expect_diagnostic 'plume: cannot open \./test_withPollutant\.dat: standard output goes to the same file'
      [ "$(cat "$file")" = "records of an earlier run" ] || fail "the file was changed (standard output: $target)"
      report
    done
    ;;

  stdout_device_full)
    # The first line fails; the snapshot file has been opened (before the
    # first pass) but nothing is due to it yet.
    launch "$exe" > /dev/full 2> err
    : > out
    expect_status 1
    expect_diagnostic 'plume: cannot write to standard output: No space left on device'
    expect_snapshot_prefix 0
    report
    ;;

  stdout_broken_pipe)
    # Standard output is a pipe whose reader has gone before the program
    # starts. The program is started with SIGPIPE at its default action, as a
    # shell starts it, so that a status of 1 shows that the program itself
    # turns the signal into a reported write error (a killed process would
    # give 141).
    mkfifo pipe
    exec 3<> pipe   # a reader, so that the writer's open does not wait
    exec 4> pipe    # the program's end
    exec 3<&-       # the reader leaves
    set +e
    env --default-signal=PIPE /bin/echo probe >&4 2> /dev/null
    probe=$?
    set -e
    [ "$probe" -eq 141 ] || fail "a plain writer to the pipe ended with $probe, not killed by SIGPIPE (141)"
    launch env --default-signal=PIPE "$exe" >&4 2> err
    exec 4>&-
    : > out
    expect_status 1
    expect_diagnostic 'plume: cannot write to standard output: Broken pipe'
    expect_snapshot_prefix 0
    report
    ;;

  reader_leaves_after_first_snapshot)
    # The log's reader takes two lines and goes, the usual "| head". The line
    # of pass 100 then fails, and snapshot 0, written in between, is complete
    # on disk. The file of an earlier, longer run that was in its place is
    # cut to this run's records.
    truncate -s 150000000 "$file"
    set +e
    start=$(date +%s%N)
    env --default-signal=PIPE "$exe" 2> err | head -n 2 > out
    status=${PIPESTATUS[0]}
    elapsed_ms=$((($(date +%s%N) - start) / 1000000))
    set -e
    expect_status 1
    expect_diagnostic 'plume: cannot write to standard output: Broken pipe'
    expect_log_lines 2
    expect_snapshot_prefix "$snapshot_bytes"
    report
    ;;

  stderr_closed)
    # With standard error closed (and standard input open, as it may not be
    # under a test runner) the snapshot file takes descriptor 2: the
    # run must still fail with status 1, and the diagnostic, which has
    # nowhere to go, must not end up in the snapshot file.
    launch "$exe" < /dev/null > /dev/full 2>&-
    : > out
    : > err
    expect_status 1
    expect_snapshot_prefix 0
    report
    ;;

  memory_limits)
    # Address-space limits rising from below what the
    # loader needs to above what the grid, the working arrays, the threads
    # and the snapshot writer take together. Under each, the program either cannot
    # load (status 127 from the loader, before the program runs at all, or
    # 139 under the lowest limits, where the loader itself has no room), or
    # fails an allocation (one line naming it, and no snapshot file), or gets
    # through start-up and stops at its first line, standard output being
    # /dev/full. Anything else (a crash, an abort, an unnamed allocation, a
    # file left behind) is a fault. The steps are 64 KiB up to the first
    # field, then 512 KiB, less than the 644 KiB that each field maps, so
    # that every allocation of a field is the first to fail under some limit.
    declare -A first_at=()
    started=0
    finished=0
    start=$(date +%s%N)
    step=64
    for ((kb = 1024; kb <= 262144; kb += step)); do
      rm -rf "$file"
      set +e
      prlimit --as=$((kb * 1024)) "$exe" > /dev/full 2> err
      status=$?
      set -e
      msg=$(cat err)
      if { [ "$status" -eq 127 ] || [ "$status" -eq 139 ]; } && [ "$started" -eq 0 ]; then
        continue
      fi
      started=1
      if [ "$msg" = "plume: cannot write to standard output: No space left on device" ]; then
        expect_status 1
        expect_snapshot_prefix 0
        finished=$kb
        break
      fi
      expect_status 1
      # The step's worker threads each reserve a stack, which an
      # address-space limit may refuse too.
      expect_diagnostic 'plume: cannot allocate .+ \([0-9]+ bytes\): Cannot allocate memory|plume: cannot start thread [0-9]+ of [0-9]+: Resource temporarily unavailable'
      expect_no_snapshot
      what=${msg#plume: cannot allocate }
      what=${what#plume: }
      what=${what% (*}
      what=${what%%:*}
      [ -n "${first_at[$what]:-}" ] || first_at[$what]=$kb
      [ "$what" = "working memory" ] || step=512
      [ "$failures" -eq 0 ] || { echo "under an address-space limit of $kb KiB: exit $status, stderr: $msg" >&2; break; }
    done
    elapsed_ms=$((($(date +%s%N) - start) / 1000000))
    [ "$finished" -ne 0 ] || fail "start-up never got through under any of the limits"
    # The fields that the run uses (one allocation), each of the four that
    # it does not use, the working arrays of the step and the writer's
    # buffers must have been the one to fail under some limit (the
    # coordinate arrays are too small for that).
    [ -n "${first_at["the model's fields"]:-}" ] || fail "no limit made the allocation of the model's fields fail"
    for name in qc qr forceu forcev; do
      [ -n "${first_at["field $name"]:-}" ] || fail "no limit made the allocation of field $name fail"
    done
    [ -n "${first_at["the output buffers of ./$file"]:-}" ] || fail "no limit made the snapshot writer's buffers fail"
    printf '%s\n' "${!first_at[@]}" | grep -q "^the step's " || fail "no limit made the step's working storage fail"
    for what in "${!first_at[@]}"; do echo "${first_at[$what]} KiB: $what"; done | sort -n
    echo "$case_name: ${#first_at[@]} allocations named; start-up gets through from $finished KiB; $elapsed_ms ms"
    ;;

  *)
    echo "unknown case: $case_name" >&2
    exit 2
    ;;
esac

finish
