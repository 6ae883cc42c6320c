# The helpers of the end-to-end scripts (sourced, not run). The sourcing
# script sets case_name, the case it runs, before calling them.
#
#   fail MESSAGE...       counts a failure and says what failed
#   launch COMMAND...     runs the command with the caller's redirections,
#                         whatever its status; sets status and elapsed_ms.
#                         With launch_limit set (seconds), a command still
#                         running then is stopped, and counted as a failure
#   expect_status N       the last status must be N; the message adds the
#                         file named by stderr_file, when set
#   finish                the script's end: "CASE: ok" and status 0 when
#                         nothing failed, status 1 otherwise

failures=0

fail() {
  echo "FAIL ($case_name): $*" >&2
  failures=$((failures + 1))
}

launch() {
  local start end
  start=$(date +%s%N)
  set +e
  if [ -n "${launch_limit:-}" ]; then
    timeout "$launch_limit" "$@"
  else
    "$@"
  fi
  status=$?
  set -e
  end=$(date +%s%N)
  elapsed_ms=$(((end - start) / 1000000))
  if [ -n "${launch_limit:-}" ] && [ "$status" -eq 124 ]; then
    fail "$* was still running after $launch_limit s"
  fi
  return 0
}

expect_status() {
  local detail=""
  [ -n "${stderr_file:-}" ] && [ -r "$stderr_file" ] && detail="; stderr: $(cat "$stderr_file")"
  [ "$status" -eq "$1" ] || fail "exit status $status, expected $1$detail"
}

finish() {
  [ "$failures" -eq 0 ] || exit 1
  echo "$case_name: ok"
}
