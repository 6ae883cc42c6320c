#!/usr/bin/env bash
# The portable (baseline x86-64) build and the host-tuned build must write
# the same bytes: builds the shortened run both ways and compares a run of
# PASSES passes (default 300, one snapshot).
# Usage: compare_builds.sh SOURCE_DIR WORK_DIR [PASSES]
set -euo pipefail
src="$1" work="$2" passes="${3:-300}"
jobs="$(nproc)"
for kind in native portable; do
  portable=OFF
  [ "$kind" = portable ] && portable=ON
  cmake -S "$src" -B "$work/build-$kind" -DCMAKE_BUILD_TYPE=Release -DPLUME_PORTABLE=$portable \
    -DPLUME_TOOLS=OFF -DPLUME_BENCH=OFF >/dev/null
  cmake --build "$work/build-$kind" --target plume_short_run -j "$jobs" >/dev/null
  rm -rf "$work/out-$kind"
  mkdir -p "$work/out-$kind"
  "$work/build-$kind/tests/e2e/plume_short_run" "$work/out-$kind" "$passes"
done
status=0
for f in console.log test_withPollutant.dat; do
  if cmp "$work/out-native/$f" "$work/out-portable/$f"; then
    echo "$f: identical ($(stat -c %s "$work/out-native/$f") bytes, sha256 $(sha256sum < "$work/out-native/$f" | cut -c1-16)...)"
  else
    status=1
  fi
done
exit $status
