#!/bin/sh
# Compiles the span test's source as the build does, asking g++ which loops
# it could not make vector code, and fails if a loop of
# kernels/pollutant_span.hpp is among them: the span test proves the bits of
# every lane of those loops only where its own copies of them are vector
# code, as the step's are.
# Usage: span_loops_vectorized.sh COMPILER SOURCE [FLAGS...]
compiler=$1
source=$2
shift 2
report=$(mktemp) || exit 1
trap 'rm -f "$report"' EXIT
"$compiler" "$@" -fopt-info-vec-missed="$report" -c "$source" -o /dev/null || exit 1
if grep -E "pollutant_span\.hpp:[0-9]+:[0-9]+: missed: couldn't vectorize loop" "$report"; then
  echo "span_loops_vectorized: the loops above are not vector code in $source" >&2
  exit 1
fi
echo "span_loops_vectorized: every loop of kernels/pollutant_span.hpp in $source is vector code"
