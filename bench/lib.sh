# The helpers of the benchmark scripts (sourced, not run).

# The median of the numbers given (the lower one of the middle two for
# an even count).
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

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
