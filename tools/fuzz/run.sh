#!/usr/bin/env bash
# Builds the snapshot reader's fuzz target with clang (libFuzzer, ASan, UBSan)
# in build-fuzz/ (preset fuzz: the project with PLUME_FUZZ=ON) and
#   run.sh           replays the committed seed corpus once;
#   run.sh SECONDS   replays it, then fuzzes for SECONDS. New inputs go to
#                    build-fuzz/corpus (the committed seeds stay as they are),
#                    crashing inputs to build-fuzz/crash-*.
# Extra libFuzzer flags can follow the seconds, e.g. run.sh 600 -jobs=2.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
src="$(cd "$here/../.." && pwd)"
build="${PLUME_FUZZ_BUILD:-$src/build-fuzz}"
seconds="${1:-0}"
shift || true
case "$seconds" in (*[!0-9]*|'') echo "usage: $0 [SECONDS [libFuzzer flags]]" >&2; exit 2;; esac

"$src/scripts/quietly.sh" cmake -S "$src" --preset fuzz -B "$build"
"$src/scripts/quietly.sh" cmake --build "$build" --target fuzz_snapshot_reader -j "$(nproc)"
fuzzer="$build/tools/fuzz/fuzz_snapshot_reader"

echo "== replaying the $(ls "$here/corpus" | wc -l) seed inputs"
if ! "$fuzzer" -runs=0 "$here/corpus" >"$build/replay.log" 2>&1; then
  tail -n 40 "$build/replay.log" >&2
  exit 1
fi
grep -E "DONE" "$build/replay.log"

if [ "$seconds" -gt 0 ]; then
  echo "== fuzzing for ${seconds} s"
  mkdir -p "$build/corpus"
  "$fuzzer" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$build/" "$@" "$build/corpus" "$here/corpus" 2>"$build/fuzz.log" || {
    tail -n 40 "$build/fuzz.log" >&2
    exit 1
  }
  grep -E "^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)|^#[0-9]+ *DONE" "$build/fuzz.log" || true
  echo "corpus: $(ls "$build/corpus" | wc -l) inputs in $build/corpus"
fi
