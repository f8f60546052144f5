#!/usr/bin/env bash
# Fails when the static library defines a global symbol outside the names it
# owns: the system's own names (run_line_command, load_text_file and the
# scanners) and everything in the namespace line_reader, the type
# information of its own interfaces included. Weak definitions of
# the standard library's templates and the compiler's references to its
# personality routine and to the standard types that a catch names
# are shared by every user and are let through.
# Usage: check-symbols.sh path/to/libline_reader.a
set -euo pipefail
lib=$1
allowed='^(run_line_command|load_text_file|count_crlf|build_line_index|note_longest_line)\(|^line_reader::|^(typeinfo (name )?for|vtable for) line_reader::'
shared='^(std::|DW\.ref\.(__gxx_personality_v0|_ZTISt[0-9A-Za-z_]+)$|typeinfo (name )?for std::|vtable for std::)'
strays=$(nm -g --defined-only "$lib" | awk 'NF == 3 { $1 = ""; $2 = ""; print substr($0, 3) }' | c++filt |
  sort -u | grep -Ev "$allowed" | grep -Ev "$shared" || true)
if [ -n "$strays" ]; then
  echo "global symbols outside the library's own names:" >&2
  echo "$strays" >&2
  exit 1
fi
echo "$(basename "$lib"): every global symbol is the library's own"
