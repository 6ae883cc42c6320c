#!/usr/bin/env bash
# Builds everything and runs every test: unit tests, the complete run checked
# against its known hashes, and the sanitizer build.
set -euo pipefail
src="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
jobs="$(nproc)"
"$src/scripts/install-deps.sh" cmake make g++ libgtest-dev libbenchmark-dev

echo "== optimised build and tests"
cmake -S "$src" -B "$src/build-test" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$src/build-test" -j "$jobs"
ctest --test-dir "$src/build-test" --output-on-failure -j "$jobs"

echo "== host-tuned, portable and two-thread builds write the same bytes"
"$src/tests/e2e/compare_builds.sh" "$src" "$src/build-compare" 300
