#!/usr/bin/env bash
# Builds the simulation (preset release: optimised for this CPU, in build/)
# and runs it in the current directory: the progress log goes to standard
# output and the snapshots to ./test_withPollutant.dat. Its options go to the
# program (see plume --help). The build's output is shown only if it fails.
set -euo pipefail
src="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$src/scripts/install-deps.sh" cmake make g++ libcli11-dev libtomlplusplus-dev zlib1g-dev libisal-dev nettle-dev pkg-config libgtest-dev libnetcdf-dev
(
  cd "$src"
  scripts/quietly.sh cmake --preset release
  scripts/quietly.sh cmake --build --preset release --target plume -j "$(nproc)"
)
exec "$src/build/driver/plume" "$@"
