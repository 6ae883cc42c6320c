#!/usr/bin/env bash
# The progress line of the real executable. On a terminal (a pseudo-terminal
# made by script(1)) the run keeps one line up to date on standard error;
# elsewhere it prints nothing there unless --progress asks for plain lines;
# --no-progress turns it off; a standard error that refuses it does not stop
# the run. Whatever the setting, standard output and the snapshot file are
# the same bytes as a run that shows no progress.
#
# Usage: progress.sh PLUME_EXECUTABLE CASE
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exe="$(realpath "$1")" case_name="$2"
[ -x "$exe" ] || { echo "not an executable: $exe" >&2; exit 2; }
command -v script > /dev/null || { echo "script (util-linux/bsdutils) is needed" >&2; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
file=test_withPollutant.dat

# Six hours of the reference grid with the sources emitting from the start,
# every half hour: long enough (more than a second: a clean grid's passes are
# too quick now) for the line to be redrawn on the way, with a few snapshots.
cat > case.toml << 'EOF'
[time]
duration_s = 21600
snapshot_every_s = 7200.0

[emission]
first_s = 0
every_s = 1800.0
EOF
last=21600
# A progress line as the meter writes it.
line_re='[0-9]+\.[0-9]%  ([0-9:]+|\?) left  [0-9:]+ elapsed  (\?|[0-9.]+) passes/s  pass [0-9]+/'$last'  t=[0-9]+:[0-9]{2}:[0-9]{2}  [0-9]+ snapshots?'
final_re='100\.0%  0:00 left  [0-9:]+ elapsed  [0-9.]+ passes/s  pass '$last/$last'  t=6:00:00  4 snapshots'

# The run without progress: the log and snapshots every other run must match.
mkdir plain
(cd plain && "$exe" --scenario ../case.toml --no-progress > log 2> err) || fail "the plain run failed: $(cat plain/err)"
[ ! -s plain/err ] || fail "the plain run wrote to standard error: $(cat plain/err)"

# In a fresh directory NAME, runs the program under a pseudo-terminal of 200
# columns: the command line (a shell command, its options after "plume") may
# redirect standard output; what the terminal received goes to
# NAME/terminal.
on_terminal() { # NAME SHELL-WORDS
  local name="$1" words="$2"
  mkdir "$name"
  launch script -qefc "stty cols 200 && cd $name && '$exe' --scenario ../case.toml $words" /dev/null \
    < /dev/null > "$name/terminal"
  expect_status 0
}
# In the directory NAME, runs the program with the caller's redirections.
in_dir() { # NAME OPTIONS...
  local name="$1"
  shift
  cd "$name"
  launch "$exe" --scenario ../case.toml "$@"
  cd ..
}
# NAME's log and snapshot file against the plain run's.
expect_same_output() { # NAME WHAT
  cmp -s "$1/log" plain/log || fail "$2: the log differs from a run without progress"
  cmp -s "$1/$file" "plain/$file" || fail "$2: the snapshot file differs from a run without progress"
}
# The terminal's bytes with every drawn or erased progress line taken out,
# and its line ends as the program wrote them.
without_progress() { perl -0pe 's/\r[^\r\n]*\e\[K//g; s/\r\n/\n/g' "$1"; }

case "$case_name" in
  terminal)
    # Standard output to a file, standard error the terminal.
    on_terminal term "> log"
    expect_same_output term "on a terminal"
    grep -aq 'Step/timing' term/terminal && fail "the log reached the terminal"
    # Each drawn line: a carriage return, the line, clear to the end of line.
    drawn="$(perl -ne 'print "$1\n" while /\r([^\r\n\e]+)\e\[K/g' term/terminal)"
    [ -n "$drawn" ] || fail "no progress line on the terminal: $(od -c term/terminal | head)"
    echo "$drawn" | grep -Evq "^($line_re)\$" &&
      fail "a line is not a progress line: $(echo "$drawn" | grep -Ev "^($line_re)\$" | head -1)"
    [ "$(echo "$drawn" | wc -l)" -ge 2 ] || fail "the line was not redrawn on the way: $drawn"
    echo "$drawn" | tail -1 | grep -Eq "^($final_re)\$" || fail "the last line is not the end: $(echo "$drawn" | tail -1)"
    # The run ends the line: the terminal's last bytes are a line end.
    [ "$(tail -c 2 term/terminal | od -An -c | tr -d ' ')" = '\r\n' ] || fail "the line is not ended"
    [ "$(without_progress term/terminal)" = "" ] || fail "other bytes on the terminal: $(without_progress term/terminal | head -3)"
    echo "terminal: $(echo "$drawn" | wc -l) lines drawn; the last: $(echo "$drawn" | tail -1)"
    ;;

  shared_terminal)
    # Standard output on the same terminal: the line steps aside for each
    # log line, so that without it the terminal shows the log as it is.
    on_terminal shared ""
    [ "$(without_progress shared/terminal)" = "$(cat plain/log)" ] ||
      fail "the terminal without the progress line is not the log: $(diff <(without_progress shared/terminal) plain/log | head -5)"
    cmp -s "shared/$file" "plain/$file" || fail "the snapshot file differs from a run without progress"
    grep -aEq $'\r'"($final_re)"$'\e\\[K' shared/terminal || fail "no final progress line"
    ;;

  no_progress)
    on_terminal off "--no-progress > log"
    expect_same_output off "--no-progress on a terminal"
    [ ! -s off/terminal ] || fail "--no-progress wrote to the terminal: $(head -c 200 off/terminal | od -c | head -3)"
    ;;

  not_a_terminal)
    # A batch job's log: nothing on standard error.
    mkdir batch
    in_dir batch > batch/log 2> batch/err
    expect_status 0
    expect_same_output batch "standard error a file"
    [ ! -s batch/err ] || fail "standard error not empty: $(head -3 batch/err)"
    ;;

  periodic)
    # Plain lines, whatever standard error is, the last one at the end.
    mkdir every
    in_dir every --progress 1 > every/log 2> every/err
    expect_status 0
    expect_same_output every "--progress 1"
    grep -Evq "^plume: ($line_re)\$" every/err && fail "not a progress line: $(grep -Ev "^plume: ($line_re)\$" every/err | head -1)"
    tail -1 every/err | grep -Eq "^plume: ($final_re)\$" || fail "the last line is not the end: $(tail -1 every/err)"
    grep -q $'\r\|\e' every/err && fail "control characters in plain lines"
    echo "periodic: $(tail -1 every/err)"
    # On a terminal too.
    on_terminal tty_every "--progress 1 > log"
    expect_same_output tty_every "--progress 1 on a terminal"
    without_progress tty_every/terminal | tail -1 | grep -Eq "^plume: ($final_re)\$" ||
      fail "no plain final line on the terminal"
    ;;

  stderr_refuses)
    # A full device and a closed standard error: the run goes on, its
    # outputs whole; nothing goes into a file that takes standard error's
    # number.
    mkdir full closed
    in_dir full --progress 1 > full/log 2> /dev/full
    expect_status 0
    expect_same_output full "standard error on a full device"
    in_dir closed --progress 1 > closed/log 2>&-
    expect_status 0
    expect_same_output closed "standard error closed"
    ;;

  *)
    echo "unknown case: $case_name" >&2
    exit 2
    ;;
esac
finish
