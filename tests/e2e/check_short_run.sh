#!/usr/bin/env bash
# A run of 300 passes through the library (plume_short_run), ended normally:
# its log must be a good run's first five lines and its file a good run's
# first snapshot, record for record. In the sanitizer build this is the
# program's whole path (start-up, every kernel and diagnostic, both outputs,
# the close) under AddressSanitizer and UndefinedBehaviorSanitizer.
# Usage: check_short_run.sh PLUME_SHORT_RUN RECORD_HASHES
set -euo pipefail
exe="$1" hashes="$2"
record_bytes=643212
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

"$exe" "$out" 300

status=0
expected_log=" Step/timing:           0 s=  0.0000000E+00 hr=  0.0000000E+00
 Step/timing:           0 s=  0.0000000E+00 hr=  0.0000000E+00 output!
 Step/timing:         100 s=   100.0000     hr=  2.7777778E-02
 Step/timing:         200 s=   200.0000     hr=  5.5555556E-02
 Step/timing:         300 s=   300.0000     hr=  8.3333336E-02"
cmp "$out/console.log" <(printf '%s\n' "$expected_log") || { echo "the log is not a good run's first five lines"; status=1; }

size=$(stat -c %s "$out/test_withPollutant.dat")
[ "$size" -eq $((7 * record_bytes)) ] || { echo "snapshot file has $size bytes, expected one snapshot"; status=1; }
k=0
while read -r snap t field sha; do
  case "$snap" in "#"*) continue ;; esac
  [ "$snap" -eq 0 ] || break
  got=$(dd if="$out/test_withPollutant.dat" bs=$record_bytes skip=$k count=1 status=none | sha256sum | cut -d' ' -f1)
  [ "$got" = "$sha" ] || { echo "record $k (snapshot 0, field $field) differs from a good run's"; status=1; }
  k=$((k + 1))
done < "$hashes"
[ $status -eq 0 ] && echo "300 passes: the log and snapshot 0 match a good run"
exit $status
