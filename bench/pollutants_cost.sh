#!/usr/bin/env bash
# What several species cost: a run of four species on the reference grid,
# each with two sources and a schedule of its own, against the four runs of
# each species alone (the same scenario with that species' sources and
# schedule), with the same plume, in one benchmark run on one machine. The
# runs take turns RUNS times (default 3); the report gives each one's median
# wall time, processor time (user + system: steadier than the wall time on a
# shared machine) and peak memory, the ratios of the run of four species
# to the sum of the four single-species runs, and each round's own ratio
# with their median. Each species' q and dqdt are checked against its own
# run (the flow's records too), so that the cost is that of the same bytes.
#
# Usage: bench/pollutants_cost.sh PLUME_EXECUTABLE [RUNS] [THREADS]
#   THREADS: --threads of every run (default: the program's default)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
exe="$(realpath "$1")" runs="${2:-3}" threads="${3:-}"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
options=()
[ -z "$threads" ] || options=(--threads "$threads")
echo "plume: $exe"
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"

# The reference grid and run length; species k emits from first_s on every
# every_s, from two sources of its own.
names=(so2 nox co pm10)
firsts=(36000 39600 43200 46800)
everys=(3600.0 2700.0 1800.0 3000.0)
sources=("10000.0 200000.0" "180000.0 200000.0"
         "60000.0 100000.0" "250000.0 300000.0"
         "120000.0 380000.0" "300000.0 50000.0"
         "30000.0 30000.0" "200000.0 120000.0")
header() { printf '[emission]\nfirst_s = %s\nevery_s = %s\n' "$1" "$2"; }
source_table() { # X Y [SPECIES]
  printf '[[source]]\nx_m = %s\ny_m = %s\n' "$1" "$2"
  [ -z "${3:-}" ] || printf 'species = "%s"\n' "$3"
}
{
  header 43200 3600.0
  for k in 0 1 2 3; do
    printf '[[species]]\nname = "%s"\nfirst_s = %s\nevery_s = %s\n' "${names[k]}" "${firsts[k]}" "${everys[k]}"
  done
  for k in 0 1 2 3; do
    for m in 0 1; do
      read -r x y <<< "${sources[2 * k + m]}"
      source_table "$x" "$y" "${names[k]}"
    done
  done
} > "$dir/together.toml"
for k in 0 1 2 3; do
  {
    header "${firsts[k]}" "${everys[k]}"
    for m in 0 1; do
      read -r x y <<< "${sources[2 * k + m]}"
      source_table "$x" "$y"
    done
  } > "$dir/${names[k]}.toml"
done

declare -A times cpu memory
cases=(together "${names[@]}")
for ((r = 1; r <= runs; r++)); do
  for c in "${cases[@]}"; do
    settle_writeback
    /usr/bin/time -f '%e %M %U %S' -o "$dir/time.txt" "$exe" --scenario "$dir/$c.toml" --output "$dir/$c.dat" \
      "${options[@]}" > "$dir/$c.log"
    read -r t m u s < "$dir/time.txt"
    times[$c]="${times[$c]:-} $t" memory[$c]="${memory[$c]:-} $m"
    cpu[$c]="${cpu[$c]:-} $(awk -v u="$u" -v s="$s" 'BEGIN { print u + s }')"
  done
done

# Species k's records of the run together against its run alone: q and
# dqdt, then h, us, vs, div, vort of each snapshot.
/usr/bin/python3 - "$dir" "${names[@]}" << 'EOF'
import sys
d, names = sys.argv[1], sys.argv[2:]
def records(path, per):
    data, out, at = open(path, "rb").read(), [], 0
    while at < len(data):
        n = int.from_bytes(data[at:at + 4], "little")
        out.append(data[at:at + 8 + n])
        at += 8 + n
    return [out[k:k + per] for k in range(0, len(out), per)]
together = records(f"{d}/together.dat", 2 * len(names) + 5)
for k, name in enumerate(names):
    alone = records(f"{d}/{name}.dat", 7)
    same = len(alone) == len(together) and all(
        t[2 * k:2 * k + 2] == a[:2] and t[2 * len(names):] == a[2:] for t, a in zip(together, alone))
    if not same or open(f"{d}/together.log", "rb").read() != open(f"{d}/{name}.log", "rb").read():
        sys.exit(f"species {name}: the run together differs from its run alone")
print("each species' records and the log: identical to its run alone")
EOF

sum=0 sum_cpu=0
printf '%-28s %12s %14s %10s\n' run "median wall s" "median cpu s" "peak MB"
for c in "${cases[@]}"; do
  # shellcheck disable=SC2086
  t=$(median ${times[$c]}) u=$(median ${cpu[$c]}) m=$(median ${memory[$c]})
  if [ "$c" = together ]; then
    together=$t together_cpu=$u label="4 species together"
  else
    sum=$(awk -v a="$sum" -v b="$t" 'BEGIN { print a + b }') sum_cpu=$(awk -v a="$sum_cpu" -v b="$u" 'BEGIN { print a + b }')
    label="$c alone"
  fi
  printf '%-28s %12.2f %14.2f %10.1f\n' "$label" "$t" "$u" "$(awk -v m="$m" 'BEGIN { print m / 1024 }')"
done
awk -v t="$together" -v s="$sum" -v tc="$together_cpu" -v sc="$sum_cpu" 'BEGIN {
  printf "four single-species runs: %.2f s wall, %.2f s cpu; together / four alone: %.2f wall, %.2f cpu\n", s, sc, t / s, tc / sc }'
# Each round's own ratio, the run of four species against the four single
# runs of the same round: a machine whose speed drifts from round to round
# (a virtual machine's neighbours) moves both sides of a round alike.
round_ratios=()
for ((r = 1; r <= runs; r++)); do
  t=$(echo ${times[together]} | cut -d' ' -f"$r") s=0
  for c in "${names[@]}"; do s=$(awk -v a="$s" -v b="$(echo ${times[$c]} | cut -d' ' -f"$r")" 'BEGIN { print a + b }'); done
  round_ratios+=("$(awk -v t="$t" -v s="$s" 'BEGIN { printf "%.3f", t / s }')")
done
echo "each round's together / four alone, wall: ${round_ratios[*]}; median $(median "${round_ratios[@]}")"
