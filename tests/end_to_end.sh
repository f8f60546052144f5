#!/usr/bin/env bash
# Runs the real program in a fresh directory per case and compares its
# standard output byte for byte with the report the inputs must give (the
# cases of report_cases.sh), followed by the closing prompt. Then the cases
# that only a whole process shows: a FIFO in place of a file, standard input
# a pipe or closed, and outputs that cannot take the report.
# Usage: end_to_end.sh PROGRAM [ARGS...]
set -u
program=("$@")
[ ${#program[@]} -gt 0 ] || { echo "usage: $0 PROGRAM [ARGS...]" >&2; exit 2; }
# Each case runs in a directory of its own: relative paths must not depend on it.
for i in "${!program[@]}"; do
  case "${program[$i]}" in /*) ;; */*) [ -e "${program[$i]}" ] && program[$i]=$PWD/${program[$i]} ;; esac
done

failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# check NAME RUN_DIR EXPECTED [STDIN]: runs the program in RUN_DIR and compares
# its output with the file EXPECTED.
check() {
  local name=$1 run=$2 expected=$3 stdin=${4:-/dev/null} status
  (cd "$run" && timeout 20 "${program[@]}" <"$stdin" >"$work/actual" 2>/dev/null)
  status=$?
  if [ $status -ne 0 ]; then
    echo "FAIL $name: exit status $status"
    failures=$((failures + 1))
  elif ! cmp -s "$expected" "$work/actual"; then
    echo "FAIL $name: output differs (expected, then actual):"
    od -c "$expected" | head -20
    od -c "$work/actual" | head -20
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

cases=$work/cases
mkdir "$cases"
"$(dirname "$0")/report_cases.sh" "$cases" || exit 1
for case in "$cases"/*/; do
  case=${case%/}
  printf 'Press any key to continue ...\r\n' >>"$case/expected"
  check "$(basename "$case")" "$case/run" "$case/expected"
done

# A FIFO is refused at once, like the directory: nobody ever writes to it.
mkdir -p "$work/fifo"
mkfifo "$work/fifo/testbrok.txt"
cp "$cases/directory_in_place_of_a_file/run/testworked.txt" "$work/fifo/"
check fifo_in_place_of_a_file "$work/fifo" "$cases/directory_in_place_of_a_file/expected"

printf '\n' >"$work/newline"
check standard_input_a_pipe "$cases/both_missing/run" "$cases/both_missing/expected" "$work/newline"

# Outputs that cannot take the report and an input that is not there end
# nothing early and never change the exit status.
run=$cases/nine_bytes/run
check_status() {
  if [ "$2" -eq 0 ]; then echo "ok   $1"; else echo "FAIL $1: exit status $2"; failures=$((failures + 1)); fi
}
if [ -w /dev/full ]; then
  (cd "$run" && timeout 20 "${program[@]}" </dev/null >/dev/full 2>/dev/null)
  check_status "standard output /dev/full" $?
fi
(cd "$run" && { timeout 20 "${program[@]}" </dev/null 2>/dev/null; echo $? >"$work/status"; } | head -c 10 >/dev/null)
check_status "standard output closed after 10 bytes" "$(cat "$work/status")"
# A file-size limit of 1 KiB under a report of 3 KiB: the writes past it fail.
mkdir "$work/big"
for i in $(seq 100); do printf 'line %s of the report\r\n' "$i"; done >"$work/big/testbrok.txt"
(cd "$work/big" && ulimit -f 1 && timeout 20 "${program[@]}" </dev/null >"$work/limited" 2>/dev/null)
check_status "standard output over a file-size limit" $?
(cd "$run" && timeout 20 "${program[@]}" <&- >"$work/actual" 2>/dev/null)
check_status "standard input closed" $?
cmp -s "$cases/nine_bytes/expected" "$work/actual" || { echo "FAIL output with standard input closed"; failures=$((failures + 1)); }

if [ $failures -ne 0 ]; then
  echo "$failures case(s) failed"
  exit 1
fi
echo "all cases passed"
