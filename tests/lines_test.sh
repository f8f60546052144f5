#!/usr/bin/env bash
# The lines program end to end: its output against GNU sed, tail, cat -n
# and a naive CR LF split over random files, its saved indexes in a
# temporary cache, --follow on a real file, its usage and file errors, and
# its progress line.
# Usage: lines_test.sh LINES
set -u
lines=$1
case $lines in /*) ;; *) lines=$PWD/$lines ;; esac
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; chmod -R u+rwx "$work"; rm -rf "$work"' EXIT
export XDG_CACHE_HOME=$work/cache
unset LINES_CACHE_LIMIT LINES_PROGRESS_AFTER
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

# A random text: lines of 0 to 120 bytes (a few of 20000), a CR before some
# LFs and alone in others, and sometimes no line end at the end.
random_file() { # SEED BYTES FILE
  perl -e 'srand($ARGV[0]); my $out = ""; while (length $out < $ARGV[1]) {
      my $n = rand() < 0.01 ? 20000 : int(rand(121)); $out .= join "", map { ("a".."z", " ", "\r")[rand 28] } 1 .. $n;
      $out .= ("\n", "\r\n", "\n")[rand 3]; }
    chop $out if rand() < 0.5; print $out' "$1" "$2" >"$3"
}
crlf_split() { # FIRST LAST FILE: the records between CR LF ends
  perl -e '$/ = "\r\n"; open my $in, "<", $ARGV[2]; while (<$in>) { print if $. >= $ARGV[0] && $. <= $ARGV[1] }' "$@"
}
same() { # NAME EXPECTED_FILE ACTUAL_FILE
  cmp -s "$2" "$3" || fail "$1: output differs"
}

# Output against the reference tools, without a saved index (the early
# answer for bounded ranges), then with one, in both line-end modes.
for seed in 1 2 3 4 5 6 7 8; do
  f=$work/random$seed.txt
  random_file $seed $((seed * 20000)) "$f"
  total=$(perl -ne 'END { print $. }' "$f")
  for cache in --no-cache ""; do
    [ -z "$cache" ] && "$lines" --count "$f" >/dev/null
    for k in 1 2 3 4 5; do
      a=$(((RANDOM % total) + 1)) b=$(((RANDOM % total) + 1))
      [ $a -le $b ] || { t=$a; a=$b; b=$t; }
      sed -n "${a},${b}p" "$f" >"$work/want"
      "$lines" $cache "$f" $a-$b >"$work/got" || fail "seed $seed $a-$b: status $?"
      same "seed $seed lf $a-$b $cache" "$work/want" "$work/got"
      crlf_split $a $b "$f" >"$work/want"
      "$lines" $cache --crlf "$f" $a-$b >"$work/got" 2>/dev/null
      same "seed $seed crlf $a-$b $cache" "$work/want" "$work/got"
    done
    "$lines" $cache "$f" $a- $b-$b 1 >"$work/got"
    { sed -n "$a,\$p" "$f"; sed -n "${b}p" "$f"; sed -n 1p "$f"; } >"$work/want"
    same "seed $seed several ranges $cache" "$work/want" "$work/got"
    "$lines" $cache -n "$f" $a-$b >"$work/got"
    cat -n "$f" | sed -n "${a},${b}p" >"$work/want"
    same "seed $seed numbered $cache" "$work/want" "$work/got"
    "$lines" $cache -t 7 "$f" >"$work/got"
    tail -n 7 "$f" >"$work/want"
    same "seed $seed tail $cache" "$work/want" "$work/got"
    "$lines" $cache --crlf -t 3 "$f" >"$work/got"
    perl -e '$/ = "\r\n"; my @r = <STDIN>; print @r[($#r > 2 ? $#r - 2 : 0) .. $#r]' <"$f" >"$work/want"
    same "seed $seed crlf tail $cache" "$work/want" "$work/got"
    "$lines" $cache "$f" 1- >"$work/got"
    same "seed $seed whole $cache" "$f" "$work/got"
    [ "$("$lines" $cache -c "$f")" = "$total" ] || fail "seed $seed count $cache"
  done
done
# The same as a stream on standard input, read once in order.
for seed in 1 4; do
  f=$work/random$seed.txt
  total=$(perl -ne 'END { print $. }' "$f")
  a=$((total / 3)) b=$((total / 2))
  sed -n "${a},${b}p;$((b + 5))p" "$f" >"$work/want"
  "$lines" - $a-$b $((b + 5)) <"$f" >"$work/got" 2>/dev/null
  same "seed $seed stream $a-$b" "$work/want" "$work/got"
  crlf_split $a $b "$f" >"$work/want"
  cat "$f" | "$lines" --crlf - $a-$b >"$work/got" 2>/dev/null
  same "seed $seed stream crlf $a-$b" "$work/want" "$work/got"
  cat -n "$f" | sed -n "${a},\$p" >"$work/want"
  cat "$f" | "$lines" -n - $a- >"$work/got"
  same "seed $seed stream numbered" "$work/want" "$work/got"
  tail -n 7 "$f" >"$work/want"
  cat "$f" | "$lines" -t 7 - >"$work/got"
  same "seed $seed stream tail" "$work/want" "$work/got"
  [ "$(cat "$f" | "$lines" -c -)" = "$total" ] || fail "seed $seed stream count"
  [ "$("$lines" --no-cache --json "$f" | sed 's/.*"bytes"//; s/"index_bytes": [0-9]*//')" = \
    "$(cat "$f" | "$lines" --json - | sed 's/.*"bytes"//; s/"index_bytes": [0-9]*//')" ] || fail "seed $seed stream summary"
done
mkfifo "$work/fifo"
printf 'a\nb\nc\n' >"$work/fifo" &
[ "$("$lines" "$work/fifo" 2-3)" = "$(printf 'b\nc')" ] || fail "a FIFO as a stream"
[ "$(printf 'a\nb\n' | "$lines" /dev/stdin 2)" = b ] || fail "/dev/stdin as a stream"
# A stream that never ends is read only as far as the last range, as head reads.
[ "$(timeout 10 sh -c "yes | '$lines' - 2-3")" = "$(printf 'y\ny')" ] || fail "an endless stream not ended"
echo "ok   streams"

# Compressed files and streams are read by their text, cold and warm, in
# both line-end modes; a form this build does not read is refused with how
# to read it, and --raw reads the bytes as they are.
seq 1 1000 | gzip >"$work/seq.gz"
[ "$("$lines" --raw --no-cache -c "$work/seq.gz")" = "$(perl -ne 'END { print $. }' "$work/seq.gz")" ] ||
  fail "--raw: not the bytes as they are"
printf 'BZh91AY&SY rest\n' >"$work/x.bz2"
for input in "$work/x.bz2" -; do
  err=$("$lines" "$input" 1 <"$work/x.bz2" 2>&1 >"$work/got")
  [ $? = 2 ] && [ ! -s "$work/got" ] && echo "$err" | grep -q 'a bzip2 file.*bzcat' || fail "bzip2 $input: $err"
done
c=$work/c.txt
random_file 11 400000 "$c"
total=$(perl -ne 'END { print $. }' "$c")
a=$((total / 3)) b=$((total / 3 + 40))
gzip -c "$c" >"$c.gz"
zstd -q -c "$c" >"$c.zst" && xz -c "$c" >"$c.xz" || fail "zstd or xz missing"
for f in "$c.gz" "$c.zst" "$c.xz"; do
  for pass in cold warm; do
    "$lines" "$f" $a-$b 1 >"$work/got" || fail "$f $pass: status $?"
    { sed -n "${a},${b}p" "$c"; sed -n 1p "$c"; } >"$work/want"
    same "$f $pass" "$work/want" "$work/got"
    "$lines" --crlf "$f" $a-$b >"$work/got" 2>/dev/null
    crlf_split $a $b "$c" >"$work/want"
    same "$f $pass crlf" "$work/want" "$work/got"
    [ "$("$lines" -c "$f")" = "$total" ] || fail "$f $pass count"
  done
  "$lines" - $a-$b <"$f" >"$work/got" || fail "$f stream: status $?"
  sed -n "${a},${b}p" "$c" >"$work/want"
  same "$f as a stream" "$work/want" "$work/got"
  "$lines" --crlf - 1- <"$f" >"$work/got"
  same "$f as a stream, crlf, whole" "$c" "$work/got"
  head -c 3000 "$f" | "$lines" -c - >/dev/null 2>&1
  [ $? = 2 ] || fail "$f: a cut stream not an error"
done
# A damaged window in the saved index of a gzip file: warned of, built anew.
idx=$(XDG_CACHE_HOME=$work/cache "$lines" -v "$c.gz" 1 2>&1 >/dev/null | sed -n 's/.*index loaded from //p')
perl -e 'open my $f, "+<", $ARGV[0] or die; seek $f, -20, 2; read $f, my $b, 1; seek $f, -20, 2; print $f chr(ord($b) ^ 1)' "$idx"
err=$("$lines" "$c.gz" $total 2>&1 >"$work/got")
sed -n "${total}p" "$c" | cmp -s - "$work/got" && echo "$err" | grep -q damaged || fail "a damaged saved window: $err"
echo "ok   compressed files"

# Offsets as grep -b prints them; N parts that cover the file once; a
# sample of distinct lines, the same for the same seed; counts of several
# files as wc -l prints them.
f=$work/random3.txt
total=$(perl -ne 'END { print $. }' "$f")
"$lines" -b "$f" 1- >"$work/got"
grep -b '' "$f" >"$work/want"
[ "$(tail -c 1 "$f" | od -An -c | tr -d ' ')" = '\n' ] || truncate -s -1 "$work/want"
same "--offsets" "$work/want" "$work/got"
"$lines" --split 7 "$f" >"$work/parts"
[ "$(wc -l <"$work/parts")" = 7 ] || fail "--split 7: $(cat "$work/parts")"
: >"$work/got"
while read -r first last offset length; do
  "$lines" "$f" "$first-$last" >>"$work/got"
  [ "$(tail -c +$((offset + 1)) "$f" | head -c "$length" | cmp - <("$lines" "$f" "$first-$last") && echo same)" = same ] ||
    fail "--split: part $first-$last is not bytes $offset+$length"
done <"$work/parts"
same "--split 7: the parts, one after another" "$f" "$work/got"
"$lines" -n --sample 50 --seed 9 "$f" >"$work/got"
"$lines" -n --sample 50 --seed 9 "$f" | cmp -s - "$work/got" || fail "--sample: not the same for the same seed"
cut -f1 "$work/got" | sort -n -u | awk -v n="$total" '$1 >= 1 && $1 <= n' | wc -l | grep -qx 50 || fail "--sample 50: $(cut -f1 "$work/got" | head)"
cut -f1 "$work/got" | sort -c -n || fail "--sample: not in file order"
while IFS=$'\t' read -r n line; do
  [ "$(sed -n "${n}p" "$f" | tr -d '\n')" = "$line" ] || fail "--sample: line $n is not the file's"
done < <(head -5 "$work/got")
[ "$("$lines" -c "$f" "$work/random1.txt")" = "$(printf '%s %s\n%s %s\n%s total' "$total" "$f" \
  "$(perl -ne 'END { print $. }' "$work/random1.txt")" "$work/random1.txt" \
  $((total + $(perl -ne 'END { print $. }' "$work/random1.txt"))))" ] || fail "--count of two files"
# A file that cannot be read among several: the others are still answered
# and added up, and the status is 2, as wc -l goes on past it.
got=$("$lines" -c "$f" "$work/missing.txt" "$f" 2>/dev/null)
status=$?
[ "$status" = 2 ] && [ "$(tail -1 <<<"$got")" = "$((2 * total)) total" ] || fail "--count past a missing file: $status $got"
"$lines" --summary --json "$f" "$f" | tail -1 | grep -q "\"files\": 2, \"bytes\": $((2 * $(stat -c %s "$f"))), \"lines\": $((2 * total))," ||
  fail "--summary of two files: no total"
echo "ok   offsets, parts, samples, counts of several files"

# Past the head that an early answer reads: the file is indexed instead.
big=$work/big.txt
random_file 9 $((10 << 20)) "$big"
n=$(($(wc -l <"$big") - 3))
"$lines" --no-cache "$big" $n >"$work/got"
sed -n "${n}p" "$big" >"$work/want"
same "line $n of 10 MiB" "$work/want" "$work/got"
# The last lines come from the end of a file without a saved index.
verbose_err=$("$lines" -v --no-cache -t 5 "$big" 2>&1 >"$work/got")
tail -n 5 "$big" >"$work/want"
same "tail of 10 MiB" "$work/want" "$work/got"
echo "$verbose_err" | grep -q 'answered from its last' || fail "tail of 10 MiB: indexed: $verbose_err"
echo "ok   output against sed, tail, cat -n and a CR LF split"

# The saved index.
cache=$XDG_CACHE_HOME/line_reader
f=$work/cached.txt
printf 'one\ntwo\nthree\n' >"$f"
verbose() { "$lines" -v "$@" 2>&1 >/dev/null; }
[ "$(stat -c %a "$cache")" = 700 ] || fail "cache directory mode $(stat -c %a "$cache")"
verbose -c "$f" | grep -q 'indexed 14 bytes' || fail "first count does not index"
verbose -c "$f" | grep -q 'answered from' || fail "second count not from the summary"
verbose "$f" 2- | grep -q 'index loaded' || fail "range not from the saved index"
printf 'four\n' >>"$f"
verbose -s "$f" | grep -q 'index loaded.*, 5 appended bytes indexed' || fail "append not indexed alone"
[ "$("$lines" "$f" 4-)" = four ] || fail "appended line"
printf 'new\nfile\n' >"$f.new" && mv "$f.new" "$f"
[ "$("$lines" "$f" 1-)" = "$(printf 'new\nfile')" ] || fail "replaced file"
entry=$(ls "$cache"/*-lf.idx | head -1)
# check_damage NAME: the damaged entry is ignored with a warning, the output
# is right, and the entry is whole again afterwards.
check_damage() {
  local err
  err=$("$lines" "$f" 1- 2>&1 >"$work/got")
  [ $? -eq 0 ] || fail "$1: status"
  printf 'new\nfile\n' >"$work/want"
  same "$1" "$work/want" "$work/got"
  echo "$err" | grep -q 'warning: saved index .* is damaged' || fail "$1: no warning: $err"
  [ -z "$(verbose "$f" 1- | grep warning)" ] || fail "$1: entry not replaced"
}
for entry in "$cache"/*.idx; do
  head -c $(($(stat -c %s "$entry") / 2)) "$entry" >"$work/half" && cp "$work/half" "$entry"
done
check_damage "truncated entry"
for entry in "$cache"/*.idx; do
  printf 'garbage!' | dd of="$entry" bs=1 seek=100 conv=notrunc status=none
done
for entry in "$cache"/*.sum; do printf 'garbage' >"$entry"; done
check_damage "garbage in an entry"
for entry in "$cache"/*.idx; do
  rm "$entry" && printf 'outside\n' >"$work/outside" && ln -s "$work/outside" "$entry"
done
"$lines" "$f" 1- >/dev/null
[ "$(cat "$work/outside")" = outside ] || fail "a symbolic link in the cache was followed"
# Two processes index one file at once; both answer, and the entry is whole.
rm -rf "$cache"
"$lines" -c "$big" >"$work/one" 2>"$work/one.err" &
"$lines" -c "$big" >"$work/two" 2>"$work/two.err"
wait
want=$(perl -ne 'END { print $. }' "$big")
[ "$(cat "$work/one")" = "$want" ] && [ "$(cat "$work/two")" = "$want" ] || fail "two processes: counts"
[ ! -s "$work/one.err" ] && [ ! -s "$work/two.err" ] || fail "two processes: $(cat "$work/one.err" "$work/two.err")"
[ -z "$(verbose "$big" 5- | grep -v 'index loaded')" ] || fail "two processes: entry not whole"
# A cache directory others may write in is not used, with one warning.
chmod 777 "$cache"
err=$("$lines" -c "$f" 2>&1 >/dev/null)
[ "$(echo "$err" | grep -c 'warning: cache directory .* not used: others may write in it')" = 1 ] ||
  fail "writable cache directory: $err"
[ "$("$lines" -c "$f" 2>/dev/null)" = 2 ] || fail "writable cache directory: no answer"
chmod 700 "$cache"
# The entries used longest ago go first.
rm -rf "$cache"
for k in 1 2 3; do
  cp "$f" "$work/evict$k"
  LINES_CACHE_LIMIT=900 "$lines" -c "$work/evict$k" >/dev/null
  for made in $(ls -t "$cache" | head -2); do touch -d "-$((10 - k)) min" "$cache/$made"; done
done
[ "$(ls "$cache" | wc -l)" = 4 ] || fail "cache limit: $(ls "$cache")"
# A limit too large to hold is the largest one, not what an overflow leaves.
LINES_CACHE_LIMIT=17179869184G "$lines" -c "$f" >/dev/null
[ "$(ls "$cache" | wc -l)" = 6 ] || fail "huge cache limit: $(ls "$cache")"
# Rewritten to the same size with its modification time set back: the
# change time tells, and nothing saved is trusted.
g=$work/restored.txt
printf 'aa\nbb\ncc\n' >"$g"
"$lines" -c "$g" >/dev/null
touch -r "$g" "$work/stamp" && printf 'a\na\na\na\n\n' >"$g" && touch -r "$work/stamp" "$g"
[ "$("$lines" -c "$g")" = 5 ] && [ "$("$lines" -t 2 "$g")" = "$(printf 'a\n')" ] ||
  fail "rewritten with its time restored: $("$lines" -c "$g")"
# Every file of the cache is its owner's alone, also in a folder made by
# hand with mode 0755; a leftover of a killed save goes after an hour.
chmod 755 "$cache"
: >"$cache/leftover.idx.tmp.1" && touch -d '-2 hours' "$cache/leftover.idx.tmp.1"
"$lines" -c "$work/three.txt" >/dev/null 2>&1 || printf 'x\n' >"$work/three.txt"
"$lines" -c "$work/three.txt" >/dev/null
[ -z "$(find "$cache" -type f ! -perm 600)" ] || fail "cache files others may read: $(ls -l "$cache")"
[ ! -e "$cache/leftover.idx.tmp.1" ] || fail "an old leftover of a killed save is kept"
chmod 700 "$cache"
# A block of the saved index damaged where a line lies: found by the lookup,
# warned of, and the file indexed anew before anything is printed.
g=$work/long.txt
seq 1 3000 >"$g"
"$lines" -c "$g" >/dev/null
entry=$(ls -t "$cache"/*-lf.idx | head -1)
printf 'XX' | dd of="$entry" bs=1 seek=400 conv=notrunc status=none
err=$("$lines" -t 2999 "$g" 2>&1 >"$work/got")
tail -n 2999 "$g" >"$work/want"
same "damaged block" "$work/want" "$work/got"
echo "$err" | grep -q 'warning: saved index .* is damaged' || fail "damaged block: no warning: $err"
echo "ok   the saved index"

# --follow: appends, truncation and rotation by name, each within 5 s.
f=$work/followed.log
printf 'old\n' >"$f"
"$lines" -f "$f" >"$work/out" 2>"$work/err" &
follower=$!
wait_for() { # PATTERN FILE
  for _ in $(seq 50); do grep -q "$1" "$2" && return 0; sleep 0.1; done
  fail "follow: no '$1' in $2: $(cat "$2")"
}
sleep 0.3
printf 'appended\n' >>"$f"
wait_for appended "$work/out"
: >"$f" && printf 'after truncation\n' >>"$f"
wait_for 'after truncation' "$work/out"
wait_for truncated "$work/err"
mv "$f" "$f.1" && printf 'last of the old\n' >>"$f.1" && printf 'rotated\n' >"$f"
wait_for rotated "$work/out"
wait_for replaced "$work/err"
grep -q 'last of the old' "$work/out" || fail "follow: the old file not read to its end"
kill $follower
wait $follower 2>/dev/null
! grep -qx old "$work/out" || fail "follow: printed lines before the end"
# A CR LF cut between two writes is numbered as the whole file would be.
printf 'a\r\nb\r\nc\r' >"$f"
"$lines" -n --crlf -f "$f" 1- >"$work/out" 2>/dev/null &
follower=$!
sleep 0.4
printf '\nd\r\n' >>"$f"
wait_for d "$work/out"
kill $follower
wait $follower 2>/dev/null
"$lines" --no-cache -n --crlf "$f" 1- >"$work/want"
same "follow: CR LF cut between writes" "$work/want" "$work/out"
# A gzip file grows by members; one cut short is printed once it is whole.
printf 'one\n' | gzip >"$f.gz"
"$lines" -f "$f.gz" >"$work/out" 2>/dev/null &
follower=$!
sleep 0.4
printf 'two\n' | gzip >>"$f.gz"
wait_for two "$work/out"
printf 'three\n' | gzip >"$work/member.gz"
head -c 12 "$work/member.gz" >>"$f.gz"
sleep 0.5
tail -c +13 "$work/member.gz" >>"$f.gz"
wait_for three "$work/out"
kill $follower
wait $follower 2>/dev/null
[ "$(cat "$work/out")" = "$(printf 'two\nthree')" ] || fail "follow a gzip file: $(cat "$work/out")"
# A file that is not there yet is waited for, and printed whole.
g=$work/later.log
"$lines" -f "$g" >"$work/out" 2>"$work/err" &
follower=$!
sleep 0.4
printf 'first\n' >"$g"
wait_for first "$work/out"
wait_for appeared "$work/err"
kill $follower
wait $follower 2>/dev/null
# The reader of the output gone while no bytes come: it ends, as tail -f does.
printf 'x\nERROR y\n' >"$g"
timeout 10 sh -c "'$lines' -f '$g' 1- | grep -q -m1 ERROR"
[ $? = 0 ] || fail "follow: still running after its reader went"
# A file whose size the system does not report is not followed.
if [ -r /proc/loadavg ]; then
  err=$(timeout 10 "$lines" -f /proc/loadavg 2>&1 >/dev/null)
  [ $? = 2 ] && echo "$err" | grep -q 'does not report its size' || fail "follow /proc/loadavg: $err"
fi
echo "ok   --follow"

# Another file renamed over the name between the program's open and the
# index's: never indexed or cached as the file that was opened.
if /usr/bin/python3 -c 'import ctypes; ctypes.CDLL(None).renameat2' 2>/dev/null; then
  d=$work/swapped
  mkdir "$d"
  seq 1 100 >"$d/a"
  seq 1 300 >"$d/b"
  first=$(stat -c %i "$d/a") second=$(stat -c %i "$d/b")
  (cd "$d" && exec /usr/bin/python3 -c 'import ctypes, time
libc = ctypes.CDLL(None)
while True:
    libc.renameat2(-100, b"a", -100, b"b", 2)  # exchanged at once
    time.sleep(0.0001)') &
  swapper=$!
  wrong=0
  for _ in $(seq 100); do
    "$lines" -c "$d/a" >/dev/null 2>&1
    for s in "$cache"/*-lf.sum; do
      [ -e "$s" ] || continue
      inode=$((16#$(basename "$s" | cut -d- -f2)))
      [ "$inode" = "$first" ] || [ "$inode" = "$second" ] || continue
      want=$([ "$inode" = "$first" ] && echo 100 || echo 300)
      grep -qx "lines $want" "$s" || wrong=$((wrong + 1))
      rm -f "${s%.sum}".*
    done
  done
  kill $swapper
  wait $swapper 2>/dev/null
  [ $wrong = 0 ] || fail "renamed over the name: $wrong entries describe the other file"
  echo "ok   a file renamed over the name"
fi

# Usage and file errors: status and message.
f=$work/three.txt
printf 'a\nb\nc\n' >"$f"
while IFS='|' read -r status message args; do
  # shellcheck disable=SC2086
  err=$("$lines" $args 2>&1 >"$work/got")
  got=$?
  err="$err $(cat "$work/got")"
  [ $got = "$status" ] || fail "'$args': status $got, not $status"
  echo "$err" | grep -q -- "$message" || fail "'$args': message '$err'"
done <<EOF
2|lines: missing file operand|
2|lines: invalid range '0': lines are numbered from 1|$f 0
2|lines: invalid range '5-3': it ends before it starts|$f 5-3
2|lines: invalid range 'x': not N, N-M or N-|$f x
2|lines: invalid range '18446744073709551616': a line number past 2^64|$f 18446744073709551616
2|lines: unrecognized option '--bogus'|--bogus $f
2|lines: option requires an argument -- 't'|$f -t
2|lines: --count and --summary print no lines|-c -t 1 $f
2|lines: --split and --sample are answers of their own|--split 2 $f 1
2|lines: --split and --sample need a file|--sample 2 -
2|Try 'lines --help'|-t x $f
2|lines: $work/nothing: no such file|$work/nothing
2|lines: $work: not a regular file|$work
2|lines: the ranges of a stream must rise|- 5 3
2|lines: --follow follows a file by its name|-f -
1|lines: $f: has 3 lines|$f 2-9
1|lines: $f: has 3 lines|$f 4-
0|Usage: lines|--help
0|lines (line_reader)|--version
EOF
[ "$("$lines" "$f" 2-9 2>/dev/null)" = "$(printf 'b\nc')" ] || fail "past the end: the lines there not printed"
"$lines" "$big" 1- 2>"$work/err" | head -c 1 >/dev/null
status=${PIPESTATUS[0]}
[ ! -s "$work/err" ] && [ $status = 141 ] || fail "closed pipe: status $status, $(cat "$work/err")"
echo "ok   usage and file errors"

# The progress line: on a terminal, and never into a pipe or a file.
if command -v script >/dev/null; then
  LINES_PROGRESS_AFTER=0 script -qec "'$lines' --no-cache -c '$big'" /dev/null >"$work/tty" </dev/null
  grep -q 'indexing .*%.*GB/s.*left' "$work/tty" || fail "no progress line on a terminal: $(od -c "$work/tty" | head)"
  ! grep -q 'inf GB/s' "$work/tty" || fail "progress line: an infinite rate"
fi
LINES_PROGRESS_AFTER=0 "$lines" --no-cache -c "$big" 2>"$work/err" | cat >/dev/null
[ ! -s "$work/err" ] || fail "progress into a pipe: $(cat "$work/err")"
echo "ok   progress line"

[ $failures = 0 ] || { echo "$failures failures"; exit 1; }
