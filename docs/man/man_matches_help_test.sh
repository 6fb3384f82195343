#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what the man page's hand-written part says against the built tool's help:
# its statement of how file ids are written must be the help's, word for word, and
# use the notation every command's ID help shows; every option it names must exist
# for the command it is named with (in an example line), or for the tool itself.
# Usage: man_matches_help_test.sh TOOL MAN_INCLUDE(.h2m)
# --help prints the comment above and succeeds, like every command of the project.
if [[ ${1-} == -h || ${1-} == --help ]]; then
  sed -n '3,/^[^#]/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" | sed '$d'
  exit 0
fi
set -euo pipefail
tool=$1 include=$2

# The DESCRIPTION section of the roff source as text: requests and section markers
# end a paragraph; escaped hyphens and font changes are undone.
description_text() {
  awk '/^\[/ { on = ($0 ~ /DESCRIPTION\]$/); next } on' "$1" |
    sed -e 's/^[.].*$//' -e 's/\\-/-/g' -e 's/\\f[BIRP]//g'
}
# Whole sentences (those ending in a full stop), one a line: a blank line ends a
# paragraph, so headings and listings never run into the text after them.
sentences() {
  awk 'NF { printf "%s ", $0; next } { print "" } END { print "" }' |
    sed -e 's/[[:space:]]\+/ /g' -e 's/\([.!?]\) /\1\n/g' | grep -E '\.[[:space:]]*$' |
    sed -e 's/^ //' -e 's/ $//' || true
}
# The sentences about file ids.
id_sentences() { sentences | grep -iwE 'ids?' || true; }

top_help="$("$tool" --help)"
commands=$(awk '/^Subcommands:/ { on = 1; next } on && !NF { on = 0 } on { print $1 }' <<<"$top_help")
failed=0
fail() {
  echo "$*" >&2
  failed=1
}

# --- file ids ---------------------------------------------------------------------
man_ids="$(description_text "$include" | id_sentences)"
help_ids="$(id_sentences <<<"$top_help")"
[[ -n $help_ids ]] || fail "'$tool --help' says nothing about file ids"
if [[ $man_ids != "$help_ids" ]]; then
  fail "the man page's statement on file ids differs from '$tool --help':"$'\n'"man:  $man_ids"$'\n'"help: $help_ids"
fi
# Ids as written in the statement (40000001, 0x40000001, d:1073741825), not counts.
notations=$(grep -oE '(0x|d:)?[0-9A-Fa-f]*[0-9][0-9A-Fa-f]*' <<<"$man_ids" | awk 'length >= 4' | sort -u)
for command in $commands; do
  help="$("$tool" "$command" --help)"
  grep -qE '^ +ID' <<<"$help" || continue
  for notation in $notations; do
    grep -qw -- "$notation" <<<"$help" ||
      fail "'$command --help' does not show the id notation '$notation' the man page uses"
  done
done

# --- options ----------------------------------------------------------------------
# The spellings of every option a help text lists ("-j,--jobs N" gives -j and --jobs).
help_spellings() {
  awk '/^[A-Za-z]+:$/ { on = ($0 == "Options:"); next }
       on && /^ +-/ { sub(/^ +/, ""); sub(/[ =].*/, ""); n = split($0, s, ","); for (i = 1; i <= n; i++) print s[i] }'
}
top_spellings="$(help_spellings <<<"$top_help")"
checked=0
# Text before the first section and roff comments are not part of the page.
while IFS= read -r line; do
  line="${line//\\-/-}"
  read -ra words <<<"$line"
  command=""
  if [[ ${words[0]-} == ".B" && ${words[1]-} == "marrowvane-dat" && -n ${words[2]-} ]]; then
    command=${words[2]}
  fi
  if [[ -n $command ]]; then
    grep -qx -- "$command" <<<"$commands" || {
      fail "the man page's example names '$command', which is not a marrowvane-dat command"
      continue
    }
    spellings="$(help_spellings < <("$tool" "$command" --help))"
    where="'$command --help'"
  else
    spellings="$top_spellings"
    where="'$tool --help'"
  fi
  for option in $(grep -oE -- '(^|[[:space:]])--?[A-Za-z][A-Za-z0-9-]*' <<<"$line" | sed 's/^[[:space:]]*//'); do
    checked=$((checked + 1))
    grep -qx -- "$option" <<<"$spellings" || fail "the man page names '$option', which $where does not list"
  done
done < <(awk '/^\[/ { on = 1 } on && !/^\.\\"/' "$include")

echo "checked $(wc -l <<<"$man_ids") id sentences and $checked option mentions"
exit "$failed"
