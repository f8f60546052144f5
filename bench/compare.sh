#!/usr/bin/env bash
# Whole processes on generated prose in the page cache, 15 runs each, beside
# the floors and tools they are held to. The files are written as a logger
# writes, 4 KiB a write, since how a file entered the page cache decides
# how fast a view of it reads; a copy written in 64 MiB pieces stands beside.
#   1 GiB written in 4 KiB pieces (log), the same in 64 MiB pieces (big), 4 GiB in 4 KiB pieces (log4)
#   floor, floor_2t          memory for the file in huge pages, made present, and the file read
#                            in (one thread; two, each its half): what any design that holds
#                            the file must do
#   read_1t, read_2t         the file read in 256 KiB pieces into a buffer a thread, its LF bytes
#                            counted (one thread in order; two with positioned reads of a half
#                            each): what any design that holds no text must do
#   build, build_1t          FileIndex::build with reads, default threads and one; build_mapped
#                            through a view; the same on the big-piece copy (big_build, big_mapped)
#   load, load_mapped, load_lazy  FileIndex::load of the saved index, every piece checked (read;
#                            served from a view) or lazily, then line 17,000,000 read
#   owner_crlf, owner_lf     IndexedFile::open; record: the record API's load and code 1
#   wc -l, head -n 1
# Then the lines program (its cache in a scratch XDG_CACHE_HOME): line
# 17,000,000 warm (a saved index) on 1 and 4 GiB beside head -n 1, --count
# warm; cold (no saved index: build and save) on both 1 GiB files, the first
# ten lines, the last twenty and --count cold, beside wc -l, tail and sed.
# Then, in one process each: the saved index's bytes that a lookup brings
# into the page cache, 1,000 random lines lazily and eagerly, refresh
# after appends (to a copy), and read_line on
# random lines beside a bare positioned read of the same bytes.
# Prints each median and mean with its spread, and the ratios that the goals
# name.
# Usage: bench/compare.sh [BUILD_DIR]   (default build/default; needs hyperfine)
#        LINE_READER_COMPARE_4GIB=0 leaves the 4 GiB file out.
set -euo pipefail
build=${1:-build/default}
tool=$build/bench/index_file
floor=$build/bench/load_floor
read_floor=$build/bench/read_floor
lines=$build/lines/lines
dir=${TMPDIR:-/tmp}
file=$dir/line_reader_compare_1GiB_log.txt
big=$dir/line_reader_compare_1GiB_big.txt
file4=$dir/line_reader_compare_4GiB_log.txt
saved=$dir/line_reader_compare_1GiB.idx
command -v hyperfine >/dev/null || { echo "needs hyperfine (Debian: hyperfine)" >&2; exit 2; }
[ -x "$tool" ] && [ -x "$floor" ] && [ -x "$read_floor" ] && [ -x "$lines" ] ||
  { echo "build first: cmake --build --preset default" >&2; exit 2; }
write() { # FILE BYTES PIECE
  [ -f "$1" ] && [ "$(stat -c %s "$1")" = "$2" ] || "$tool" --write-prose "$1" "$2" "$3"
}
write "$file" $((1 << 30)) 4096
write "$big" $((1 << 30)) $((64 << 20))
with4=${LINE_READER_COMPARE_4GIB:-1}
[ "$with4" = 0 ] || write "$file4" $((4 << 30)) 4096
cat "$file" "$big" >/dev/null # into the page cache
"$tool" --save "$saved" "$file"
json=$(mktemp)
copy=$(mktemp)
cache=$(mktemp -d)
trap 'rm -rf "$json" "$json".* "$copy" "$cache"' EXIT
. "$(dirname "$0")/report.sh"

hyperfine -N --warmup 2 --runs 15 --export-json "$json" \
  -n floor "$floor $file" -n floor_2t "$floor --threads 2 $file" \
  -n read_1t "$read_floor $file" -n read_2t "$read_floor --threads 2 $file" \
  -n build "$tool --file-index $file" -n build_1t "$tool --file-index --threads 1 $file" \
  -n build_mapped "$tool --file-index-mapped $file" \
  -n big_build "$tool --file-index $big" -n big_mapped "$tool --file-index-mapped $big" \
  -n load "$tool --load $saved $file 17000000" -n load_mapped "$tool --load-mapped $saved $file 17000000" \
  -n load_lazy "$tool --load-lazy $saved $file 17000000" \
  -n owner_crlf "$tool $file" -n owner_lf "$tool --lf $file" \
  -n record "$tool --record $file" -n "wc -l" "wc -l $file" -n "head -n 1" "head -n 1 $file" >/dev/null
report "$json" <<'EOF'
build/read_2t
build_1t/read_1t
build/wc -l
build_mapped/build
big_mapped/big_build
load/build
load_mapped/build
load_lazy/build
owner_crlf/floor_2t
owner_lf/floor_2t
record/floor
EOF

export XDG_CACHE_HOME=$cache
clear="rm -rf $cache/line_reader"
"$lines" -c "$file" >/dev/null
runs=(-n "lines warm" "$lines $file 17000000" -n "count warm" "$lines --count $file" -n "head -n 1" "head -n 1 $file")
if [ "$with4" != 0 ]; then
  cat "$file4" >/dev/null
  "$lines" -c "$file4" >/dev/null
  runs+=(-n "lines warm 4G" "$lines $file4 68000000" -n "head -n 1 4G" "head -n 1 $file4")
fi
hyperfine -N --warmup 3 --runs 30 --export-json "$json.warm" "${runs[@]}" >/dev/null
hyperfine --warmup 1 --runs 15 --export-json "$json.cold" --prepare "$clear" \
  -n "lines cold" "$lines $file 17000000" -n "big cold" "$lines $big 17000000" \
  -n "head cold" "$lines $file 1-10" -n "tail cold" "$lines -t 20 $file" -n "count cold" "$lines --count $file" \
  >/dev/null
hyperfine -N --warmup 2 --runs 15 --export-json "$json.floors" -n "read_2t" "$read_floor --threads 2 $file" \
  -n "wc -l" "wc -l $file" -n "tail -n 20" "tail -n 20 $file" -n big_build "$tool --file-index $big" >/dev/null
hyperfine -N --runs 5 --export-json "$json.sed" -n sed "sed -n 17000000p;17000000q $file" >/dev/null
report "$json.warm" "$json.cold" "$json.floors" "$json.sed" <<'EOF'
lines warm/head -n 1
lines warm 4G/head -n 1 4G
lines warm 4G/lines warm
lines warm/sed
count warm/wc -l
lines cold/read_2t
lines cold/wc -l
big cold/big_build
head cold/lines cold
tail cold/tail -n 20
count cold/wc -l
EOF
"$lines" --json "$file" | sed 's/^/lines --json: /'
idx=$(ls "$cache"/line_reader/*-lf.idx | head -1)
echo "saved index on disk: $(stat -c %s "$idx") bytes for $("$lines" -c "$file") lines"

"$tool" --lookup-bytes "$saved" "$file" 17000000
if [ "$with4" != 0 ]; then
  "$tool" --save "$saved" "$file4"
  "$tool" --lookup-bytes "$saved" "$file4" 68000000
fi
"$tool" --save "$saved" "$file"
"$tool" --time-sample "$saved" "$file"
cp "$file" "$copy"
"$tool" --time-refresh "$copy"
"$tool" --time-read-line "$file"
