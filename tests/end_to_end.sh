#!/usr/bin/env bash
# Runs the real program in a fresh directory per case and compares its
# standard output byte for byte with the report the inputs must give, written
# here from the report's own texts. Usage: end_to_end.sh PROGRAM [ARGS...]
# (for example: end_to_end.sh wine line_report.exe). With E2E_NO_FIFO=1 the
# cases that need a FIFO are skipped.
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

first_texts=('  line count of testbrok.txt\r\n' '  line number with the largest size\r\n' '  size max for a line\r\n')
second_texts=('  line count of testworked.txt\r\n' ' line number with the largest size\r\n' ' size max for a line\r\n')
prompt='Press any key to continue ...'

# stats FIRST|SECOND COUNT LONGEST SIZE: one file's three statistics lines.
stats() {
  local -n texts=$1_texts
  printf "%s${texts[0]}%s${texts[1]}%s${texts[2]}" "$2" "$3" "$4"
}
zeros() { stats "$1" 0 0 0; }

# new_case NAME: a fresh directory to run in; the expected output goes to $case/expected.
new_case() {
  name=$1
  case=$work/$name
  mkdir -p "$case/run"
}

# check [STDIN]: runs the program in $case/run and compares with $case/expected.
check() {
  local stdin=${1:-/dev/null} status
  (cd "$case/run" && timeout 20 "${program[@]}" <"$stdin" >"$case/actual" 2>"$case/stderr")
  status=$?
  if [ $status -ne 0 ]; then
    echo "FAIL $name: exit status $status"
    failures=$((failures + 1))
  elif ! cmp -s "$case/expected" "$case/actual"; then
    echo "FAIL $name: output differs (expected, then actual):"
    od -c "$case/expected" | head -20
    od -c "$case/actual" | head -20
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

finish() { printf '%s\r\n' "$prompt"; }

new_case nine_bytes
printf 'ab\r\ncde\r\n' >"$case/run/testbrok.txt"
{ stats first 2 2 3; printf 'ab\r\ncde\r\n'; zeros second; finish; } >"$case/expected"
check

new_case three_bytes
printf 'a\r\n' >"$case/run/testworked.txt"
{ zeros first; stats second 1 1 1; printf 'a\r\n'; finish; } >"$case/expected"
check

new_case missing_first_file
printf 'first\r\nsecond line\r\nthird' >"$case/run/testworked.txt"
{ zeros first; stats second 3 2 11; printf 'first\r\nsecond line\r\nthird\r\n'; finish; } >"$case/expected"
check

new_case both_missing
{ zeros first; zeros second; finish; } >"$case/expected"
check

new_case unterminated_last_line
printf 'short\r\n%s' 'a last line of 21 byt' >"$case/run/testbrok.txt"
cp "$case/run/testbrok.txt" "$case/run/testworked.txt"
{
  stats first 2 1 5; printf 'short\r\na last line of 21 byt\r\n'
  stats second 2 1 5; printf 'short\r\na last line of 21 byt\r\n'; finish
} >"$case/expected"
check

new_case bare_lf_text
printf 'one\ntwo\nthree\nfour' >"$case/run/testbrok.txt"
{ stats first 1 0 0; printf 'one\ntwo\nthree\nfour\r\n'; zeros second; finish; } >"$case/expected"
check

new_case bare_lf_text_ending_in_lf
printf 'one\ntwo\nthree\nfour\n' >"$case/run/testbrok.txt"
{ zeros first; zeros second; finish; } >"$case/expected"
check

new_case too_small_and_empty
printf 'ab' >"$case/run/testbrok.txt"
: >"$case/run/testworked.txt"
{ zeros first; zeros second; finish; } >"$case/expected"
check

new_case nul_inside_a_line
printf 'a\0b\r\ncd\r\n' >"$case/run/testbrok.txt"
{ stats first 2 1 3; printf 'a\r\ncd\r\n'; zeros second; finish; } >"$case/expected"
check

new_case empty_lines_and_crs
printf '\r\n\r\n\r\r\nx\r' >"$case/run/testworked.txt"
{ zeros first; stats second 4 3 1; printf '\r\n\r\n\r\r\nx\r\r\n'; finish; } >"$case/expected"
check

new_case directory_in_place_of_a_file
mkdir "$case/run/testbrok.txt"
printf 'ok\r\n' >"$case/run/testworked.txt"
{ zeros first; stats second 1 1 2; printf 'ok\r\n'; finish; } >"$case/expected"
check

if [ "${E2E_NO_FIFO:-0}" != 1 ]; then
  new_case fifo_in_place_of_a_file
  mkfifo "$case/run/testworked.txt"
  printf 'ok\r\n' >"$case/run/testbrok.txt"
  { stats first 1 1 2; printf 'ok\r\n'; zeros second; finish; } >"$case/expected"
  check
else
  echo "skip fifo_in_place_of_a_file: no FIFOs on this target"
fi

new_case standard_input_a_pipe
{ zeros first; zeros second; finish; } >"$case/expected"
printf '\n' >"$case/newline"
check "$case/newline"

# Outputs that cannot take the report and an input that is not there end
# nothing early and never change the exit status.
new_case hostile_outputs
printf 'ab\r\ncde\r\n' >"$case/run/testbrok.txt"
{ stats first 2 2 3; printf 'ab\r\ncde\r\n'; zeros second; finish; } >"$case/expected"
check_status() {
  if [ "$2" -eq 0 ]; then echo "ok   $name: $1"; else echo "FAIL $name: $1: exit status $2"; failures=$((failures + 1)); fi
}
if [ -w /dev/full ]; then
  (cd "$case/run" && timeout 20 "${program[@]}" </dev/null >/dev/full 2>/dev/null)
  check_status "standard output /dev/full" $?
fi
(cd "$case/run" && { timeout 20 "${program[@]}" </dev/null 2>/dev/null; echo $? >"$case/status"; } | head -c 10 >/dev/null)
check_status "standard output closed after 10 bytes" "$(cat "$case/status")"
(cd "$case/run" && timeout 20 "${program[@]}" <&- >"$case/actual" 2>/dev/null)
check_status "standard input closed" $?
cmp -s "$case/expected" "$case/actual" || { echo "FAIL $name: output with standard input closed"; failures=$((failures + 1)); }

if [ $failures -ne 0 ]; then
  echo "$failures case(s) failed"
  exit 1
fi
echo "all cases passed"
