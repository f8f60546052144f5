#!/usr/bin/env bash
# Checks that no object compiled for an instruction set beyond the baseline
# (-march=x86-64-v3 or v4, -mavx2, -mavx512*) defines a weak symbol. The
# linker keeps one copy of a weak symbol for the whole program; a copy from
# such an object could run AVX2, AVX-512 or BMI instructions from the
# baseline code. The check is on
# a Debug build, where nothing is inlined away.
# Usage: check-isa-objects.sh BUILD_DIR (a Debug build with compile_commands.json)
set -euo pipefail
build=$1
commands=$build/compile_commands.json
[ -f "$commands" ] || { echo "no $commands" >&2; exit 1; }
# The object is the command's -o argument, relative to its directory; CMake
# writes "directory" before "command" in each entry, one per line.
objects=$(awk -F'"' '
  $2 == "directory" { directory = $4 }
  $2 == "command" && $4 ~ / -m(arch=x86-64-v[34]|avx2|avx512[a-z0-9]*)( |$)/ {
    if (match($4, / -o [^ ]+/)) print directory "/" substr($4, RSTART + 4, RLENGTH - 4)
  }' "$commands")
if [ -z "$objects" ]; then
  echo "no object is compiled beyond the baseline: nothing to check"
  exit 0
fi
status=0
for object in $objects; do
  weak=$(nm --defined-only -C "$object" | awk '$2 ~ /^[WVu]$/' || true)
  if [ -n "$weak" ]; then
    echo "$object defines weak symbols, built with its instruction set:" >&2
    echo "$weak" >&2
    status=1
  else
    echo "$(basename "$object"): no weak symbols"
  fi
done
exit $status
