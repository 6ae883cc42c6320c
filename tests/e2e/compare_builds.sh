#!/usr/bin/env bash
# The host-tuned build, the portable (baseline x86-64) build, the two-thread
# build and the host-tuned clang++ build must write the same bytes: builds the
# shortened run each way and compares a run of PASSES passes (default 300, one
# snapshot) with the host-tuned build's.
# Usage: compare_builds.sh SOURCE_DIR WORK_DIR [PASSES]
set -euo pipefail
src="$1" work="$2" passes="${3:-300}"
jobs="$(nproc)"
kinds=(native portable threads clang)
if ! command -v clang++ >/dev/null; then
  echo "compare_builds.sh: clang++ not found (Debian: apt-get install clang)" >&2
  exit 1
fi
for kind in "${kinds[@]}"; do
  portable=OFF threads=1 compiler=()
  [ "$kind" = portable ] && portable=ON
  [ "$kind" = threads ] && threads=2
  [ "$kind" = clang ] && compiler=(-DCMAKE_CXX_COMPILER=clang++)
  cmake -S "$src" -B "$work/build-$kind" -DCMAKE_BUILD_TYPE=Release -DPLUME_PORTABLE=$portable \
    -DPLUME_THREADS=$threads -DPLUME_TOOLS=OFF -DPLUME_BENCH=OFF "${compiler[@]}" >/dev/null
  cmake --build "$work/build-$kind" --target plume_short_run -j "$jobs" >/dev/null
  rm -rf "$work/out-$kind"
  mkdir -p "$work/out-$kind"
  "$work/build-$kind/tests/e2e/plume_short_run" "$work/out-$kind" "$passes"
done
status=0
for kind in "${kinds[@]:1}"; do
  for f in console.log test_withPollutant.dat; do
    if cmp "$work/out-native/$f" "$work/out-$kind/$f"; then
      echo "$kind build, $f: identical ($(stat -c %s "$work/out-native/$f") bytes)"
    else
      echo "$kind build, $f: differs from the host-tuned build's" >&2
      status=1
    fi
  done
done
exit $status
