#!/usr/bin/env bash
# Runs the real program under valgrind's memcheck on the samples and on
# crafted inputs; any memory error or leak fails. Usage: valgrind_report.sh PROGRAM
set -u
program=$1
case "$program" in /*) ;; *) program=$PWD/$program ;; esac
samples=$(cd "$(dirname "$0")/../samples" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# inputs NAME: makes $work/NAME with testbrok.txt and testworked.txt from stdin commands.
run_in() {
  local dir=$1
  if (cd "$dir" && valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
    --errors-for-leak-kinds=definite,indirect,possible "$program" </dev/null >/dev/null 2>"$work/log"); then
    echo "clean $(basename "$dir")"
  else
    echo "FAIL $(basename "$dir"):"
    cat "$work/log"
    failures=$((failures + 1))
  fi
}

run_in "$samples"
make_case() { mkdir -p "$work/$1"; }
make_case empty_and_one_byte; : >"$work/empty_and_one_byte/testbrok.txt"; printf 'a' >"$work/empty_and_one_byte/testworked.txt"
make_case two_bytes_and_none; printf '\r\n' >"$work/two_bytes_and_none/testbrok.txt"
make_case no_line_break; printf 'no line break at all, only text' >"$work/no_line_break/testbrok.txt"
cp "$work/no_line_break/testbrok.txt" "$work/no_line_break/testworked.txt"
make_case nul_bytes; printf 'a\0b\r\n\0\0\r\n\r\0\n' >"$work/nul_bytes/testbrok.txt"; printf '\0\0\0\0' >"$work/nul_bytes/testworked.txt"
make_case one_mib_line; head -c $((1 << 20)) /dev/zero | tr '\0' 'x' >"$work/one_mib_line/testbrok.txt"
{ head -c $((1 << 20)) /dev/zero | tr '\0' 'y'; printf '\r\nend\r\n'; } >"$work/one_mib_line/testworked.txt"
for dir in "$work"/*/; do run_in "${dir%/}"; done

[ $failures -eq 0 ] || { echo "$failures run(s) not clean"; exit 1; }
echo "valgrind: no errors, no leaks"
