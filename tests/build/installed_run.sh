#!/usr/bin/env bash
# Installs the build into a temporary prefix, moves the installed tree
# elsewhere, and from an unrelated directory runs the small example scenario
# with the installed plume and its file through each installed tool:
#   - every command the build installs is there and executable;
#   - the installed plume writes the same log and snapshot file, byte for
#     byte, as the build's own plume;
#   - snapinfo reads the file, snap2nc converts it to NetCDF and plume-plot
#     (called through a symbolic link, as a module system or a package's
#     alternatives would) draws a PNG, each of those that the build installs.
# Usage: installed_run.sh CMAKE BUILD_DIR BUILD_PLUME COMMAND...
set -euo pipefail
cmake="$1" build="$2" build_plume="$3"
shift 3
commands=("$@")

fail() { echo "installed_run: $*" >&2; exit 1; }
installs() { local c; for c in "${commands[@]}"; do [ "$c" = "$1" ] && return 0; done; return 1; }

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
if ! "$cmake" --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log" >&2
  fail "cmake --install $build failed"
fi
mv "$tmp/prefix" "$tmp/moved"
prefix="$tmp/moved"
docs="$prefix/share/doc/plume"

for c in "${commands[@]}"; do
  [ -x "$prefix/bin/$c" ] || fail "bin/$c is not installed"
done
installs plume || fail "the build does not install plume"
for f in README.md examples/small.toml examples/reference.toml; do
  [ -f "$docs/$f" ] || fail "share/doc/plume/$f is not installed"
done

scenario="$docs/examples/small.toml"
mkdir "$tmp/run" "$tmp/reference"
(cd "$tmp/reference" && "$build_plume" --scenario "$scenario" --output small.dat >small.log) \
  || fail "the build's plume failed on the small example"
cd "$tmp/run"
"$prefix/bin/plume" --scenario "$scenario" --output small.dat >small.log || fail "the installed plume failed"
for f in small.log small.dat; do
  cmp "$tmp/reference/$f" "$f" || fail "the installed plume's $f differs from the build's"
done
echo "installed plume: small example, log and snapshot file identical to the build's"

if installs snapinfo; then
  "$prefix/bin/snapinfo" --scenario "$scenario" small.dat >snapinfo.txt || fail "the installed snapinfo failed"
  [ -s snapinfo.txt ] || fail "the installed snapinfo printed nothing"
  echo "installed snapinfo: read the file"
fi
if installs snap2nc; then
  "$prefix/bin/snap2nc" --scenario "$scenario" small.dat small.nc || fail "the installed snap2nc failed"
  # A NetCDF-4 file is an HDF5 file.
  [ "$(head -c 4 small.nc | od -An -c | tr -d ' ')" = '211HDF' ] || fail "small.nc is not a NetCDF-4 file"
  echo "installed snap2nc: wrote a NetCDF-4 file"
fi
if installs plume-plot; then
  mkdir "$tmp/elsewhere"
  ln -s "$prefix/bin/plume-plot" "$tmp/elsewhere/plume-plot"
  MPLBACKEND=Agg PYTHONDONTWRITEBYTECODE=1 "$tmp/elsewhere/plume-plot" small.dat --scenario "$scenario" -o small.png \
    || fail "the installed plume-plot failed"
  [ "$(head -c 4 small.png | od -An -c | tr -d ' ')" = '211PNG' ] || fail "plume-plot wrote no PNG"
  echo "installed plume-plot: drew a PNG"
fi
