#!/usr/bin/env bash
# Where a run's time goes between its threads and the system's run queue:
# runs of the program beside a busy loop pinned to the first core (as
# bench/busy_core.sh's busy cases), each thread's time on a core and time
# waiting on a run queue, runnable but not running (the first two numbers
# of /proc/PID/task/TID/schedstat, read every 5 ms while the run lasts and
# taken as they last stood). A run whose calling thread waits as long
# under the default settings as under --threads 1 loses the same time to
# the machine whatever its team does.
#
# The reading costs a little of the core that the run's calling thread
# uses: compare runs measured the same way, not these times with those of
# bench/busy_core.sh.
#
# Usage: bench/run_queue.sh PLUME_EXECUTABLE RUNS PLUME_OPTIONS...
#   e.g. bench/run_queue.sh build/driver/plume 10 --scenario bench/cases/middle_long.toml --threads 1
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exe="$(realpath "$1")" runs="$2"
shift 2
dir="$(mktemp -d)"
trap 'busy_core_stop; rm -rf "$dir"' EXIT
busy_core_start
echo "program: $exe $*"
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
# A pause of 5 ms without starting a process: a read that times out.
exec {pause_fd}<> <(:)
ms_of() { awk -v ns="$1" 'BEGIN { printf "%.0f", ns / 1e6 }'; }
for ((r = 1; r <= runs; r++)); do
  settle_writeback
  start="$EPOCHREALTIME"
  (cd "$dir" && exec "$exe" "$@" > log.txt) &
  pid=$!
  declare -A last=()
  while [ -d "/proc/$pid/task" ]; do
    for task in "/proc/$pid/task/"*; do
      read -r on waiting _ < "$task/schedstat" 2> /dev/null && last[${task##*/}]="$on $waiting"
    done
    read -r -t 0.005 -u "$pause_fd" _ || true
  done
  wait "$pid" || { echo "run $r failed" >&2; exit 1; }
  line="run $r: $(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }') s"
  # The calling thread first (its id is the process's), then the others.
  for task in "$pid" $(printf '%s\n' "${!last[@]}" | grep -vx "$pid" | sort -n); do
    [ -n "${last[$task]:-}" ] || continue
    read -r on waiting <<< "${last[$task]}"
    name=$([ "$task" = "$pid" ] && echo "calling thread" || echo "thread $task")
    line+="; $name on a core $(ms_of "$on") ms, waiting $(ms_of "$waiting") ms"
  done
  echo "$line"
  unset last
done
