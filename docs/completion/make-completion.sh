#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Writes the bash completion for marrowvane-dat from the built tool's own help (its
# subcommands, their options and arguments) and the library's file type names, so
# the completion cannot fall behind the tool.
# Usage: make-completion.sh TOOL FILE_TYPE_NAMES OUTPUT
# --help prints the comment above and succeeds, like every command of the project.
if [[ ${1-} == -h || ${1-} == --help ]]; then
  sed -n '3,/^[^#]/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" | sed '$d'
  exit 0
fi
set -euo pipefail
tool=$1 type_names=$2 output=$3
here="$(dirname "${BASH_SOURCE[0]}")"
source "$here/../help-parsing.sh"

# Writes the tables for one help text: $1 is the subcommand ("-" for the top level).
tables_for() {
  local command=$1 help spellings value spelling names=()
  help="$(cat)"
  while read -r spellings value; do
    IFS=, read -r -a spelling <<<"$spellings"
    names+=("${spelling[@]}")
    if [[ $value != - ]]; then
      for name in "${spelling[@]}"; do
        printf '_marrowvane_dat_values[%q]=%q\n' "$command:$name" "$value"
      done
    fi
  done < <(help_options <<<"$help")
  printf '_marrowvane_dat_options[%q]=%q\n' "$command" "${names[*]}"
  local positionals
  positionals="$(help_positionals <<<"$help" | awk '{ print $2 }' | paste -sd ' ')"
  printf '_marrowvane_dat_positionals[%q]=%q\n' "$command" "$positionals"
}

top="$("$tool" --help)"
commands="$(help_subcommands <<<"$top" | paste -sd ' ')"
types="$("$type_names" | paste -sd ' ')"
[[ -n $commands && -n $types ]] || {
  echo "make-completion.sh: no subcommands or no file types found" >&2
  exit 1
}

{
  printf '# bash completion for marrowvane-dat; generated from %s --help. Do not edit.\n\n' \
    "$("$tool" --version)"
  printf 'declare -g _marrowvane_dat_commands=%q\n' "$commands"
  printf 'declare -g _marrowvane_dat_types=%q\n' "$types"
  printf 'declare -gA _marrowvane_dat_options=() _marrowvane_dat_values=() _marrowvane_dat_positionals=()\n'
  tables_for - <<<"$top"
  for command in $commands; do
    "$tool" "$command" --help | tables_for "$command"
  done
  printf '\n'
  cat "$here/completion.bash"
} >"$output.tmp"
mv "$output.tmp" "$output"
