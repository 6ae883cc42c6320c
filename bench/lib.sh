# The helpers of the benchmark scripts (sourced, not run).

# The median of the numbers given (the lower one of the middle two for
# an even count).
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

# Writes out the pages that earlier runs left dirty, before a timed run.
# The kernel writes a file's dirty pages to the disk about 30 s after they
# were written (vm.dirty_expire_centisecs), on the machine's cores, in
# whatever runs then: without this a timed run pays, at random, for the
# files of the runs before it. On a 2-core machine with one core kept busy,
# runs of 0.12 s of the 801 x 801 case then took from 0.11 to 0.18 s, and
# 0.117 to 0.127 s with it. A run's own writes into the page cache still
# count; their writing out after the run ends does not, as before.
settle_writeback() { sync; }

# A shell loop that never sleeps, pinned to the first core: on a machine of
# two cores it keeps that one busy, and a run's second thread shares it.
# Left to the system, the loop moves from core to core, and the runs beside
# it move with it (docs/performance.md, "A busy core, pinned").
# busy_core_start starts it; busy_core_stop stops it, if it runs.
busy_core_pid=
busy_core_start() {
  (cd / && exec taskset -c 0 sh -c 'while :; do :; done') &
  busy_core_pid=$!
}
busy_core_stop() {
  [ -z "$busy_core_pid" ] || kill "$busy_core_pid" 2> /dev/null || true
  busy_core_pid=
}

# Milliseconds as seconds with three decimals: 2991 -> "2.991 s".
ms() { printf '%d.%03d s' $(($1 / 1000)) $(($1 % 1000)); }

# The scenario of pollutant nearly everywhere, on standard output: 401 x 401
# points, 100 wide sources emitted once at t = 0, 10 model minutes.
everywhere_scenario() {
  cat << 'EOF'
[grid]
nx = 401
ny = 401
[time]
duration_s = 600
[emission]
first_s = 0
every_s = 100000.0
EOF
  local a b
  for ((a = 0; a < 10; a++)); do
    for ((b = 0; b < 10; b++)); do
      printf '[[source]]\nx_m = %d.0\ny_m = %d.0\nradius_m = 30000.0\n' $((20000 + 40000 * a)) $((20000 + 40000 * b))
    done
  done
}
