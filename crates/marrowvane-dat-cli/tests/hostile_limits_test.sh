#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every command of the tool on each hostile archive shape (and on a FIFO) and
# checks it ends by itself within 5 seconds, without being killed, within 256 MiB
# of address space (when the build can run under such a limit), and that extraction
# writes at most 64 MiB and nothing outside its output directory.
# Usage: hostile_limits_test.sh TOOL MAKE_HOSTILE LIMIT_MEMORY(0|1)
# --help prints the comment above and succeeds, like every command of the project.
if [[ ${1-} == -h || ${1-} == --help ]]; then
  sed -n '3,/^[^#]/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" | sed '$d'
  exit 0
fi
set -uo pipefail
tool=$1 make_hostile=$2 limit_memory=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$make_hostile" "$work/archives" || exit 1
mkfifo "$work/archives/fifo.dat"
mkdir "$work/outside"
echo untouched >"$work/outside/witness"

failures=0
# run NAME ARGS...: the tool must exit 0 or 1 within the limits (diff: 0, 1 or 2).
run() {
  local name=$1 most=1
  shift
  [[ $1 == diff ]] && most=2
  local status
  (
    if [[ $limit_memory == 1 ]]; then ulimit -v $((256 * 1024)); fi
    exec timeout -s KILL 5 "$tool" "$@"
  ) >"$work/out" 2>"$work/err" </dev/null
  status=$?
  if ((status > most)); then
    echo "$name: '$*' exited with $status: $(head -c 300 "$work/err")"
    failures=1
  fi
}

for archive in "$work"/archives/*.dat; do
  name=$(basename "$archive")
  run "$name" info "$archive"
  run "$name" ls "$archive" --format json
  run "$name" verify "$archive" --jobs 4
  run "$name" cat "$archive" 06000001 06000000 40000001
  run "$name" font "$archive" 40000001 --json
  run "$name" stats "$archive"
  run "$name" diff "$archive" "$archive"
  out="$work/extract-$name"
  mkdir "$out"
  ln -s "$work/outside" "$out/Texture"
  run "$name" extract "$archive" "$out" --jobs 4 --force
  written=$(du -sb "$out" | cut -f1)
  if ((written > 64 * 1024 * 1024)); then
    echo "$name: extract wrote $written bytes"
    failures=1
  fi
done
if [[ $(cat "$work/outside/witness") != untouched ]] || (($(ls "$work/outside" | wc -l) != 1)); then
  echo "extract wrote outside its output directory"
  failures=1
fi
exit "$failures"
