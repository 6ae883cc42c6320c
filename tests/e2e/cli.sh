#!/usr/bin/env bash
# The command line of the real executable: help, version, the printed
# scenario, the options that run a case, and every refusal. Each case runs in
# a fresh temporary directory that holds a snapshot file of an "earlier run";
# a case that does not run the model must leave that file and the directory
# exactly as they were.
#
# Usage: cli.sh PLUME_EXECUTABLE EXAMPLES_DIR CASE
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exe="$(realpath "$1")" examples="$(realpath "$2")" case_name="$3"
[ -x "$exe" ] || { echo "not an executable: $exe" >&2; exit 2; }

file=test_withPollutant.dat
hint="Usage: plume [OPTIONS]; run 'plume --help' for the options."
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# The program runs in $work/run; the test's own files stay in $work.
mkdir "$work/run"
cd "$work/run"
printf 'records of an earlier run\n' > "$file"
touch -d '2020-01-01 00:00:00' "$file"

stderr_file="$work/err"

# The directory's state: every name with its size, time and content hash.
state() { find . -printf '%p %s %T@\n' | sort; sha256sum "$file"; }
before="$(state)"
expect_untouched() { [ "$(state)" = "$before" ] || fail "files were created or changed: $(ls -la)"; }

# Runs the program with the given arguments; the status goes to $status.
run_plume() { launch "$exe" "$@" > "$work/out" 2> "$work/err"; }
out() { cat "$work/out"; }
err() { cat "$work/err"; }

# A refusal of the command line: exit 2, the message and the usage hint on
# standard error, nothing on standard output, no file touched.
expect_usage_error() {
  expect_status 2
  [ -z "$(out)" ] || fail "standard output not empty: $(out)"
  [ "$(err | wc -l)" -eq 2 ] || fail "expected two lines on standard error, got: $(err)"
  err | head -1 | grep -Eq "^plume: $1\$" || fail "message '$(err | head -1)' does not match '$1'"
  [ "$(err | tail -1)" = "$hint" ] || fail "no usage hint: $(err | tail -1)"
  expect_untouched
}
# A refused scenario: exit 2, one line, no file touched.
expect_scenario_error() {
  expect_status 2
  [ -z "$(out)" ] || fail "standard output not empty: $(out)"
  [ "$(err | wc -l)" -eq 1 ] || fail "expected one line on standard error, got: $(err)"
  err | grep -Eq "^plume: $1\$" || fail "message '$(err)' does not match '$1'"
  expect_untouched
}

case "$case_name" in
  help)
    for option in --help -h; do
      run_plume "$option"
      expect_status 0
      out | grep -q '^Usage: plume \[OPTIONS\]' || fail "$option: no usage line: $(out)"
      for o in --version --threads --output --scenario --print-scenario --checkpoint-every --checkpoint --restart \
        --progress --no-progress; do
        out | grep -q -- "$o" || fail "$option: $o is not described"
      done
      [ -z "$(err)" ] || fail "$option: standard error not empty: $(err)"
      expect_untouched
    done
    ;;

  version)
    run_plume --version
    expect_status 0
    out | grep -Eq '^plume [0-9]+\.[0-9]+' || fail "no version: $(out)"
    expect_untouched
    ;;

  print_scenario)
    # With no scenario, the reference case, every key written out; the same
    # text from the reference example and from the printed text read back.
    run_plume --print-scenario
    expect_status 0
    out > "$work/printed.toml"
    run_plume --scenario "$examples/reference.toml" --print-scenario
    expect_status 0
    [ "$(out)" = "$(cat "$work/printed.toml")" ] || fail "the reference example prints differently: $(out)"
    run_plume --scenario "$work/printed.toml" --print-scenario
    expect_status 0
    [ "$(out)" = "$(cat "$work/printed.toml")" ] || fail "the printed scenario does not read back to itself"
    for key in nx ny spacing_m duration_s progress_every snapshot_every_s speed_m_s towards_deg first_s every_s \
      x_m y_m radius_m peak; do
      grep -q "^$key = " "$work/printed.toml" || fail "key $key is not printed"
    done
        expect_untouched
    ;;

  printed_scenario_runs_the_same)
    # The small example and its printed form give the same log and bytes.
    "$exe" --scenario "$examples/small.toml" --print-scenario > printed.toml
    mkdir a b
    (cd a && "$exe" --scenario "$examples/small.toml" > log)
    (cd b && "$exe" --scenario ../printed.toml > log)
    cmp a/log b/log || fail "the logs differ"
    cmp a/$file b/$file || fail "the snapshot files differ"
    [ "$(stat -c %s a/$file)" -eq $((13 * 7 * (61 * 41 * 4 + 8))) ] || fail "unexpected snapshot file size"
    ;;

  output_and_threads)
    # --output writes there and leaves the default file alone; the thread
    # count does not change a byte.
    "$exe" --scenario "$examples/small.toml" --output one.dat --threads 1 > log1
    "$exe" --scenario "$examples/small.toml" --output=three.dat --threads=3 > log3
    cmp log1 log3 || fail "the logs differ"
    cmp one.dat three.dat || fail "the snapshot files differ between 1 and 3 threads"
    [ "$(sha256sum < "$file")" = "$(printf 'records of an earlier run\n' | sha256sum)" ] || fail "the default file changed"
    ;;

  bad_options)
    run_plume --bogus
    expect_usage_error 'The following argument was not expected: --bogus'
    run_plume stray
    expect_usage_error 'The following argument was not expected: stray'
    run_plume --scenario
    expect_usage_error '--scenario: 1 required FILE missing'
    run_plume --output
    expect_usage_error '--output: 1 required PATH missing'
    run_plume --threads
    expect_usage_error '--threads: 1 required N missing'
    for n in 0 -1 2x '' 1025 99999999999; do
      run_plume --threads "$n"
      expect_usage_error "--threads: '$n' is not a whole number from 1 to 1024"
    done
    run_plume --output ''
    expect_usage_error '--output: the path is empty'
    for n in 0 -1 1.5 ''; do
      run_plume --progress "$n"
      expect_usage_error "--progress: '$n' is not a whole number of seconds from 1 to 2147483647"
    done
    run_plume --progress 5 --no-progress
    expect_usage_error '--progress excludes --no-progress'
    run_plume --scenario "$examples/small.toml" --print-scenario --output x.dat extra
    expect_usage_error 'The following argument was not expected: extra'
    ;;

  bad_scenario)
    # One refusal of each kind the program reports itself; the parser's
    # unit tests cover every class of bad content.
    run_plume --scenario missing.toml
    expect_scenario_error 'missing\.toml: cannot read the scenario: No such file or directory'
    run_plume --scenario .
    expect_scenario_error '\.: cannot read the scenario: Is a directory'
    printf '[grid]\nnx = 61\n[wind]\nspeed = 3.0\n' > "$work/typo.toml"
    run_plume --scenario "$work/typo.toml" --print-scenario
    expect_scenario_error ".*/typo\.toml:4:1: unknown key 'speed' in \[wind\]; its keys are speed_m_s, towards_deg"
    printf 'this is not TOML\n' > "$work/bad.toml"
    run_plume --scenario "$work/bad.toml"
    expect_scenario_error '.*/bad\.toml:1:[0-9]+: not a TOML file: .+'
    printf '[grid]\nspacing_m = 600.0\n' > "$work/unstable.toml"
    run_plume --scenario "$work/unstable.toml"
    expect_scenario_error '.*/unstable\.toml:2:13: grid\.spacing_m = 600 m makes the momentum equations unstable: .+'
    ;;

  clobbered_files)
    # An output in the place of an input or of the other output, under its
    # own name, another link or another spelling, is refused before anything
    # is written.
    printf '[time]\nduration_s = 10\n' > case.toml
    ln case.toml linked.toml
    cp case.toml held.tmp
    : > log
    before="$(state)"
    run_plume --scenario case.toml --output case.toml
    expect_scenario_error 'the snapshot file case\.toml is the scenario file; give --output another path'
    run_plume --scenario case.toml --output linked.toml
    expect_scenario_error 'the snapshot file linked\.toml is the scenario file; give --output another path'
    run_plume --scenario case.toml --checkpoint ./case.toml
    expect_scenario_error 'the checkpoint \./case\.toml is the scenario file; give --checkpoint another path'
    run_plume --scenario case.toml --output new.dat --checkpoint sub/../new.dat
    expect_scenario_error 'the checkpoint sub/\.\./new\.dat is the snapshot file; give --checkpoint another path'
    run_plume --scenario held.tmp --checkpoint held
    expect_scenario_error "the checkpoint's temporary file held\.tmp is the scenario file; give --checkpoint another path"
    set +e
    "$exe" --scenario case.toml --checkpoint log > "$work/err" 2>&1 >> log
    status=$?
    set -e
    : > "$work/out"
    expect_scenario_error 'cannot open log: standard output goes to the same file'
    ;;

  grid_beyond_memory)
    # Refused from the sizes alone, before anything is allocated.
    printf '\n[grid]\nnx = 200000\nny = 200000\n' > "$work/huge.toml"
    run_plume --scenario "$work/huge.toml"
    expect_scenario_error '.*/huge\.toml:2:1: a grid of 200000 x 200000 points needs [0-9]+ bytes, more than the [0-9]+ bytes of memory available'
    ;;

  *)
    echo "unknown case: $case_name" >&2
    exit 2
    ;;
esac
finish
