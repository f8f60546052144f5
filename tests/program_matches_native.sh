#!/usr/bin/env bash
# Runs a build of the program on the samples, with standard input from
# /dev/null, and requires exit status 0 and the native program's output byte
# for byte. Where program starts are cheap (no 32-bit emulator registered),
# also on a directory where both files are missing.
# Usage: program_matches_native.sh NATIVE_PROGRAM -- PROGRAM [ARGS...]
# LINE_READER_START_TIMEOUT: seconds for one start (600 unless set).
set -u
native=$1
shift
[ "${1:-}" = -- ] && [ $# -gt 1 ] || { echo "usage: $0 NATIVE_PROGRAM -- PROGRAM [ARGS...]" >&2; exit 2; }
shift
[ -x "$native" ] || { echo "the native program $native is not built (cmake --build --preset default)" >&2; exit 1; }
absolute() { case "$1" in /*) echo "$1" ;; */*) echo "$PWD/$1" ;; *) echo "$1" ;; esac; }
native=$(absolute "$native")
program=()
for word in "$@"; do program+=("$(absolute "$word")"); done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

compare() {
  local name=$1 dir=$2 status
  (cd "$dir" && "$native" </dev/null >"$work/expected" 2>/dev/null)
  (cd "$dir" && timeout "${LINE_READER_START_TIMEOUT:-600}" "${program[@]}" </dev/null >"$work/actual" 2>/dev/null)
  status=$?
  if [ $status -ne 0 ]; then
    echo "FAIL $name: exit status $status$([ $status -eq 124 ] && echo ' (timed out)')"
    failures=$((failures + 1))
  elif ! cmp "$work/expected" "$work/actual"; then
    echo "FAIL $name: output differs from the native program's"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

compare samples "$(dirname "$0")/../samples"
if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
  echo "skip missing_files: each start costs minutes under the emulator"
else
  mkdir "$work/empty"
  compare missing_files "$work/empty"
fi
[ $failures -eq 0 ] || exit 1
echo "same output as the native program"
