#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Mounts the sample archive and generated ones (compressed and plain, small and large
# files, block sizes 256 and 1024, scattered chains) and checks the tree against
# extract's: the same files byte for byte, one per entry, the same sizes, reads at
# random offsets, eight readers at once, EROFS for every write, EIO within a second
# for damaged files and hostile archives, and nothing left mounted. Skips (status 77)
# where this machine cannot mount FUSE; MARROWVANE_DAT_REQUIRE_FUSE=1 makes that a
# failure.
# Usage: mount_test.sh TOOL MAKE_SAMPLE MAKE_ARCHIVE MAKE_HOSTILE
# --help prints the comment above and succeeds, like every command of the project.
if [[ ${1-} == -h || ${1-} == --help ]]; then
  sed -n '3,/^[^#]/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" | sed '$d'
  exit 0
fi
set -uo pipefail
tool=$1 make_sample=$2 make_archive=$3 make_hostile=$4

skip() {
  if [[ ${MARROWVANE_DAT_REQUIRE_FUSE-} == 1 ]]; then
    echo "FAILED: $1, but MARROWVANE_DAT_REQUIRE_FUSE=1 says this machine can mount"
    exit 1
  fi
  echo "skipped: $1"
  exit 77
}
[[ -c /dev/fuse ]] || skip "this machine has no /dev/fuse"
command -v fusermount3 >/dev/null || skip "fusermount3 (package fuse3) is not installed"

work=$(mktemp -d)
mounted=()
cleanup() {
  local point
  for point in "${mounted[@]}"; do
    grep -qF " $point " /proc/mounts && fusermount3 -uz "$point"
  done
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
# Progress with the seconds since the start, shown when the test fails.
step() { echo "[$SECONDS s] $*"; }
fail() {
  echo "FAILED: $*"
  failures=1
}
is_mounted() { grep -qF " $1 " /proc/mounts; }

# mount_fg ARCHIVE POINT [OPTIONS...]: mounts in the foreground (pid in $server),
# its standard error in POINT.err; false when the mount does not appear.
mount_fg() {
  local archive=$1 point=$2
  shift 2
  mkdir -p "$point"
  # A shell starts background commands with SIGINT ignored; Ctrl-C must reach this one.
  env --default-signal=INT "$tool" mount --foreground "$archive" "$point" "$@" 2>"$point.err" &
  server=$!
  mounted+=("$point")
  for _ in $(seq 100); do
    is_mounted "$point" && return 0
    kill -0 "$server" 2>/dev/null || break
    sleep 0.05
  done
  return 1
}
# unmount POINT PID: unmounts; the server must then exit 0 and leave nothing mounted.
unmount() {
  fusermount3 -u "$1" || fail "fusermount3 -u $1 failed"
  wait "$2" || fail "the server of $1 exited with $?: $(head -c 300 "$1.err")"
  ! is_mounted "$1" || fail "$1 is still mounted"
}

# --- mounting at all -------------------------------------------------------------
"$make_sample" "$work/sample.dat" || exit 1
if ! mount_fg "$work/sample.dat" "$work/probe"; then
  if grep -qiE 'permission|not permitted' "$work/probe.err"; then
    skip "mounting is not permitted here: $(head -c 300 "$work/probe.err")"
  fi
  echo "FAILED: the sample archive did not mount: $(head -c 300 "$work/probe.err")"
  exit 1
fi
unmount "$work/probe" "$server"

# --- the tree against extract's, on archives of every shape -------------------------
"$make_archive" "$work/b256.dat" --block-size 256 --files 300 --largest 70000 --mixed --scattered &&
  "$make_archive" "$work/b1024.dat" --block-size 1024 --files 24 --largest 3000000 --mixed &&
  "$make_archive" "$work/plain.dat" --block-size 1024 --files 40 --largest 200000 --plain &&
  "$make_archive" "$work/packed.dat" --block-size 256 --files 40 --largest 200000 --compressed ||
  exit 1

# Random ranges of the largest files through dd, against the same ranges of the
# extracted copy; some start at 0, some reach the end, some run past it.
random_reads() {
  local mount=$1 copy=$2 file size skip count
  for file in $(cd "$copy" && find . -type f -size +1k -printf '%s %P\n' | sort -rn | head -n 3 | cut -d' ' -f2); do
    size=$(stat -c %s "$copy/$file")
    for _ in $(seq 3); do
      skip=$((RANDOM * 32768 + RANDOM))
      skip=$((skip % size))
      count=$(((RANDOM * 32768 + RANDOM) % 300000 + 1))
      ((RANDOM % 4 == 0)) && skip=0
      cmp -s <(dd if="$mount/$file" iflag=skip_bytes,count_bytes skip="$skip" count="$count" bs=65536 status=none) \
        <(tail -c +$((skip + 1)) "$copy/$file" | head -c "$count") ||
        fail "$file: bytes $skip..+$count differ from the extracted copy"
    done
  done
}

for archive in sample b256 b1024 plain packed; do
  dat="$work/$archive.dat" point="$work/m-$archive" copy="$work/x-$archive"
  step "$archive"
  "$tool" extract "$dat" "$copy" -q || fail "$archive: extract failed"
  mount_fg "$dat" "$point" || {
    fail "$archive did not mount: $(head -c 300 "$point.err")"
    continue
  }
  diff -r "$point" "$copy" >/dev/null || fail "$archive: the mounted tree differs from extract's"
  entries=$("$tool" ls "$dat" --format tsv | wc -l)
  found=$(find "$point" -type f | wc -l)
  ((found == entries)) || fail "$archive: $found files for $entries entries"
  [[ $(cd "$point" && find . -type f -printf '%P %s\n' | sort) == \
    $(cd "$copy" && find . -type f -printf '%P %s\n' | sort) ]] ||
    fail "$archive: stat sizes differ from the extracted files'"
  [[ $(find "$point" -type f ! -perm 444 -o -type d ! -perm 555 | wc -l) == 0 ]] ||
    fail "$archive: a file is not 0444 or a folder not 0555"
  step "$archive: random reads"
  random_reads "$point" "$copy"
  if [[ $archive != sample ]]; then
    step "$archive: eight readers"
    # Eight readers of every file at once, half of them in reverse order.
    (cd "$copy" && find . -type f | xargs md5sum | sort -k2) >"$work/expected"
    for reader in $(seq 8); do
      (cd "$point" && find . -type f | sort $( ((reader % 2)) && echo -r) | xargs md5sum |
        sort -k2 >"$work/reader-$reader") &
    done
    wait $(jobs -p | grep -vx "$server")
    for reader in $(seq 8); do
      cmp -s "$work/expected" "$work/reader-$reader" || fail "$archive: reader $reader read other bytes"
    done
  fi
  [[ ! -s $point.err ]] || fail "$archive: the server reported: $(head -c 300 "$point.err")"
  if [[ $archive == sample ]]; then
    [[ $(stat -c %Y "$point/Font/40000001.bin") == 1180000000 ]] ||
      fail "sample: a file's time is not its entry's timestamp"
    # Every kind of write fails with EROFS.
    file="$point/Font/40000001.bin"
    for write in "touch $point/new" "cp $file $point/Font/copy.bin" "sh -c 'echo x >>$file'" \
      "mv $file $point/Font/moved.bin" "chmod 644 $file" "rm -f $file" "mkdir $point/dir" \
      "ln -s x $point/link" "truncate -s 0 $file" \
      "python3 -c 'import os; os.setxattr(\"$file\", \"user.x\", b\"1\")'"; do
      out=$(eval "$write" 2>&1) && fail "'$write' succeeded on the mount"
      [[ $out == *"Read-only file system"* ]] || fail "'$write' did not fail with EROFS: $out"
    done
  fi
  unmount "$point" "$server"
done

# An archive from standard input has no file to read payloads from: the library
# reads them, with the same bytes.
step "standard input"
mkdir "$work/m-stdin"
mounted+=("$work/m-stdin")
env --default-signal=INT "$tool" mount --foreground - "$work/m-stdin" <"$work/plain.dat" 2>"$work/m-stdin.err" &
server=$!
for _ in $(seq 100); do is_mounted "$work/m-stdin" && break; sleep 0.05; done
diff -r "$work/m-stdin" "$work/x-plain" >/dev/null || fail "standard input: the tree differs from extract's"
random_reads "$work/m-stdin" "$work/x-plain"
unmount "$work/m-stdin" "$server"

step "Ctrl-C, background, errors"
# --- Ctrl-C in the foreground unmounts; the background mount returns when ready -------
mount_fg "$work/sample.dat" "$work/interrupted" || fail "the sample did not mount"
kill -INT "$server"
wait "$server" || fail "Ctrl-C ended the foreground mount with status $?"
! is_mounted "$work/interrupted" || fail "Ctrl-C left the mount in place"

mkdir "$work/background"
mounted+=("$work/background")
"$tool" mount "$work/sample.dat" "$work/background" 2>"$work/background.err" ||
  fail "the background mount failed: $(head -c 300 "$work/background.err")"
[[ $(ls "$work/background/Font" 2>&1 | wc -l) == 6 ]] ||
  fail "the background mount was not ready when the command returned"
fusermount3 -u "$work/background" || fail "fusermount3 -u of the background mount failed"
! is_mounted "$work/background" || fail "the background mount is still mounted"

# --- errors before mounting ------------------------------------------------------
mkdir -p "$work/full" "$work/empty" && touch "$work/full/file" "$work/plain-file"
# around: a command the tool runs under, for refusals that need another world.
around=()
expect_refusal() {
  local what=$1 text=$2
  shift 2
  out=$(timeout 10 "${around[@]}" "$tool" mount "$@" 2>&1)
  status=$?
  ((status == 1)) || fail "$what: status $status, not 1"
  [[ $out == *"$text"* ]] || fail "$what: the message does not say '$text': $out"
}
expect_refusal "missing archive" "No such file" "$work/none.dat" "$work/empty"
expect_refusal "missing mount point" "no such directory" "$work/sample.dat" "$work/none"
expect_refusal "mount point a file" "not a directory" "$work/sample.dat" "$work/plain-file"
expect_refusal "mount point not empty" "not empty" "$work/sample.dat" "$work/full"
# No device: a private mount namespace with a plain file laid over /dev/fuse.
if ((EUID == 0)) && unshare --mount true 2>/dev/null; then
  around=(unshare --mount --propagation private
    sh -c 'mount --bind "$0" /dev/fuse && exec "$@"' "$work/plain-file")
  expect_refusal "no FUSE device" "no FUSE device" "$work/sample.dat" "$work/empty"
  around=()
else
  step "no FUSE device: not checked (needs root and unshare)"
fi

# --- damaged files: EIO within a second, reported once, never empty-looking ----------
"$make_archive" "$work/damaged.dat" --files 20 --damaged || exit 1
if mount_fg "$work/damaged.dat" "$work/m-damaged"; then
  for id in 06FFFF01 06FFFF02; do
    for _ in 1 2; do
      out=$(timeout 1 cat "$work/m-damaged/Texture/$id.bin" 2>&1 >/dev/null)
      [[ $out == *"Input/output error"* ]] || fail "damaged $id: not EIO within a second: $out"
    done
    [[ $(stat -c %s "$work/m-damaged/Texture/$id.bin") == 5000 ]] ||
      fail "damaged $id: its size is not the stored size"
    [[ $(grep -c "$id" "$work/m-damaged.err") == 1 ]] ||
      fail "damaged $id: not reported exactly once: $(cat "$work/m-damaged.err")"
  done
  [[ $(find "$work/m-damaged" -type f | wc -l) == 22 ]] || fail "damaged: the listing lost files"
  unmount "$work/m-damaged" "$server"
else
  fail "the damaged archive did not mount: $(head -c 300 "$work/m-damaged.err")"
fi

step "hostile archives"
"$make_hostile" "$work/hostile" || exit 1
for dat in "$work"/hostile/*.dat; do
  name=$(basename "$dat" .dat) point="$work/h-$(basename "$dat" .dat)"
  step "$name"
  mount_fg "$dat" "$point" || {
    fail "$name did not mount: $(head -c 300 "$point.err")"
    continue
  }
  timeout 5 find "$point" -type f >"$work/files" || fail "$name: listing failed or hung"
  # Every file read whole, each within a second (a read that hangs ends the run).
  timeout 60 python3 -c '
import sys, time
for path in open(sys.argv[1]).read().split():
    start = time.monotonic()
    try:
        with open(path, "rb") as f:
            while f.read(1 << 20):
                pass
    except OSError:
        pass
    if time.monotonic() - start > 1:
        print(f"reading {path} took more than a second")
        sys.exit(1)
' "$work/files" || fail "$name: a file was not read or refused within a second"
  unmount "$point" "$server"
done

step "done"
! grep -qF "$work" /proc/mounts || fail "something is still mounted below $work"
exit "$failures"
