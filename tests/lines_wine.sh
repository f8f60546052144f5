#!/usr/bin/env bash
# The cross-built lines program under wine, in two starts: the first builds
# and saves the index of a CR LF file and prints a range of it, the second
# finds the saved index, indexes only the bytes appended since, and prints
# numbered lines. Each output is held to a naive CR LF split.
# A third start reads the file gzipped, where the build has zlib.
# Usage: lines_wine.sh EMULATOR... LINES_EXE
set -u
program=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}
f=$work/text.txt
perl -e 'srand(7); for (1 .. 3000) { print join("", map { ("a" .. "z", " ", "\n")[rand 28] } 1 .. rand 80), "\r\n" } print "no end"' >"$f"
windows=Z:${f//\//\\}
crlf_split() { # FIRST FILE
  perl -e '$/ = "\r\n"; open my $in, "<", $ARGV[1]; while (<$in>) { print if $. >= $ARGV[0] }' "$@"
}

"${program[@]}" -v --crlf "$windows" 2990- >"$work/got" 2>"$work/err"
status=$?
crlf_split 2990 "$f" >"$work/want"
[ $status = 0 ] || fail "first start: status $status: $(cat "$work/err")"
cmp -s "$work/want" "$work/got" || fail "first start: output differs"
grep -q 'index saved to .*line_reader' "$work/err" || fail "first start: no index saved: $(cat "$work/err")"

printf ' now ended\r\nand one more\r\n' >>"$f"
"${program[@]}" -v -n --crlf "$windows" 2999- >"$work/got" 2>"$work/err"
status=$?
crlf_split 2999 "$f" | perl -e '$/ = "\r\n"; my $n = 2999; while (<STDIN>) { printf "%6d\t%s", $n++, $_ }' >"$work/want"
[ $status = 0 ] || fail "second start: status $status: $(cat "$work/err")"
cmp -s "$work/want" "$work/got" || fail "second start: output differs"
grep -q 'index loaded from .*, 26 appended bytes indexed' "$work/err" || fail "second start: $(cat "$work/err")"

gzip -c "$f" >"$f.gz"
"${program[@]}" --no-cache --crlf "$windows.gz" 2990- >"$work/got" 2>"$work/err"
status=$?
if grep -q 'a gzip file' "$work/err"; then
  echo "gzip refused: a build without zlib"
else
  crlf_split 2990 "$f" >"$work/want"
  [ $status = 0 ] || fail "gzip start: status $status: $(cat "$work/err")"
  cmp -s "$work/want" "$work/got" || fail "gzip start: output differs"
fi

[ $failures = 0 ] && echo "ok   lines under wine: three starts" || exit 1
