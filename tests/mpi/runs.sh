#!/usr/bin/env bash
# Runs of the program over several processes with mpirun, against the
# program of a build without MPI (the serial build): the same snapshot file
# and log, byte for byte, for every layout and thread count; refusals and
# failures that stop every process, one message, nothing left waiting.
#
# Usage: runs.sh MPI_PLUME SERIAL_PLUME CASE [RECORD_HASHES CHECK_SCRIPT]
#   SERIAL_PLUME: a plume built without MPI; with "" the MPI build's own
#   plume started without mpirun, as one process, stands in for it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/lib.sh"
exe="$(realpath "$1")" serial="${2:-}" case_name="$3"
[ -n "$serial" ] && serial="$(realpath "$serial")" || serial="$exe"
here="$(cd "$(dirname "$0")" && pwd)"
support="$here/../support"

# Open MPI refuses root without the two ALLOW variables, wants
# --oversubscribe for more processes than cores, and in some containers its
# shared-memory transport must copy without the kernel's cross-memory attach.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export OMPI_MCA_btl_vader_single_copy_mechanism=none OMPI_MCA_mpi_yield_when_idle=1
mpirun=(mpirun --oversubscribe -np)

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

cp "$here/crossing_case.toml" case.toml

# Every command runs with a time limit that proves no process was left
# waiting.
launch_limit=120

# Standard error must hold exactly one line from the program, matching the
# extended regular expression $1 (mpirun may add its own notes).
expect_one_line() {
  local lines
  lines=$(grep -c '^plume: ' err || true)
  [ "$lines" -eq 1 ] || fail "$lines lines from the program on standard error, expected 1: $(cat err)"
  grep -Eq "^($1)\$" <(grep '^plume: ' err) || fail "message '$(grep '^plume: ' err)' does not match '$1'"
}

serial_run() {
  "$serial" --scenario case.toml --output serial.dat "$@" > serial.log
}

same_as_serial() {
  cmp -s serial.dat "$1" && cmp -s serial.log "$2"
}

case "$case_name" in
  layouts)
    # Every layout of 1 to 4 processes, even and uneven splits, one and two
    # threads per process.
    serial_run
    for setup in "1 1x1 1" "1 1x1 2" "2 1x2 1" "2 2x1 2" "3 1x3 2" "3 3x1 1" "4 1x4 1" "4 4x1 2" "4 2x2 1" \
                "4 2x2 2" "2 - 1" "3 - 2"; do
      read -r np layout threads <<< "$setup"
      options=(--scenario case.toml --output run.dat --threads "$threads")
      [ "$layout" = - ] || options+=(--layout "$layout")
      launch "${mpirun[@]}" "$np" "$exe" "${options[@]}" > run.log 2> err
      [ "$status" -eq 0 ] || fail "$np processes, layout $layout, $threads threads: exit $status: $(cat err)"
      if same_as_serial run.dat run.log; then verdict=identical; else verdict=DIFFERENT; fail "$setup: not the serial bytes"; fi
      echo "| $np | ${layout/-/chosen} | $threads | $verdict |"
    done
    ;;

  reference_2_processes)
    # The complete reference run on two processes: the reference hashes.
    hashes="$4" check="$5"
    mkdir reference && cd reference
    launch "${mpirun[@]}" 2 "$exe" > console.log 2> err
    [ "$status" -eq 0 ] || fail "exit $status: $(cat err)"
    cd ..
    "$check" "$work/reference" "$hashes" || fail "the reference run on two processes differs from the reference"
    ;;

  subrecords)
    # Records cut into sub-records of 1000 bytes (a 40 x 30 record holds
    # 4800), as records beyond 2 GiB are: the same bytes from every layout.
    export PLUME_TEST_SUBRECORD_BYTES=1000
    serial_run
    expected=$((4 * 7 * (4800 + 8 * 5)))  # snapshots at 0, 150, 300 and 450 s
    [ "$(stat -c %s serial.dat)" -eq "$expected" ] || fail "the serial file holds $(stat -c %s serial.dat) bytes, not $expected"
    # The first record: a leading marker of -1000 (FFFFFC18), another
    # sub-record following.
    [ "$(head -c 4 serial.dat | od -An -tx1 | tr -d ' ')" = 18fcffff ] || fail "the first marker is not -1000"
    for setup in "3 3x1" "4 2x2" "2 1x2"; do
      read -r np layout <<< "$setup"
      launch "${mpirun[@]}" "$np" "$exe" --scenario case.toml --output run.dat --layout "$layout" > run.log 2> err
      [ "$status" -eq 0 ] && same_as_serial run.dat run.log || fail "sub-records on $np processes ($layout) differ"
    done
    ;;

  progress)
    # Progress lines asked for: from rank 0 alone, the log and the
    # snapshots the same bytes.
    serial_run
    launch "${mpirun[@]}" 3 "$exe" --scenario case.toml --output run.dat --progress 1 > run.log 2> err
    [ "$status" -eq 0 ] || fail "exit $status: $(cat err)"
    same_as_serial run.dat run.log || fail "with --progress the output differs from the serial run's"
    finals=$(grep -c '^plume: 100\.0%  0:00 left  ' err || true)
    [ "$finals" -eq 1 ] || fail "$finals final progress lines, expected rank 0's alone: $(cat err)"
    ;;

  refusals)
    # Refused by every process before any file is touched: exit status 2,
    # one message, from rank 0.
    printf 'records of an earlier run\n' > keep.dat
    check_refusal() {
      local pattern="$1"
      shift
      launch "${mpirun[@]}" "$@" > out 2> err
      [ "$status" -eq 2 ] || fail "$*: exit $status, expected 2"
      expect_one_line "$pattern"
      [ "$(cat keep.dat)" = "records of an earlier run" ] || fail "$*: the output file was changed"
    }
    check_refusal 'plume: --layout 3x2 makes 6 blocks, but the run has 4 processes' \
      4 "$exe" --scenario case.toml --output keep.dat --layout 3x2
    check_refusal 'plume: --layout 1x16: a 40 x 30 grid split 1x16 has blocks of 40 x 1 points; each block needs at least 3 x 3' \
      16 "$exe" --scenario case.toml --output keep.dat --layout 1x16
    check_refusal "plume: --layout: '2by2' is not PXxPY with two whole numbers, as in 2x2" \
      2 "$exe" --output keep.dat --layout 2by2
    printf '[grid]\nnx = 5\nny = 5\n\n[[source]]\nx_m = 2000.0\ny_m = 2000.0\n' > tiny.toml
    check_refusal 'plume: a 5 x 5 grid cannot be split into 3 blocks of at least 3 x 3 points; run it on fewer processes' \
      3 "$exe" --scenario tiny.toml --output keep.dat
    printf '[grid]\nnx = 3\n' > bad.toml
    check_refusal "plume: bad.toml:2:6: grid.nx = 3 is too small: the model's stencils need at least 4 points in x" \
      3 "$exe" --scenario bad.toml --output keep.dat
    printf 'not a checkpoint' > bad.ckpt
    check_refusal 'plume: bad.ckpt: not a plume checkpoint: it does not begin with PLUMECKP' \
      2 "$exe" --restart bad.ckpt --output keep.dat
    # A checkpoint with one value changed in the block of rank 3 (field h,
    # row 25, column 35 of a grid split 2x2): every process finds the row
    # as they read their blocks, and the snapshot file stays as it was.
    "$serial" --scenario case.toml --output done.dat --checkpoint-every 450 > /dev/null
    size=$(stat -c %s done.dat.ckpt)
    header=$((size - 5 * 40 * 30 * 4))
    printf '\x55' | dd of=done.dat.ckpt bs=1 seek=$((header + ((2 * 30 + 24) * 40 + 34) * 4 + 1)) conv=notrunc status=none
    before=$(sha256sum done.dat)
    launch "${mpirun[@]}" 4 "$exe" --restart done.dat.ckpt --output done.dat --layout 2x2 > out 2> err
    [ "$status" -eq 2 ] || fail "a damaged row: exit $status, expected 2"
    expect_one_line 'plume: done.dat.ckpt: damaged checkpoint: row 25 of its field h does not match its CRC-32'
    [ "$(sha256sum done.dat)" = "$before" ] || fail "a damaged row: the snapshot file was changed"
    # A build without MPI refuses --layout.
    if [ "$serial" != "$exe" ]; then
      launch "$serial" --layout 2x2 --output keep.dat > out 2> err
      [ "$status" -eq 2 ] || fail "the serial build took --layout: exit $status"
      grep -q '^plume: --layout: this plume is built without MPI' err || fail "the serial build's message: $(cat err)"
    fi
    ;;

  failures)
    # A failure on one process stops every process within seconds, with one
    # line naming the process and the cause; the file holds whole snapshots.
    printf '[grid]\nnx = 2001\nny = 2001\n\n[time]\nduration_s = 20\n' > big.toml
    start=$(date +%s)
    launch "${mpirun[@]}" 2 bash -c 'if [ "$OMPI_COMM_WORLD_RANK" = 1 ]; then ulimit -v 150000; fi; exec "$0" "$@"' \
      "$exe" --scenario big.toml --output out.dat > out 2> err
    [ "$status" -ne 0 ] || fail "a process that cannot allocate its block: exit 0"
    expect_one_line 'plume: rank 1: cannot allocate [^:]+ \([0-9]+ bytes\): Cannot allocate memory'
    [ ! -e out.dat ] || fail "a snapshot file was made"
    echo "memory on rank 1: exit $status after $(($(date +%s) - start)) s: $(grep '^plume' err)"

    # A file-size limit on rank 0, which writes the file: the limit falls
    # inside snapshot 1 of the reference case.
    snapshot_bytes=4502484
    start=$(date +%s)
    launch "${mpirun[@]}" 2 bash -c 'trap "" XFSZ; if [ "$OMPI_COMM_WORLD_RANK" = 0 ]; then ulimit -f 6000; fi; exec "$0" "$@"' \
      "$exe" --output out.dat > out 2> err
    [ "$status" -ne 0 ] || fail "a write past the file size limit: exit 0"
    expect_one_line 'plume: rank 0: cannot write out\.dat: File too large'
    [ "$(stat -c %s out.dat)" -eq "$snapshot_bytes" ] || fail "the file holds $(stat -c %s out.dat) bytes, not one whole snapshot"
    echo "file size limit on rank 0: exit $status after $(($(date +%s) - start)) s: $(grep '^plume' err)"

    # A limit of 1 MB on the program started without mpirun, as one
    # process: MPI starts under it (its own server's shared segment would
    # pass it), and the write of snapshot 0 fails as in a build without MPI,
    # the file left empty.
    rm -f out.dat
    launch bash -c 'trap "" XFSZ; ulimit -f 1000; exec "$0" --output out.dat' "$exe" > out 2> err
    [ "$status" -eq 1 ] || fail "one process past the file size limit: exit $status: $(cat err)"
    expect_one_line 'plume: cannot write out\.dat: File too large'
    [ -e out.dat ] && [ ! -s out.dat ] || fail "one process past the file size limit: no empty file out.dat"
    ;;

  checkpoint_bytes)
    # A checkpoint is the same bytes whatever the layout and the threads
    # that wrote it, each process writing its own block.
    "$serial" --scenario case.toml --output serial.dat --checkpoint-every 150 --threads 1 > serial.log
    for setup in "1 1x1 2" "2 1x2 1" "2 2x1 2" "3 3x1 1" "4 2x2 1" "4 1x4 2"; do
      read -r np layout threads <<< "$setup"
      rm -f run.dat run.dat.ckpt
      launch "${mpirun[@]}" "$np" "$exe" --scenario case.toml --output run.dat --checkpoint-every 150 --layout "$layout" \
        --threads "$threads" > run.log 2> err
      [ "$status" -eq 0 ] || fail "$setup: exit $status: $(cat err)"
      if cmp -s serial.dat.ckpt run.dat.ckpt; then verdict=identical; else verdict=DIFFERENT; fail "$setup: another checkpoint"; fi
      echo "| $np ($layout, $threads threads) | $verdict |"
    done
    ;;

  format1)
    # A checkpoint of format 1 (made from one of format 2), which rank 0
    # reads whole and hands out, goes on on other layouts with the same
    # bytes.
    serial_run
    awk '$2 <= 300' serial.log > upto.log
    for setup in "3 3x1" "4 2x2"; do
      read -r np layout <<< "$setup"
      rm -f run.dat run.dat.ckpt*
      launch env PLUME_TEST_CRASH_BEFORE_RENAME=3 "$serial" --scenario case.toml --output run.dat --checkpoint-every 150 \
        > first.log 2> err
      /usr/bin/python3 "$support/format1_checkpoint.py" run.dat.ckpt
      launch "${mpirun[@]}" "$np" "$exe" --restart run.dat.ckpt --output run.dat --layout "$layout" > rest.log 2> err
      [ "$status" -eq 0 ] || fail "$setup: the restart from format 1 ended with $status: $(cat err)"
      cat upto.log rest.log > whole.log
      if same_as_serial run.dat whole.log; then verdict=identical; else verdict=DIFFERENT; fail "$setup: not the same bytes"; fi
      echo "| format 1 at pass 300 | $np ($layout) | $verdict |"
    done
    ;;

  restart_across_layouts)
    # Checkpoints written on one layout go on on another: 2 processes to 3,
    # and 1 to 4, with the same bytes as a run that never stopped. The
    # second checkpoint write is killed before its rename, so the restart
    # goes on from the first and cuts the snapshots written after it.
    serial_run
    for setup in "2 1x2 3 3x1" "1 1x1 4 2x2"; do
      read -r np1 layout1 np2 layout2 <<< "$setup"
      rm -f run.dat run.dat.ckpt*
      launch env PLUME_TEST_CRASH_BEFORE_RENAME=2 mpirun --oversubscribe -np "$np1" "$exe" --scenario case.toml \
        --output run.dat --checkpoint-every 170 --layout "$layout1" > first.log 2> err
      [ "$status" -ne 0 ] || fail "$setup: the run with the crash hook ended normally"
      [ -f run.dat.ckpt ] || { fail "$setup: no checkpoint"; continue; }
      # The checkpoint holds pass 170: the log up to it, then the rest.
      awk '$2 <= 170' serial.log > upto.log
      launch "${mpirun[@]}" "$np2" "$exe" --restart run.dat.ckpt --output run.dat --layout "$layout2" > rest.log 2> err
      [ "$status" -eq 0 ] || fail "$setup: the restart ended with $status: $(cat err)"
      cat upto.log rest.log > whole.log
      if same_as_serial run.dat whole.log; then verdict=identical; else verdict=DIFFERENT; fail "$setup: not the same bytes"; fi
      echo "| $np1 ($layout1) | $np2 ($layout2) | $verdict |"
    done

    # SIGTERM to every process of the run, as a batch system stops a job:
    # each acts on it at the same pass, a checkpoint, the line from rank 0,
    # and a restart on another layout gives the same bytes. A longer run,
    # and the signal once its log is past pass 1000; short enough that the
    # restart ends within the time limit on a busy machine. (SIGTERM to
    # mpirun itself: the case mpirun_sigterm.)
    sed -e 's/^duration_s = .*/duration_s = 60000/' -e 's/^snapshot_every_s = .*/snapshot_every_s = 5000.0/' \
      case.toml > long.toml
    "$serial" --scenario long.toml --output serial.dat --threads 1 > serial.log
    rm -f run.dat run.dat.ckpt*
    mpirun --oversubscribe -np 3 "$exe" --scenario long.toml --output run.dat --threads 1 > first.log 2> err &
    launcher=$!
    for ((k = 0; k < 400; k++)); do
      [ "$(awk 'END { print $2 + 0 }' first.log)" -lt 1000 ] || break
      sleep 0.05
    done
    pkill -TERM -P "$launcher" -x "$(basename "$exe")" || fail "no process of the run to signal"
    set +e
    wait "$launcher"
    set -e
    if grep -q '^plume: stopped at pass' err; then
      pass=$(sed -n 's/^plume: stopped at pass \([0-9]*\);.*/\1/p' err)
      grep -q "go on with: plume --restart run.dat.ckpt --output run.dat" err || fail "the stop line: $(grep '^plume' err)"
      launch "${mpirun[@]}" 2 "$exe" --restart run.dat.ckpt --output run.dat > rest.log 2> err
      cat first.log rest.log > whole.log
      same_as_serial run.dat whole.log || fail "the run stopped by SIGTERM at pass $pass and restarted differs"
      echo "SIGTERM to the 3 processes: stopped at pass $pass; restarted on 2 processes: same bytes"
    else
      fail "the run did not stop on SIGTERM: $(tail -n 1 first.log); $(cat err)"
    fi
    ;;

  mpirun_sigterm)
    # SIGTERM to mpirun itself, as a batch system sends it to every process
    # of the job at its time limit: Open MPI's mpirun sends its processes
    # SIGCONT at once, SIGTERM odls_base_sigkill_timeout seconds later and
    # SIGKILL as long again after that. With that time raised, they write
    # their checkpoint, and the restart on another layout gives the same
    # bytes. (While it waits, mpirun passes on no output: a log of a line
    # every pass could fill the pipe before the SIGTERM comes, so the log
    # here is sparse, as a real run's is.) A run that ends before the
    # processes get the signal, on a fast machine, is tried again longer.
    grace=2
    pass=""
    for duration in 20000 80000 320000; do
      sed -e "s/^duration_s = .*/duration_s = $duration/" -e 's/^snapshot_every_s = .*/snapshot_every_s = 5000.0/' \
        -e 's/^progress_every = .*/progress_every = 1000/' case.toml > long.toml
      rm -f run.dat run.dat.ckpt*
      mpirun --mca odls_base_sigkill_timeout "$grace" --oversubscribe -np 3 "$exe" --scenario long.toml \
        --output run.dat --threads 1 < /dev/null > first.log 2> err &
      launcher=$!
      # Once the run is under way (its snapshot file holds the first snapshot).
      for ((k = 0; k < 400; k++)); do
        [ "$(stat -c %s run.dat 2> /dev/null || echo 0)" -eq 0 ] || break
        sleep 0.05
      done
      start=$(date +%s)
      kill -TERM "$launcher"
      set +e
      wait "$launcher"
      set -e
      pass=$(sed -n 's/^plume: stopped at pass \([0-9]*\);.*/\1/p' err)
      [ -z "$pass" ] && grep -q "Step/timing: *$duration " first.log || break
      echo "a run of $duration passes ended before its processes got the signal; longer"
    done
    echo "SIGTERM to mpirun: it ended after $(($(date +%s) - start)) s"
    if [ -n "$pass" ] && [ -f run.dat.ckpt ]; then
      "$serial" --scenario long.toml --output serial.dat --threads 1 > serial.log
      launch "${mpirun[@]}" 2 "$exe" --restart run.dat.ckpt --output run.dat < /dev/null > rest.log 2> err
      [ "$status" -eq 0 ] || fail "the restart after SIGTERM to mpirun ended with $status: $(cat err)"
      cat first.log rest.log > whole.log
      if same_as_serial run.dat whole.log; then
        echo "SIGTERM to mpirun with odls_base_sigkill_timeout $grace: checkpoint at pass $pass; restarted on 2" \
          "processes: same bytes"
      else
        fail "the run stopped by SIGTERM to mpirun at pass $pass and restarted differs"
      fi
    else
      fail "no checkpoint after SIGTERM to mpirun: $(cat err)"
    fi
    ;;

  *)
    echo "unknown case: $case_name" >&2
    exit 2
    ;;
esac

finish
