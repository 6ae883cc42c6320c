#!/usr/bin/env bash
# Builds everything and runs every test: unit tests, the complete run checked
# against its known hashes, the program over several processes with MPI
# against the build without it, and the sanitizer build.
set -euo pipefail
src="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
jobs="$(nproc)"
# clang (which brings clang++) builds the fuzz target and the clang++ build of
# the build comparison.
"$src/scripts/install-deps.sh" cmake make g++ libcli11-dev libtomlplusplus-dev zlib1g-dev libisal-dev nettle-dev libgtest-dev libbenchmark-dev \
  pkg-config libnetcdf-dev libnetcdf-mpi-dev netcdf-bin nco cdo clang libclang-rt-14-dev \
  python3-numpy python3-matplotlib python3-pil python3-netcdf4 python3-xarray python3-dask libopenmpi-dev openmpi-bin clang-format
# A decimal-comma locale for the test that the log's layout ignores the C
# locale (root only; otherwise that test skips and says why).
"$src/scripts/install-comma-locale.sh"

# The C++ lines this change touches follow .clang-format (the commits since
# the branch left origin/main, or the last commit; see the script). A
# failure is reported at the end, after every test has run.
echo "== format of the changed lines"
format_ok=true
"$src/scripts/check-format.sh" || format_ok=false

cd "$src"
quietly="$src/scripts/quietly.sh"

# The presets are in CMakePresets.json; each configure prints its output only
# when it fails.
echo "== optimised build and tests (preset release, in build/)"
"$quietly" cmake --preset release -DPLUME_REQUIRE_NETCDF=ON -DPLUME_REQUIRE_PYTHON_TOOLS=ON
cmake --build --preset release -j "$jobs"
ctest --preset release -j "$jobs"

# The same program built with MPI (preset mpi), run by mpirun on 1 to 4
# processes in every layout, each run's bytes against the build above; its
# step on random states; the reference run on two processes; refusals,
# failures and restarts across layouts (tests/mpi/).
echo "== the program over several processes with MPI (preset mpi)"
"$quietly" cmake --preset mpi -DPLUME_SERIAL_EXECUTABLE="$src/build/driver/plume"
cmake --build --preset mpi -j "$jobs"
ctest --preset mpi -j "$jobs"

echo "== host-tuned, portable and clang++ builds, on 1 to 3 threads, write the same bytes"
"$src/tests/e2e/compare_builds.sh" "$src" "$src/build-compare" 300

echo "== snapshot reader fuzz target: seed replay and a short run"
"$src/tools/fuzz/run.sh" 20

# The library, the unit tests and the shortened run (300 passes, one
# snapshot, checked against a good run) again with AddressSanitizer and
# UndefinedBehaviorSanitizer (preset sanitize; the runtimes come with g++).
# Any report fails the test that made it.
echo "== sanitizer build: unit tests and the shortened run (preset sanitize)"
"$quietly" cmake --preset sanitize
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize -j "$jobs"

"$format_ok" || { echo "test.sh: the format check failed (see its report above)" >&2; exit 1; }
