#!/usr/bin/env bash
# Runs a command with its output held back: nothing is shown when it
# succeeds; when it fails, its whole output goes to standard error and the
# script exits with the command's status.
# Usage: scripts/quietly.sh COMMAND [ARG...]
set -uo pipefail
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
"$@" >"$log" 2>&1 && exit 0
status=$?
cat "$log" >&2
echo "failed (status $status): $*" >&2
exit "$status"
