#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks that the generated completion script and man page mention every subcommand
# and every long option the built tool's help shows. Reads the help without the
# generators' parser, so a parsing slip there shows up here.
# Usage: covers_help_test.sh TOOL COMPLETION [MANPAGE]
# --help prints the comment above and succeeds, like every command of the project.
if [[ ${1-} == -h || ${1-} == --help ]]; then
  sed -n '3,/^[^#]/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" | sed '$d'
  exit 0
fi
set -euo pipefail
tool=$1 completion=$2 manpage=${3-}

top="$("$tool" --help)"
commands=$(awk '/^Subcommands:/ { on = 1; next } on && !NF { on = 0 } on { print $1 }' <<<"$top")
[[ -n $commands ]] || {
  echo "no subcommands found in '$tool --help'" >&2
  exit 1
}
helps="$top"
for command in $commands; do
  helps+=$'\n'"$("$tool" "$command" --help)"
done
options=$(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$helps" | sort -u)

# The man page as text: roff's escaped hyphens and font changes removed.
man_text=""
if [[ -n $manpage ]]; then
  man_text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\f(CW//g' "$manpage")
fi

missing=0
for word in $commands $options; do
  if ! grep -qw -- "$word" "$completion"; then
    echo "completion script does not mention '$word'" >&2
    missing=1
  fi
  if [[ -n $manpage ]] && ! grep -qw -- "$word" <<<"$man_text"; then
    echo "man page does not mention '$word'" >&2
    missing=1
  fi
done
for command in $commands; do
  if [[ -n $manpage ]] && ! grep -q "^\.SS \"marrowvane-dat $command " "$manpage"; then
    echo "man page has no section for '$command'" >&2
    missing=1
  fi
done
echo "checked $(wc -w <<<"$commands") subcommands and $(wc -w <<<"$options") long options"
exit "$missing"
