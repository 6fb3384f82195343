#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every command of the tool on each hostile archive shape (and on a FIFO) and
# checks it ends by itself within 5 seconds, without being killed, within 256 MiB
# of address space (when the build can run under such a limit), and that extraction
# writes at most 64 MiB and nothing outside its output directory. serve, when the tool
# has it, must start (or refuse the archive), answer each request within 5 seconds
# with a status it means, and stop on SIGTERM.
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

# http_status PORT PATH: the status code of one GET, or nothing.
http_status() {
  timeout 5 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" &&
    printf "GET %s HTTP/1.0\r\nHost: localhost\r\n\r\n" "$2" >&3 && head -n 1 <&3' _ "$1" "$2" |
    cut -d' ' -f2
}

# serve NAME ARCHIVE: the server on a hostile archive, asked for every kind of answer.
serve() {
  local name=$1 archive=$2 pid port="" status
  (
    # Under an address space limit, glibc's malloc keeps failing to reserve a new
    # 64 MiB arena for each of the server's threads; one shared arena measures the
    # server instead of that.
    if [[ $limit_memory == 1 ]]; then
      ulimit -v $((256 * 1024))
      export MALLOC_ARENA_MAX=1
    fi
    exec timeout -s KILL 30 "$tool" serve "$archive" --port 0 -q
  ) >"$work/serve-out" 2>"$work/serve-err" </dev/null &
  pid=$!
  for _ in $(seq 50); do
    port=$(sed -n 's|.* at http://127.0.0.1:\([0-9]*\)/$|\1|p' "$work/serve-out")
    [[ -n $port ]] || ! kill -0 "$pid" 2>/dev/null && break
    sleep 0.1
  done
  if [[ -z $port ]]; then
    wait "$pid"
    status=$?
    if ((status != 1)); then
      echo "$name: serve neither started nor refused the archive ($status): $(head -c 300 "$work/serve-err")"
      failures=1
    fi
    return
  fi
  for path in "/api/ls?limit=1000" "/api/ls?sort=size&order=desc" /api/stats /api/info \
    /api/file/06000001 "/api/file/06000000?stored=1" /api/font/40000001 /entries; do
    status=$(http_status "$port" "$path")
    if [[ ! $status =~ ^(200|403|404|422)$ ]]; then
      echo "$name: serve answered $path with '${status:-nothing}'"
      failures=1
    fi
  done
  kill -TERM "$pid"
  wait "$pid"
  status=$?
  if ((status != 128 + 15)); then
    echo "$name: serve ended with $status on SIGTERM: $(head -c 300 "$work/serve-err")"
    failures=1
  fi
}

has_serve=0
"$tool" serve --help >/dev/null 2>&1 && has_serve=1

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
  if ((has_serve)); then
    serve "$name" "$archive"
  fi
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
