#!/usr/bin/env bash
# Configuring for a processor other than x86-64 (here aarch64, named by a
# cross toolchain file that keeps the host compiler) must stop, with a
# failing status and the line that says why, before anything is generated.
# Usage: other_processor.sh CMAKE SOURCE_DIR
set -euo pipefail
cmake="$1" src="$2"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
printf 'set(CMAKE_SYSTEM_NAME Linux)\nset(CMAKE_SYSTEM_PROCESSOR aarch64)\n' >"$tmp/aarch64.cmake"
if "$cmake" -S "$src" -B "$tmp/build" -DCMAKE_TOOLCHAIN_FILE="$tmp/aarch64.cmake" \
     -DPLUME_TESTS=OFF -DPLUME_TOOLS=OFF -DPLUME_BENCH=OFF >"$tmp/out.log" 2>"$tmp/err.log"; then
  echo "other_processor: configuring for aarch64 succeeded" >&2
  exit 1
fi
expected="plume builds only for x86-64 (SSE FTZ/DAZ, -march), not aarch64"
if ! grep -qxF "  $expected" "$tmp/err.log"; then
  echo "other_processor: configure failed without the line '$expected':" >&2
  cat "$tmp/err.log" >&2
  exit 1
fi
if [ -e "$tmp/build/Makefile" ] || [ -e "$tmp/build/build.ninja" ]; then
  echo "other_processor: configure generated a build system" >&2
  exit 1
fi
echo "configure for aarch64 stopped: $expected"
