#!/usr/bin/env bash
# Writes the report's test cases, one directory each: DIR/NAME/run holds the
# input files, DIR/NAME/expected the report that they must give (everything
# the program writes before its closing prompt).
# Usage: report_cases.sh DIR [NATIVE_PROGRAM]
# The hand-written cases come first. With NATIVE_PROGRAM, the samples and
# generated inputs full of CR, LF, NUL and other bytes at many sizes follow;
# their expected report is that program's, so that another build of the report
# (the Windows one) is held to the native output byte for byte.
set -u
dir=$1
native=${2:-}
[ -d "$dir" ] || { echo "usage: $0 DIR [NATIVE_PROGRAM]" >&2; exit 2; }

first_texts=('  line count of testbrok.txt\r\n' '  line number with the largest size\r\n' '  size max for a line\r\n')
second_texts=('  line count of testworked.txt\r\n' ' line number with the largest size\r\n' ' size max for a line\r\n')

# stats FIRST|SECOND COUNT LONGEST SIZE: one file's three statistics lines.
stats() {
  local -n texts=$1_texts
  printf "%s${texts[0]}%s${texts[1]}%s${texts[2]}" "$2" "$3" "$4"
}
zeros() { stats "$1" 0 0 0; }

# new_case NAME: $case is a fresh directory; inputs go to $case/run, the
# expected report to $case/expected.
new_case() {
  case=$dir/$1
  mkdir -p "$case/run"
}

new_case nine_bytes
printf 'ab\r\ncde\r\n' >"$case/run/testbrok.txt"
{ stats first 2 2 3; printf 'ab\r\ncde\r\n'; zeros second; } >"$case/expected"

new_case three_bytes
printf 'a\r\n' >"$case/run/testworked.txt"
{ zeros first; stats second 1 1 1; printf 'a\r\n'; } >"$case/expected"

new_case missing_first_file
printf 'first\r\nsecond line\r\nthird' >"$case/run/testworked.txt"
{ zeros first; stats second 3 2 11; printf 'first\r\nsecond line\r\nthird\r\n'; } >"$case/expected"

new_case both_missing
{ zeros first; zeros second; } >"$case/expected"

new_case unterminated_last_line
printf 'short\r\n%s' 'a last line of 21 byt' >"$case/run/testbrok.txt"
cp "$case/run/testbrok.txt" "$case/run/testworked.txt"
{
  stats first 2 1 5; printf 'short\r\na last line of 21 byt\r\n'
  stats second 2 1 5; printf 'short\r\na last line of 21 byt\r\n'
} >"$case/expected"

new_case bare_lf_text
printf 'one\ntwo\nthree\nfour' >"$case/run/testbrok.txt"
{ stats first 1 0 0; printf 'one\ntwo\nthree\nfour\r\n'; zeros second; } >"$case/expected"

new_case bare_lf_text_ending_in_lf
printf 'one\ntwo\nthree\nfour\n' >"$case/run/testbrok.txt"
{ zeros first; zeros second; } >"$case/expected"

new_case too_small_and_empty
printf 'ab' >"$case/run/testbrok.txt"
: >"$case/run/testworked.txt"
{ zeros first; zeros second; } >"$case/expected"

new_case nul_inside_a_line
printf 'a\0b\r\ncd\r\n' >"$case/run/testbrok.txt"
{ stats first 2 1 3; printf 'a\r\ncd\r\n'; zeros second; } >"$case/expected"

new_case empty_lines_and_crs
printf '\r\n\r\n\r\r\nx\r' >"$case/run/testworked.txt"
{ zeros first; stats second 4 3 1; printf '\r\n\r\n\r\r\nx\r\r\n'; } >"$case/expected"

new_case directory_in_place_of_a_file
mkdir "$case/run/testbrok.txt"
printf 'ok\r\n' >"$case/run/testworked.txt"
{ zeros first; stats second 1 1 2; printf 'ok\r\n'; } >"$case/expected"

[ -n "$native" ] || exit 0

# native_expected: the native program's report on $case/run, its closing
# prompt and line end cut off.
prompt='Press any key to continue ...'
prompt_bytes=$((${#prompt} + 2))
native_expected() {
  (cd "$case/run" && "$native" </dev/null >"$case/native") || { echo "$native failed in $case" >&2; exit 1; }
  head -c -"$prompt_bytes" "$case/native" >"$case/expected"
  rm "$case/native"
}

new_case samples
cp "$(dirname "$0")/../samples/"*.txt "$case/run/"
native_expected

# random_file PATH SIZE: bytes drawn mostly from the ones that matter to the scan.
random_file() {
  local alphabet=('\r' '\n' '\r' '\n' 'a' 'b' ' ' '\0' '\r\n' '\r\n' 'xyz' '\t')
  local out='' i
  for ((i = 0; i < $2; i++)); do out+=${alphabet[RANDOM % ${#alphabet[@]}]}; done
  printf "$out" >"$1"
}

RANDOM=1208
for size in 0 1 2 3 15 16 17 31 32 33 63 64 65 100 257 1000 4000; do
  new_case "random_$size"
  random_file "$case/run/testbrok.txt" "$size"
  random_file "$case/run/testworked.txt" $((size * 3 + 1))
  native_expected
done
