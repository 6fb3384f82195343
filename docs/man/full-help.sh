#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The help text help2man turns into the man page: the tool's own --help followed by
# a "Commands" section with every subcommand's --help. Subcommands are read from the
# top-level help, so a new one shows up without touching this file.
# Usage: MARROWVANE_DAT_TOOL=path/to/marrowvane-dat full-help.sh --help|--version
set -euo pipefail
tool="${MARROWVANE_DAT_TOOL:?MARROWVANE_DAT_TOOL must name the marrowvane-dat executable}"
source "$(dirname "${BASH_SOURCE[0]}")/../help-parsing.sh"

# help2man sets only the first of "-h,--help" in bold; "-h, --help" reads as two.
spread_spellings() { sed -E ':again; s/^( +-[^ ,]+(, -[^ ,]+)*),-/\1, -/; t again'; }

case "${1:-}" in
  --version) exec "$tool" --version ;;
  --help) ;;
  *)
    echo "usage: full-help.sh --help|--version" >&2
    exit 2
    ;;
esac

top="$("$tool" --help)"
printf '%s\n\n' "$top" | spread_spellings
printf '*Commands*\n'
for command in $(help_subcommands <<<"$top"); do
  # "Usage: marrowvane-dat ls [OPTIONS] ARCHIVE" becomes a subsection title, which
  # help2man recognises by its trailing colon and an indented line below it. The
  # block headings would open new man sections, and --help is described above.
  "$tool" "$command" --help | awk '
    NR == 1 { summary = $0; next }
    /^Usage: / { sub(/^Usage: /, ""); print $0 ":"; print "  " summary "."; next }
    /^(Positionals|Options):/ { next }
    /^ +-h,--help / { next }
    { print }' | spread_spellings
  printf '\n'
done
