#!/usr/bin/env bash
# Checkpoints and restarts of the real executable. A run continued from a
# checkpoint, on any thread count, must leave the same snapshot file and,
# with the log of the run before it up to the checkpoint's pass, the same
# console log as a run that never stopped. Each case runs in a fresh
# temporary directory on a small scenario with pollutant from pass 10 on.
#
# Usage: restart.sh PLUME_EXECUTABLE CASE
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exe="$(realpath "$1")" case_name="$2"
[ -x "$exe" ] || { echo "not an executable: $exe" >&2; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
file=test_withPollutant.dat
ckpt=$file.ckpt

# 24 x 16 points, 600 passes: snapshots every 120 s, emissions at every
# pass n >= 10 that is a multiple of 70 (70, 140, ... 560).
cat > case.toml <<'EOF'
[grid]
nx = 24
ny = 16
[time]
duration_s = 600
progress_every = 50
snapshot_every_s = 120.0
[wind]
speed_m_s = 5.0
towards_deg = 200.0
[emission]
first_s = 10
every_s = 70.0
[[source]]
x_m = 15000.0
y_m = 8000.0
radius_m = 2500.0
[[source]]
x_m = 6000.0
y_m = 4000.0
peak = 2.0
EOF
# The same grid for 200000 passes, long enough to be stopped at a moment
# chosen from outside.
sed 's/^duration_s = 600$/duration_s = 200000/' case.toml > long.toml

# The run that never stops, whose log and file every case is held to.
reference() { # SCENARIO
  mkdir -p "ref-$1"
  (cd "ref-$1" && "$exe" --scenario "../$1" --threads 1 > log)
}

# The pass a checkpoint was taken after: the int32 behind the magic, the
# version and the two length-prefixed texts.
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
ckpt_pass() {
  local p s
  p=$(u32 "$1" 12)
  s=$(u32 "$1" $((16 + p)))
  u32 "$1" $((20 + p + s))
}

# The lines of a log for passes up to $2.
log_upto() { awk -v k="$2" '$2 <= k' "$1"; }

# Runs the program with the given signals pending and blocked, so that they
# arrive as soon as it installs its handlers, before its first pass.
with_pending() { # SIGNALS PROGRAM ARGS...
  local signals="$1"
  shift
  perl -e 'use POSIX; my @s = map { eval "POSIX::SIG$_" } split /,/, shift;
           sigprocmask(SIG_BLOCK, POSIX::SigSet->new(@s)) or die; kill $_, $$ for @s; exec @ARGV or die' \
    "$signals" "$@"
}

# The outputs in the current directory against the reference's: the file,
# and the log pieces given, in order, against the reference log.
expect_reference() { # SCENARIO WHAT LOG...
  local ref="$work/ref-$1" what="$2"
  shift 2
  cmp -s "$file" "$ref/$file" || fail "$what: the snapshot file differs from the uninterrupted run's"
  cat "$@" | cmp -s - "$ref/log" || fail "$what: the log differs from the uninterrupted run's"
}

case "$case_name" in
  identity)
    # A checkpoint at pass k (k = 0 by a signal before the first pass, else
    # by the schedule, the run killed at its next checkpoint, before the
    # rename, so that the file holds more than the checkpoint recorded), and
    # a restart on another thread count.
    reference case.toml
    printf '%-6s %-30s %-8s %-7s %s\n' pass kind threads after identical
    while read -r k kind before after; do
      mkdir "k$k-$before-$after"
      cd "k$k-$before-$after"
      case "$kind" in
        usr1) launch with_pending USR1 env PLUME_TEST_CRASH_BEFORE_RENAME=2 "$exe" --scenario ../case.toml \
                --checkpoint-every 100 --threads "$before" > log1 ;;
        term) launch with_pending TERM "$exe" --scenario ../case.toml --threads "$before" > log1 2> err1
              [ "$status" -eq 143 ] || fail "pass $k: status $status after SIGTERM, not 143"
              grep -qx "plume: stopped at pass 0; go on with: plume --restart ./$ckpt" err1 ||
                fail "pass $k: stderr after SIGTERM: $(cat err1)" ;;
        last) launch "$exe" --scenario ../case.toml --checkpoint-every "$k" --threads "$before" > log1
              [ "$status" -eq 0 ] || fail "pass $k: the run with checkpoints ended with $status" ;;
        *) launch env PLUME_TEST_CRASH_BEFORE_RENAME=2 "$exe" --scenario ../case.toml --checkpoint-every "$k" \
             --threads "$before" > log1
           [ "$status" -eq 137 ] || fail "pass $k: the run killed at its second checkpoint ended with $status" ;;
      esac
      got=$(ckpt_pass "$ckpt")
      [ "$got" = "$k" ] || fail "the checkpoint holds pass $got, not $k"
      log_upto log1 "$k" > head1
      launch "$exe" --restart "$ckpt" --threads "$after" > log2
      [ "$status" -eq 0 ] || fail "pass $k: the restart ended with $status"
      before_failures=$failures
      expect_reference case.toml "pass $k, $before -> $after threads" head1 log2
      [ "$failures" -eq "$before_failures" ] && same=yes || same=no
      printf '%-6s %-30s %-8s %-7s %s\n' "$k" "$kind" "$before" "$after" "$same"
      cd ..
    done <<'EOF'
0 usr1 1 2
0 term 3 1
37 ordinary 1 3
70 emission 3 2
120 snapshot 2 3
240 snapshot 1 1
600 last 2 1
600 last 1 3
EOF
    ;;

  chained)
    # Five runs, each but the last killed at its second checkpoint, each
    # restarted on another thread count with another schedule.
    reference case.toml
    with_pending USR1 env PLUME_TEST_CRASH_BEFORE_RENAME=2 "$exe" --scenario case.toml --checkpoint-every 100 \
      --threads 1 > log0 || true
    pieces=()
    log_upto log0 0 > piece0
    pieces+=(piece0)
    r=1
    for step in "2 70" "3 120" "1 250"; do
      read -r threads every <<< "$step"
      launch env PLUME_TEST_CRASH_BEFORE_RENAME=2 "$exe" --restart "$ckpt" --checkpoint-every "$every" \
        --threads "$threads" > "log$r"
      [ "$status" -eq 137 ] || fail "restart $r ended with $status"
      k=$(ckpt_pass "$ckpt")
      log_upto "log$r" "$k" > "piece$r"
      pieces+=("piece$r")
      echo "restart $r on $threads threads, checkpoints every $every s: killed at its second, goes on after pass $k"
      r=$((r + 1))
    done
    launch "$exe" --restart "$ckpt" --threads 2 > "log$r"
    [ "$status" -eq 0 ] || fail "the last restart ended with $status"
    pieces+=("log$r")
    expect_reference case.toml "chained restarts" "${pieces[@]}"
    ;;

  kill)
    # Killed with SIGKILL at moments drawn from a fixed seed, and restarted
    # from its checkpoint each time until a run ends by itself.
    reference long.toml
    RANDOM=15
    pieces=()
    run=0
    ms=
    status=1
    while [ "$status" -ne 0 ]; do
      threads=$((run % 3 + 1))
      args=(--scenario long.toml)
      [ -f "$ckpt" ] && args=(--restart "$ckpt")
      "$exe" "${args[@]}" --checkpoint-every 1000 --threads "$threads" > "log$run" &
      pid=$!
      if [ "$run" -lt 8 ]; then
        ms=$((10 + RANDOM % 190))
        sleep "$(printf '0.%03d' "$ms")"
        kill -KILL "$pid" 2> /dev/null || true
      fi
      launch wait "$pid"
      k=-1
      [ -f "$ckpt" ] && k=$(ckpt_pass "$ckpt")
      [ "$status" -eq 0 ] && k=200000
      log_upto "log$run" "$k" > "piece$run"
      pieces+=("piece$run")
      echo "run $run ($threads threads, ${args[0]}): ${ms:+killed after $ms ms, }status $status; the checkpoint holds pass $k"
      [ "$status" -eq 0 ] || [ "$status" -eq 137 ] || { fail "run $run ended with $status"; break; }
      ms=
      run=$((run + 1))
    done
    expect_reference long.toml "killed and restarted" "${pieces[@]}"
    ;;

  sigterm)
    # SIGTERM and SIGINT stop the run after the pass under way with a
    # checkpoint, 128 + the signal, and the line that says how to go on;
    # that command finishes the run.
    reference long.toml
    pieces=()
    for sig in TERM INT; do
      [ -f "$ckpt" ] && args=(--restart "$ckpt") || args=(--scenario long.toml)
      # A background job starts with SIGINT ignored, which the program keeps.
      env --default-signal=INT "$exe" "${args[@]}" --threads 2 > "log$sig" 2> "err$sig" &
      pid=$!
      sleep 0.1
      kill -"$sig" "$pid"
      launch wait "$pid"
      want=$((128 + $(kill -l "$sig")))
      [ "$status" -eq "$want" ] || fail "SIG$sig: status $status, not $want"
      k=$(ckpt_pass "$ckpt")
      [ "$(cat "err$sig")" = "plume: stopped at pass $k; go on with: plume --restart ./$ckpt" ] ||
        fail "SIG$sig: stderr '$(cat "err$sig")', the checkpoint holds pass $k"
      [ "$(log_upto "log$sig" "$k")" = "$(cat "log$sig")" ] || fail "SIG$sig: lines beyond pass $k"
      cp "log$sig" "piece$sig"
      pieces+=("piece$sig")
      echo "SIG$sig: status $status, $(cat "err$sig")"
    done
    command=$(sed 's/.*go on with: plume //' errINT)
    # shellcheck disable=SC2086  # the line's words as a shell splits them
    launch "$exe" $command --threads 3 > logend
    [ "$status" -eq 0 ] || fail "the command of the line ended with $status"
    pieces+=(logend)
    expect_reference long.toml "stopped by SIGTERM and SIGINT" "${pieces[@]}"

    # Two stops at once: the second ends the run before anything is
    # written, and the checkpoint there stays as it was.
    cp "$ckpt" kept.ckpt
    launch with_pending INT,TERM "$exe" --restart "$ckpt" > log2 2> err2
    [ "$status" -eq 143 ] || fail "two stops: status $status, not 143"
    cmp -s "$ckpt" kept.ckpt || fail "two stops: the checkpoint changed"
    [ ! -s err2 ] || fail "two stops: stderr $(cat err2)"
    ;;

  sigusr1)
    # SIGUSR1: a checkpoint, and the run goes on to its end; restarted from
    # that checkpoint, it cuts the complete file back and writes the rest
    # again, the same bytes.
    reference long.toml
    "$exe" --scenario long.toml --threads 2 > log1 &
    pid=$!
    sleep 0.1
    kill -USR1 "$pid"
    launch wait "$pid"
    [ "$status" -eq 0 ] || fail "the run ended with $status after SIGUSR1"
    cmp -s "$file" "ref-long.toml/$file" || fail "the run with a checkpoint wrote other bytes"
    k=$(ckpt_pass "$ckpt")
    log_upto log1 "$k" > head1
    "$exe" --restart "$ckpt" --threads 1 > log2
    expect_reference long.toml "restart after SIGUSR1 at pass $k" head1 log2
    echo "SIGUSR1: checkpoint after pass $k"
    ;;

  crash_before_rename)
    # A crash between the temporary file and its rename, at the second
    # checkpoint: the first stays whole and usable, the stale temporary file
    # is not read and the next checkpoint replaces it.
    reference case.toml
    launch env PLUME_TEST_CRASH_BEFORE_RENAME=2 "$exe" --scenario case.toml --checkpoint-every 200 > log1
    [ "$status" -eq 137 ] || fail "status $status, not 137"
    [ -f "$ckpt.tmp" ] || fail "no temporary file left"
    [ "$(ckpt_pass "$ckpt")" = 200 ] || fail "the checkpoint holds pass $(ckpt_pass "$ckpt"), not 200"
    [ "$(ckpt_pass "$ckpt.tmp")" = 400 ] || fail "the temporary file holds pass $(ckpt_pass "$ckpt.tmp")"
    log_upto log1 200 > head1
    "$exe" --restart "$ckpt" --checkpoint-every 200 > log2
    [ ! -e "$ckpt.tmp" ] || fail "the temporary file was left"
    [ "$(ckpt_pass "$ckpt")" = 600 ] || fail "the last checkpoint holds pass $(ckpt_pass "$ckpt")"
    expect_reference case.toml "restart after a crash before the rename" head1 log2
    ;;

  refusals)
    # Every refusal of a restart: one line naming the file and what is
    # wrong, status 2, and no file changed.
    "$exe" --scenario case.toml --checkpoint-every 300 > /dev/null
    size=$(stat -c %s "$ckpt")
    # Its last 32 bytes are the SHA-256 of the bytes before them, as any
    # other program computes it.
    [ "$(head -c $((size - 32)) "$ckpt" | sha256sum | cut -c1-64)" = "$(tail -c 32 "$ckpt" | od -An -tx1 | tr -d ' \n')" ] ||
      fail "the checkpoint's digest is not the SHA-256 of its contents"
    expect_refusal() { # MESSAGE [HINT] -- ARGS...
      local want="$1" hint=""
      shift
      [ "$1" = hint ] && { hint="Usage: plume [OPTIONS]; run 'plume --help' for the options."; shift; }
      local before
      before=$(find . -mindepth 1 -printf '%p %s %T@\n' | sort; sha256sum ./*)
      launch "$exe" "$@" > out 2> err
      [ "$status" -eq 2 ] || fail "$*: status $status, not 2"
      [ "$(head -n 1 err)" = "plume: $want" ] || fail "$*: message '$(head -n 1 err)', not 'plume: $want'"
      [ "$(tail -n +2 err)" = "$hint" ] || fail "$*: after the message: $(tail -n +2 err)"
      [ ! -s out ] || fail "$*: standard output not empty"
      rm out err
      [ "$(find . -mindepth 1 -printf '%p %s %T@\n' | sort; sha256sum ./*)" = "$before" ] || fail "$*: files changed"
      echo "plume: $want"
    }
    # Damaged copies of the checkpoint.
    head -c 1000 "$ckpt" > short.ckpt
    cp "$ckpt" flipped.ckpt
    printf '\x01' | dd of=flipped.ckpt bs=1 seek=$((size - 100)) conv=notrunc status=none
    cp "$ckpt" version.ckpt
    printf '\x02' | dd of=version.ckpt bs=1 seek=8 conv=notrunc status=none
    expect_refusal "missing.ckpt: cannot read the checkpoint: No such file or directory" --restart missing.ckpt
    expect_refusal "short.ckpt: truncated checkpoint: 1000 of the $size bytes its header announces" \
      --restart short.ckpt
    expect_refusal "flipped.ckpt: damaged checkpoint: its SHA-256 digest does not match its contents" \
      --restart flipped.ckpt
    expect_refusal "version.ckpt: checkpoint format version 2; this program reads version 1" --restart version.ckpt
    expect_refusal "case.toml: not a plume checkpoint: it does not begin with PLUMECKP" --restart case.toml
    # A whole checkpoint, its digest made anew, whose scenario is refused as
    # a scenario file would be.
    head -c -32 "$ckpt" | LC_ALL=C sed 's/^nx = 24$/nx = 3 /' > small.ckpt
    sha256sum < small.ckpt | perl -ne 'print pack("H64", $_)' >> small.ckpt
    expect_refusal "small.ckpt (scenario):2:6: grid.nx = 3 is too small: the model's stencils need at least 4 points in x" \
      --restart small.ckpt
    # The snapshot file: missing, shorter, altered within the recorded bytes.
    length=$(stat -c %s "$file")
    expect_refusal "other.dat: cannot read the snapshot file of ./$ckpt: No such file or directory" \
      --restart "./$ckpt" --output other.dat
    head -c $((length - 1)) "$file" > short.dat
    expect_refusal "short.dat: the snapshot file holds $((length - 1)) bytes, fewer than the $length that $ckpt recorded" \
      --restart "$ckpt" --output short.dat
    cp "$file" altered.dat
    printf '\x7f' | dd of=altered.dat bs=1 seek=5000 conv=notrunc status=none
    # The CRC-32 of gzip's trailer, and the one the checkpoint holds after
    # the pass, nx, ny and the length.
    found=$(gzip -c < altered.dat | tail -c 8 | od -An -tx4 -N4 | tr -d ' ')
    p=$(u32 "$ckpt" 12)
    s=$(u32 "$ckpt" $((16 + p)))
    recorded=$(od -An -tx4 -j $((20 + p + s + 20)) -N4 "$ckpt" | tr -d ' ')
    expect_refusal "altered.dat: the first $length bytes of the snapshot file are not those that $ckpt recorded (CRC-32 $found, not $recorded)" \
      --restart "$ckpt" --output altered.dat
    # Options that do not go together, or lack their value.
    expect_refusal "--scenario cannot be given with --restart: the checkpoint holds the run's scenario" hint \
      --restart "$ckpt" --scenario case.toml
    expect_refusal "--restart: the path is empty" hint --restart ''
    expect_refusal "--checkpoint: the path is empty" hint --checkpoint ''
    for seconds in 0 -5 1.5 x 2147483648; do
      expect_refusal "--checkpoint-every: '$seconds' is not a whole number of seconds from 1 to 2147483647" hint \
        --checkpoint-every "$seconds"
    done
    # The snapshot file, or the checkpoint's temporary file, in the place of
    # the checkpoint being restarted.
    expect_refusal "the snapshot file $ckpt is the checkpoint being restarted; give --output another path" \
      --restart "$ckpt" --output "$ckpt"
    expect_refusal "the checkpoint $file is the snapshot file; give --checkpoint another path" \
      --restart "$ckpt" --checkpoint "$file"
    cp "$ckpt" held.tmp
    expect_refusal "the checkpoint's temporary file held.tmp is the checkpoint being restarted; give --checkpoint another path" \
      --restart held.tmp --checkpoint held
    ;;

  *)
    echo "unknown case: $case_name" >&2
    exit 2
    ;;
esac
finish
