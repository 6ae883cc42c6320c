# The helpers of the benchmark scripts (sourced, not run).

# The median of the numbers given (the lower one of the middle two for
# an even count).
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

# Milliseconds as seconds with three decimals: 2991 -> "2.991 s".
ms() { printf '%d.%03d s' $(($1 / 1000)) $(($1 % 1000)); }
