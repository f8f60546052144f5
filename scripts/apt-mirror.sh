#!/usr/bin/env bash
# Prints the address of the machine's apt source for SUITE (the release's
# codename): the URIs: of the first deb822 stanza whose Suites: has it, else
# the address of the first sources.list line for it. Prints nothing and
# fails when there is none.
# Usage: apt-mirror.sh SUITE [APT_DIR]  (APT_DIR defaults to /etc/apt)
set -euo pipefail
suite=$1
dir=${2:-/etc/apt}
shopt -s nullglob
for file in "$dir"/sources.list.d/*.sources; do
  # Stanzas are separated by blank lines; a field may be folded onto lines
  # that begin with a space.
  address=$(awk -v suite="$suite" '
    function check() { if (!found && types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " suite " ") && uris != "" && enabled != "no") { split(uris, u, " "); print u[1]; found = 1; exit } }
    /^[ \t]*#/ { next }
    /^[ \t]*$/ { check(); types = suites = uris = enabled = ""; last = ""; next }
    /^[ \t]/ { if (last == "uris") uris = uris " " $0; else if (last == "suites") suites = suites " " $0; next }
    {
      field = tolower($1); sub(/:$/, "", field); $1 = ""; sub(/^ +/, "")
      last = field
      if (field == "types") types = $0; else if (field == "suites") suites = $0
      else if (field == "uris") uris = $0; else if (field == "enabled") enabled = tolower($0)
    }
    END { check() }' "$file")
  if [ -n "$address" ]; then echo "$address"; exit 0; fi
done
for file in "$dir"/sources.list "$dir"/sources.list.d/*.list; do
  [ -f "$file" ] || continue
  # deb [options] URI SUITE COMPONENT...
  address=$(awk -v suite="$suite" '
    $1 == "deb" {
      i = 2
      if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
      if ($(i + 1) == suite) { print $i; exit }
    }' "$file")
  if [ -n "$address" ]; then echo "$address"; exit 0; fi
done
exit 1
