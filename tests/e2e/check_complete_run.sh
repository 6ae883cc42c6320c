#!/usr/bin/env bash
# Checks the complete run's outputs byte for byte against the hashes of a run
# made by an independent build of the same model: the console log, the
# snapshot file, and every one of its 231 records (so that a difference is
# reported as the first snapshot and field where it appears).
# Usage: check_complete_run.sh OUTDIR RECORD_HASHES
set -euo pipefail
out="$1" records="$2"
log_sha=f106a8bfaed84af29a27fcc94518386f5394d15340108b8bcf9e028d5ff6e9bd
file_sha=33ad9e4aaeffc79056c10730469caf99909eff6274e722164ee9bf98ee70c241
record_bytes=643212
status=0

lines=$(wc -l < "$out/console.log")
[ "$lines" -eq 610 ] || { echo "console log has $lines lines, expected 610"; status=1; }
size=$(stat -c %s "$out/test_withPollutant.dat")
[ "$size" -eq 148581972 ] || { echo "snapshot file has $size bytes, expected 148581972"; status=1; }

got=$(sha256sum < "$out/console.log" | cut -d' ' -f1)
[ "$got" = "$log_sha" ] || { echo "console log differs: sha256 $got"; status=1; }
got=$(sha256sum < "$out/test_withPollutant.dat" | cut -d' ' -f1)
if [ "$got" != "$file_sha" ]; then
  echo "snapshot file differs: sha256 $got"
  status=1
  k=0
  while read -r snap t field sha; do
    case "$snap" in "#"*) continue ;; esac
    rec=$(dd if="$out/test_withPollutant.dat" bs=$record_bytes skip=$k count=1 status=none | sha256sum | cut -d' ' -f1)
    if [ "$rec" != "$sha" ]; then
      echo "first differing record: number $k, snapshot $snap (t = $t s), field $field"
      break
    fi
    k=$((k + 1))
  done < "$records"
fi
[ $status -eq 0 ] && echo "console log and snapshot file match the reference run"
exit $status
