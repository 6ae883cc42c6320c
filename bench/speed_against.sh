#!/usr/bin/env bash
# Wall times and peak memory of whole runs of this tree's plume against the
# plume of an earlier commit, built from a git worktree of it with the same
# compiler and options, in one benchmark run on one machine. The two
# programs run in turn (this one, then the earlier one) RUNS times each
# (default 3); the report gives each case's medians and the ratio of the
# earlier program's median to this one's (how many times faster this one
# is). Each run's snapshot file and log are compared with the earlier
# program's: a difference stops the benchmark.
#
# The cases:
#  - reference: the complete 16-hour run of the reference case;
#  - large: 2001 x 2001 points, 20 model minutes (bench/cases/large.toml);
#  - long: 1001 x 1001 points for 4 hours, three sources every 30 minutes
#    (bench/cases/long.toml);
#  - everywhere: 401 x 401 points, 100 wide sources emitted once at t = 0,
#    pollutant nearly everywhere, 10 model minutes (lib.sh writes it);
# each with the default settings (the threads the process may use) and
# with --threads 1; then, with a busy process pinned to one core of the
# machine, the everywhere and reference cases with the default settings,
# --threads 1 and --threads 4.
#
# Usage: bench/speed_against.sh PLUME_EXECUTABLE BASE_COMMIT [RUNS] [CASES...]
#   CASES: any of reference, large, long, everywhere, busy (default: all five)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exe="$(realpath "$1")" base="$2" runs="${3:-3}"
shift $(($# < 3 ? $# : 3))
cases=("$@")
[ "${#cases[@]}" -gt 0 ] || cases=(reference large long everywhere busy)
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="$(mktemp -d)"
cleanup() {
  busy_core_stop
  git -C "$src" worktree remove --force "$dir/base-src" 2> /dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

echo "== building $base"
git -C "$src" worktree add --detach "$dir/base-src" "$base" > /dev/null 2>&1
cmake -S "$dir/base-src" -B "$dir/base-build" -DCMAKE_BUILD_TYPE=Release -DPLUME_TESTS=OFF -DPLUME_TOOLS=OFF \
  -DPLUME_BENCH=OFF > /dev/null
cmake --build "$dir/base-build" --target plume -j "$(nproc)" > /dev/null
old="$dir/base-build/driver/plume"
echo "this tree: $exe"
echo "base: $base ($(git -C "$src" log -1 --format='%h %s' "$base" | cut -c1-70))"
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"

everywhere_scenario > "$dir/everywhere.toml"

# Runs both programs RUNS times in turn with the options; prints the
# medians of wall time and peak memory and the ratio.
compare() { # NAME OPTIONS...
  local name="$1"
  shift
  local new_t=() old_t=() new_m=() old_m=() k prog
  for ((k = 1; k <= runs; k++)); do
    for prog in new old; do
      local p="$exe"
      [ "$prog" = old ] && p="$old"
      mkdir -p "$dir/$prog" && cd "$dir/$prog"
      settle_writeback
      /usr/bin/time -f '%e %M' -o time.txt "$p" "$@" > log.txt
      read -r t m < time.txt
      if [ "$prog" = new ]; then new_t+=("$t") new_m+=("$m"); else old_t+=("$t") old_m+=("$m"); fi
    done
    cmp -s "$dir/new/log.txt" "$dir/old/log.txt" && cmp -s "$dir/new/test_withPollutant.dat" "$dir/old/test_withPollutant.dat" ||
      { echo "$name: the two programs wrote different bytes" >&2; exit 1; }
  done
  local nt ot nm om
  nt=$(median "${new_t[@]}") ot=$(median "${old_t[@]}") nm=$(median "${new_m[@]}") om=$(median "${old_m[@]}")
  awk -v n="$name" -v nt="$nt" -v ot="$ot" -v nm="$nm" -v om="$om" 'BEGIN {
    printf "%-44s this %8.2f s  base %8.2f s  %6.2fx faster   peak this %7.1f MB  base %7.1f MB\n", n, nt, ot, ot / nt, nm / 1024, om / 1024 }'
  rm -rf "$dir/new" "$dir/old"
  last_new=$nt last_old=$ot
}

for c in "${cases[@]}"; do
  case "$c" in
    reference)
      compare "reference, default settings"
      compare "reference, --threads 1" --threads 1 ;;
    large)
      compare "2001 x 2001, default settings" --scenario "$src/bench/cases/large.toml"
      compare "2001 x 2001, --threads 1" --scenario "$src/bench/cases/large.toml" --threads 1 ;;
    long)
      compare "1001 x 1001 for 4 hours, default settings" --scenario "$src/bench/cases/long.toml"
      compare "1001 x 1001 for 4 hours, --threads 1" --scenario "$src/bench/cases/long.toml" --threads 1 ;;
    everywhere)
      compare "pollutant everywhere, default settings" --scenario "$dir/everywhere.toml"
      compare "pollutant everywhere, --threads 1" --scenario "$dir/everywhere.toml" --threads 1 ;;
    busy)
      # One core taken by another process for the whole case.
      busy_core_start
      for what in everywhere reference; do
        scenario=()
        [ "$what" = everywhere ] && scenario=(--scenario "$dir/everywhere.toml")
        compare "busy core: $what, default settings" "${scenario[@]}"
        nd=$last_new od=$last_old
        compare "busy core: $what, --threads 1" "${scenario[@]}" --threads 1
        n1=$last_new o1=$last_old
        compare "busy core: $what, --threads 4" "${scenario[@]}" --threads 4
        awk -v w="$what" -v nd="$nd" -v od="$od" -v n1="$n1" -v o1="$o1" -v n4="$last_new" -v o4="$last_old" 'BEGIN {
          printf "busy core, %s: time / time of --threads 1: default %.2f (base %.2f), --threads 4 %.2f (base %.2f)\n",
            w, nd / n1, od / o1, n4 / n1, o4 / o1 }'
      done
      busy_core_stop ;;
    *) echo "unknown case: $c" >&2; exit 2 ;;
  esac
done
