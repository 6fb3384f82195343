#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sources the generated completion script in a clean bash and completes a few
# command lines the way readline would (COMP_WORDS/COMP_CWORD set, function called).
# Usage: completion_test.sh COMPLETION [with-serve] [with-mount]   (the optional commands
# the tool was built with)
# --help prints the comment above and succeeds, like every command of the project.
if [[ ${1-} == -h || ${1-} == --help ]]; then
  sed -n '3,/^[^#]/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" | sed '$d'
  exit 0
fi
set -euo pipefail
completion=$1
# The tool's commands: serve exists where the build found its HTTP library, mount
# where it found FUSE.
shift
optional=" $* "
commands="cat diff extract font help info ls"
[[ $optional == *" with-mount "* ]] && commands+=" mount"
[[ $optional == *" with-serve "* ]] && commands+=" serve"
commands+=" stats verify"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/portal.dat" "$scratch/cell.dat"

exec bash --norc --noprofile -s -- "$completion" "$scratch" "$commands" <<'TESTS'
set -u
source "$1"
cd "$2"
commands=$3
failures=0

registration=$(complete -p marrowvane-dat)
if [[ $registration != "complete -F _marrowvane_dat marrowvane-dat" ]]; then
  echo "complete -p marrowvane-dat: '$registration'"
  failures=1
fi

# expect "WORD WORD ... [CURRENT]" "EXPECTED REPLIES (sorted, space-separated)"
expect() {
  local line=$1 want=$2
  read -r -a COMP_WORDS <<<"$line"
  COMP_CWORD=${#COMP_WORDS[@]}
  [[ $line == *" " ]] && COMP_WORDS+=("")
  ((COMP_CWORD = ${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _marrowvane_dat
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' ')
  if [[ $got != "$want" ]]; then
    echo "completing '$line': got '$got', want '$want'"
    failures=1
  fi
}

# Subcommands, and the top level's own options.
expect "marrowvane-dat l" "ls"
expect "marrowvane-dat " "$commands"
expect "marrowvane-dat --ve" "--verbose --version"
# A subcommand's options, and only its own.
expect "marrowvane-dat ls portal.dat --" "--format --help --json --max-input --quiet --type --verbose"
expect "marrowvane-dat extract portal.dat out --jo" "--jobs"
expect "marrowvane-dat diff a.dat b.dat --j" "--json"
expect "marrowvane-dat cat portal.dat 0x40000001 --s" "--stored"
# Option values: type names match ignoring case, in every spelling of the option.
expect "marrowvane-dat ls portal.dat --type F" "Font"
expect "marrowvane-dat ls portal.dat --type surf" "Surface SurfaceTexture"
expect "marrowvane-dat extract --type = Fo" "Font"
expect "marrowvane-dat extract -j " ""
# Every option that takes a value completes that value (or nothing: numbers)...
expect "marrowvane-dat ls --format " "json table tsv"
expect "marrowvane-dat ls portal.dat --format t" "table tsv"
expect "marrowvane-dat ls --format = j" "json"
expect "marrowvane-dat verify --jobs " ""
for command in ls extract; do
  expect "marrowvane-dat $command --type FONT" "Font"
done
# ...and every option that takes none leaves the next word to the arguments.
for flag in --json -q --quiet -v --verbose; do
  for command in info ls verify stats; do
    expect "marrowvane-dat $command $flag p" "portal.dat"
  done
done
for flag in --stored --force; do
  expect "marrowvane-dat cat $flag p" "portal.dat"
done
for flag in --force --skip-existing --json; do
  expect "marrowvane-dat extract $flag p" "portal.dat"
done
expect "marrowvane-dat font --json p" "portal.dat"
expect "marrowvane-dat diff --json portal.dat c" "cell.dat"
expect "marrowvane-dat -q --verbose l" "ls"
expect "marrowvane-dat extract --jobs 2 p" "portal.dat"
expect "marrowvane-dat ls --format json p" "portal.dat"
# help takes a command's name.
expect "marrowvane-dat help " "$commands"
expect "marrowvane-dat help ex" "extract"
# Positional arguments: archives are files, ids are not completed.
expect "marrowvane-dat info p" "portal.dat"
expect "marrowvane-dat ls --type Font " "cell.dat portal.dat"
expect "marrowvane-dat cat portal.dat " ""
expect "marrowvane-dat font --json portal.dat 0x4 " ""
if [[ " $commands " == *" serve "* ]]; then
  expect "marrowvane-dat se" "serve"
  expect "marrowvane-dat serve portal.dat --" "--allow-shared-blocks --bind --help --max-input --port --quiet --verbose"
  expect "marrowvane-dat serve --port " ""
  expect "marrowvane-dat serve --allow-shared-blocks p" "portal.dat"
  expect "marrowvane-dat serve portal.dat c" "cell.dat"
fi
exit "$failures"
TESTS
