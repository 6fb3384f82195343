# SPDX-License-Identifier: MIT
# Reading the tool's --help text (CLI11's layout): what the man page and the bash
# completion generators both need. Each function reads one help text on stdin.

# The subcommand names listed under "Subcommands:", one per line.
help_subcommands() {
  awk '/^Subcommands:/ { on = 1; next }
       /^[^ ]/ || /^$/ { on = 0 }
       on && /^  [^ -]/ { print $1 }'
}

# One line per option under "Options:": its spellings separated by commas, a space,
# and the name of the value it takes ("-" for a flag), e.g. "-j,--jobs N".
help_options() {
  awk '/^Options:/ { on = 1; next }
       /^[^ ]/ { on = 0 }
       on && /^ +-/ {
         head = $0
         sub(/^ +/, "", head)
         sub(/  .*/, "", head)          # the description starts after two spaces
         n = split(head, words, " ")
         # A flag is followed by nothing or by a note such as "Excludes: --json".
         value = n > 1 && words[2] !~ /:$/ ? words[2] : "-"
         sub(/:.*/, "", value)          # "N:UINT in [1 - 1024]=1" names its value N
         print words[1], value
       }'
}

# One line per positional argument under "Positionals:", in order: its name and the
# name of its value, e.g. "ARCHIVE PATH".
help_positionals() {
  awk '/^Positionals:/ { on = 1; next }
       /^[^ ]/ { on = 0 }
       on && /^  [^ -]/ { print $1, $2 }'
}
