#!/usr/bin/env bash
# Runs the complete 16-hour simulation in a fresh directory: the console log
# goes to OUTDIR/console.log, the snapshots to OUTDIR/test_withPollutant.dat.
# Usage: complete_run.sh PLUME_EXECUTABLE OUTDIR [OPTION...]
#   the options are handed to the program (a scenario, say).
set -euo pipefail
exe="$1" out="$2"
shift 2
rm -rf "$out"
mkdir -p "$out"
cd "$out"
start=$(date +%s%N)
"$exe" "$@" > console.log
end=$(date +%s%N)
echo "complete run took $(( (end - start) / 1000000 )) ms"
