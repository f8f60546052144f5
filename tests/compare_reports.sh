#!/usr/bin/env bash
# Runs two builds of the program on the same inputs and requires identical
# standard output, byte for byte: the samples and generated files full of CR,
# LF, NUL and other bytes at many sizes.
# Usage: compare_reports.sh PROGRAM_A [ARGS...] -- PROGRAM_B [ARGS...]
set -u
first=() second=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do first+=("$1"); shift; done
shift
second=("$@")
[ ${#first[@]} -gt 0 ] && [ ${#second[@]} -gt 0 ] || { echo "usage: $0 A... -- B..." >&2; exit 2; }
absolute() { case "$1" in /*) echo "$1" ;; */*) echo "$PWD/$1" ;; *) echo "$1" ;; esac; }
for i in "${!first[@]}"; do first[$i]=$(absolute "${first[$i]}"); done
for i in "${!second[@]}"; do second[$i]=$(absolute "${second[$i]}"); done
samples=$(absolute "$(dirname "$0")/../samples")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# random_file PATH SIZE: bytes drawn mostly from the ones that matter to the scan.
random_file() {
  local alphabet=('\r' '\n' '\r' '\n' 'a' 'b' ' ' '\0' '\r\n' '\r\n' 'xyz' '\t')
  local out='' i
  for ((i = 0; i < $2; i++)); do out+=${alphabet[RANDOM % ${#alphabet[@]}]}; done
  printf "$out" >"$1"
}

compare() {
  local dir=$1
  (cd "$dir" && timeout 20 "${first[@]}" </dev/null >"$work/a" 2>/dev/null)
  (cd "$dir" && timeout 20 "${second[@]}" </dev/null >"$work/b" 2>/dev/null)
  if cmp -s "$work/a" "$work/b"; then
    echo "same  $(basename "$dir")"
  else
    echo "DIFFER $(basename "$dir")"
    failures=$((failures + 1))
  fi
}

compare "$samples"
RANDOM=1208
for size in 0 1 2 3 15 16 17 31 32 33 63 64 65 100 257 1000 4000; do
  dir=$work/random_$size
  mkdir "$dir"
  random_file "$dir/testbrok.txt" "$size"
  random_file "$dir/testworked.txt" $((size * 3 + 1))
  compare "$dir"
done

[ $failures -eq 0 ] || { echo "$failures input set(s) differ"; exit 1; }
echo "reports identical"
