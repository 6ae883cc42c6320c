#!/usr/bin/env bash
# A memory limit that a control group sets (as a batch system's --mem or a
# container's limit does) is met by the memory check: a grid that does not
# fit in what the group still allows is refused at once, with status 2, one
# line naming the group and its limit, and no file touched; one that fits
# runs. Uses a real cgroup v1 memory controller: a group made below this
# process's own, with a limit, this test's run put in it. Skips (status 77)
# with its reason where there is none or it cannot be made.
#
# Usage: control_group_limit.sh PLUME_EXECUTABLE
set -euo pipefail
exe="$(realpath "$1")"
skip() {
  echo "SKIPPED: $*"
  exit 77
}

controller=/sys/fs/cgroup/memory
[ -d "$controller" ] || skip "no cgroup v1 memory controller at $controller"
own=$(sed -n 's/^[0-9]*:\([^:]*,\)\{0,1\}memory\(,[^:]*\)\{0,1\}:\(.*\)$/\3/p' /proc/self/cgroup)
[ -n "$own" ] || skip "this process is in no group of the memory controller"
parent="$controller${own%/}"
group="$parent/plume_test_$$"
mkdir "$group" 2> /dev/null || skip "cannot make a control group under $parent (not root, or a read-only cgroup file system)"
work="$(mktemp -d)"
cleanup() {
  rm -rf "$work"
  # The group can go once the processes put in it have ended.
  rmdir "$group" 2> /dev/null || true
}
trap cleanup EXIT
limit=$((200 * 1024 * 1024))
echo "$limit" > "$group/memory.limit_in_bytes" || skip "cannot set a memory limit on $group"
cd "$work"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Runs the program in the group: a shell that moves itself in, then becomes
# the program.
in_group() {
  set +e
  sh -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$group" "$exe" "$@" > out 2> err
  status=$?
  set -e
}

# 4001 x 4001 points need about 1 GB: refused under the group's 200 MB, though
# the machine has room for it.
printf '[grid]\nnx = 4001\nny = 4001\n\n[time]\nduration_s = 10\n' > big.toml
printf 'records of an earlier run' > keep.dat
in_group --scenario big.toml --output keep.dat --threads 1
[ "$status" -eq 2 ] || fail "a grid beyond the group's limit: exit $status, not 2: $(cat err)"
pattern="^plume: big\.toml:[0-9]+:[0-9]+: a grid of 4001 x 4001 points needs [0-9]+ bytes, more than the [0-9]+ bytes that the memory limit of control group ${group//./\\.} still allows \(a limit of $limit bytes, [0-9]+ in use\)\$"
[ "$(wc -l < err)" -eq 1 ] && grep -Eq "$pattern" err || fail "the refusal: $(cat err)"
[ "$(cat keep.dat)" = "records of an earlier run" ] || fail "the output file was touched"
echo "refused: $(cat err)"

# A small grid fits, and runs to its end.
printf '[grid]\nnx = 40\nny = 30\n\n[time]\nduration_s = 20\n\n[[source]]\nx_m = 20000.0\ny_m = 15000.0\n' > small.toml
in_group --scenario small.toml --output small.dat --threads 1
[ "$status" -eq 0 ] || fail "a small grid in the group: exit $status: $(cat err)"

[ "$failures" -eq 0 ] || exit 1
echo "the memory limit of a control group: refused beyond it, run within it"
