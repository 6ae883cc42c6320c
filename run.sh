#!/usr/bin/env bash
# Builds the simulation (optimised for this CPU) and runs it in the current
# directory: the progress log goes to standard output and the snapshots to
# ./test_withPollutant.dat. Its options go to the program (see plume --help).
set -euo pipefail
src="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$src/scripts/install-deps.sh" cmake make g++ libcli11-dev libtomlplusplus-dev zlib1g-dev nettle-dev pkg-config
cmake -S "$src" -B "$src/build" -DCMAKE_BUILD_TYPE=Release -DPLUME_TESTS=OFF -DPLUME_TOOLS=OFF -DPLUME_BENCH=OFF >/dev/null
cmake --build "$src/build" --target plume -j "$(nproc)" >/dev/null
exec "$src/build/driver/plume" "$@"
