#!/usr/bin/env bash
# The host-tuned build, the portable (baseline x86-64) build and the
# host-tuned clang++ build must write the same bytes, and so must every
# thread count: builds the shortened run and the program with the presets
# release, portable and clang (in build/, build-portable/, build-clang/) and
# compares, with the host-tuned build's runs on one thread, a run of the
# reference case cut at PASSES passes (default 300, one snapshot, no
# pollutant yet) and a run of the small example scenario (two hours with
# three sources emitting from the first hour). The runs' files go to
# WORK_DIR.
# Usage: compare_builds.sh SOURCE_DIR WORK_DIR [PASSES]
set -euo pipefail
src="$(cd "$1" && pwd)" work="$2" passes="${3:-300}"
jobs="$(nproc)"
if ! command -v clang++ >/dev/null; then
  echo "compare_builds.sh: clang++ not found (Debian: apt-get install clang)" >&2
  exit 1
fi
declare -A build_dir=([native]="$src/build" [portable]="$src/build-portable" [clang]="$src/build-clang")
declare -A preset=([native]=release [portable]=portable [clang]=clang)
for build in native portable clang; do
  (
    cd "$src"
    scripts/quietly.sh cmake --preset "${preset[$build]}"
    scripts/quietly.sh cmake --build --preset "${preset[$build]}" --target plume_short_run plume -j "$jobs"
  )
done
# Each run: its name, the build, the thread count.
runs=("native-1 native 1" "native-2 native 2" "native-3 native 3" "portable portable 1" "clang clang 2")
for run in "${runs[@]}"; do
  read -r name build threads <<< "$run"
  rm -rf "$work/out-$name"
  mkdir -p "$work/out-$name"
  "${build_dir[$build]}/tests/e2e/plume_short_run" "$work/out-$name" "$passes" "$threads"
  "${build_dir[$build]}/driver/plume" --scenario "$src/examples/small.toml" --threads "$threads" \
    --output "$work/out-$name/small.dat" > "$work/out-$name/small.log"
done
status=0
for run in "${runs[@]:1}"; do
  read -r name build threads <<< "$run"
  for f in console.log test_withPollutant.dat small.log small.dat; do
    if cmp "$work/out-native-1/$f" "$work/out-$name/$f"; then
      echo "$build build, $threads thread(s), $f: identical ($(stat -c %s "$work/out-native-1/$f") bytes)"
    else
      echo "$build build, $threads thread(s), $f: differs from the host-tuned build's on one thread" >&2
      status=1
    fi
  done
done
exit $status
