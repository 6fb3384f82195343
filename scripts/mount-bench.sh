#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Measures marrowvane-dat mount against its baselines in the same run and prints the
# ratios: a sequential read of a 64 MiB plain file through a fresh mount against cat
# of the extracted copy from the page cache (target: at least 0.5); find over 100,000
# mounted entries against find over the extracted tree (target: at most 3x); and the
# mount's peak memory after reading every file of a 200 MiB compressed archive with a
# 16 MiB cache, against that cache plus the directory.
# Usage: scripts/mount-bench.sh [BUILD_DIR]   (default build/default; needs /dev/fuse)
# --help prints the comment above and succeeds, like every command of the project.
if [[ ${1-} == -h || ${1-} == --help ]]; then
  sed -n '3,/^[^#]/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" | sed '$d'
  exit 0
fi
set -euo pipefail
build=${1:-build/default}
tool="$build/crates/marrowvane-dat-cli/marrowvane-dat"
make_archive="$build/crates/marrowvane-dat-testkit/marrowvane_dat_make_archive"
for program in "$tool" "$make_archive"; do
  [[ -x $program ]] || {
    echo "mount-bench.sh: $program not built (cmake --build $build)" >&2
    exit 1
  }
done
work=$(mktemp -d)
point="$work/m"
server=""
cleanup() {
  if grep -qF " $point " /proc/mounts; then fusermount3 -uz "$point"; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$point"

now() { date +%s%N; }
# mount_fresh ARCHIVE [OPTIONS...]: a new mount, so nothing of it is in the page cache.
mount_fresh() {
  if grep -qF " $point " /proc/mounts; then
    fusermount3 -u "$point"
    wait "$server" || true
  fi
  "$tool" mount --foreground "$@" "$point" >/dev/null 2>>"$work/server.err" &
  server=$!
  until grep -qF " $point " /proc/mounts; do sleep 0.02; done
}
# best_of N COMMAND...: sets $best to the fastest of N runs in nanoseconds; $before
# runs before each.
best_of() {
  local runs=$1 start took
  best=0
  shift
  for _ in $(seq "$runs"); do
    ${before:-true}
    start=$(now)
    "$@" >/dev/null
    took=$(($(now) - start))
    if ((best == 0 || took < best)); then best=$took; fi
  done
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ms() { awk -v n="$1" 'BEGIN { printf "%.1f ms", n / 1e6 }'; }

echo "== sequential read of a 64 MiB plain file"
"$make_archive" "$work/big.dat" --files 1 --largest 67108864 --plain
"$tool" extract "$work/big.dat" "$work/x-big" -q
file=$(cd "$work/x-big" && find . -type f)
cat "$work/big.dat" "$work/x-big/$file" >/dev/null
best_of 5 cat "$work/x-big/$file"
baseline=$best
before="mount_fresh $work/big.dat"
best_of 5 cat "$point/$file"
mounted=$best
unset before
echo "cat of the extracted copy: $(ms "$baseline"); through a fresh mount: $(ms "$mounted")"
echo "throughput ratio (mount / page cache): $(ratio "$baseline" "$mounted") (target >= 0.5)"

echo "== find -type f over 100,000 entries"
"$make_archive" "$work/many.dat" --files 100000 --largest 64 --plain
"$tool" extract "$work/many.dat" "$work/x-many" -q
find "$work/x-many" -type f | wc -l >/dev/null
count() { find "$1" -type f | wc -l; }
best_of 5 count "$work/x-many"
baseline=$best
before="mount_fresh $work/many.dat"
best_of 5 count "$point"
mounted=$best
unset before
echo "find over the extracted tree: $(ms "$baseline"); over a fresh mount: $(ms "$mounted")"
echo "time ratio (mount / extracted): $(ratio "$mounted" "$baseline") (target <= 3)"

echo "== memory while reading every file of a compressed archive, --cache-size 16M"
"$make_archive" "$work/packed.dat" --files 1000 --largest 400000 --compressed
mount_fresh "$work/packed.dat" --cache-size 16M
idle=$(awk '/^VmRSS/ { print $2 }' "/proc/$server/status")
find "$point" -type f -print0 | xargs -0 cat | wc -c | awk '{ printf "read %.0f MiB\n", $1 / 1048576 }'
peak=$(awk '/^VmHWM/ { print $2 }' "/proc/$server/status")
echo "resident after mounting: $((idle / 1024)) MiB; peak after reading: $((peak / 1024)) MiB"
echo "growth over the mounted state: $(((peak - idle) / 1024)) MiB (bound: the 16 MiB cache plus one file per reader)"
fusermount3 -u "$point"
wait "$server" || true
