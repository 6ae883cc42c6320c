#!/usr/bin/env bash
# The host-tuned build, the portable (baseline x86-64) build and the
# two-thread build must write the same bytes: builds the shortened run each
# way and compares a run of PASSES passes (default 300, one snapshot).
# Usage: compare_builds.sh SOURCE_DIR WORK_DIR [PASSES]
set -euo pipefail
src="$1" work="$2" passes="${3:-300}"
jobs="$(nproc)"
for kind in native portable threads; do
  portable=OFF threads=1
  [ "$kind" = portable ] && portable=ON
  [ "$kind" = threads ] && threads=2
  cmake -S "$src" -B "$work/build-$kind" -DCMAKE_BUILD_TYPE=Release -DPLUME_PORTABLE=$portable \
    -DPLUME_THREADS=$threads -DPLUME_TOOLS=OFF -DPLUME_BENCH=OFF >/dev/null
  cmake --build "$work/build-$kind" --target plume_short_run -j "$jobs" >/dev/null
  rm -rf "$work/out-$kind"
  mkdir -p "$work/out-$kind"
  "$work/build-$kind/tests/e2e/plume_short_run" "$work/out-$kind" "$passes"
done
status=0
for kind in portable threads; do
  for f in console.log test_withPollutant.dat; do
    if cmp "$work/out-native/$f" "$work/out-$kind/$f"; then
      echo "$kind build, $f: identical ($(stat -c %s "$work/out-native/$f") bytes)"
    else
      status=1
    fi
  done
done
exit $status
