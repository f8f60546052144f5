#!/usr/bin/env bash
# Whole processes on a generated 1 GiB prose text in the page cache, 15 runs
# each, beside the floors they are held to:
#   floor, floor_2t          memory for the file in huge pages, made present, and the file read
#                            in (one thread; two, each its half): what any design that holds
#                            the file must do
#   read_1t, read_2t         the file read in 256 KiB pieces into a buffer a thread, its LF bytes
#                            counted (one thread in order; two with positioned reads of a half
#                            each): what any design that holds no text must do
#   file_index, file_index_1t  FileIndex::build with its default threads, and with one
#   load_17M                 FileIndex::load of the saved index, then line 17,000,000 read
#   owner_crlf, owner_lf     IndexedFile::open; record: the record API's load and code 1
#   wc -l
# Then the lines program (its cache in a scratch XDG_CACHE_HOME): line
# 17,000,000 cold (no saved index), warm, and beside sed; the first ten lines
# cold; --count cold and warm.
# Then, in one process each: refresh after 1 MiB is appended (to a copy), and
# read_line on random lines beside a bare positioned read of the same bytes.
# Prints each median and mean with its spread, and the ratios that the goals
# name.
# Usage: bench/compare.sh [BUILD_DIR]   (default build/default; needs hyperfine)
set -euo pipefail
build=${1:-build/default}
tool=$build/bench/index_file
floor=$build/bench/load_floor
read_floor=$build/bench/read_floor
file=${TMPDIR:-/tmp}/line_reader_compare_1GiB.txt
saved=${TMPDIR:-/tmp}/line_reader_compare_1GiB.idx
command -v hyperfine >/dev/null || { echo "needs hyperfine (Debian: hyperfine)" >&2; exit 2; }
[ -x "$tool" ] && [ -x "$floor" ] && [ -x "$read_floor" ] || { echo "build first: cmake --build --preset default" >&2; exit 2; }
[ -f "$file" ] && [ "$(stat -c %s "$file")" = $((1 << 30)) ] || "$tool" --write-prose "$file" $((1 << 30))
cat "$file" >/dev/null # into the page cache
"$tool" --save "$saved" "$file"
json=$(mktemp)
copy=$(mktemp)
trap 'rm -f "$json" "$copy"' EXIT
hyperfine -N --warmup 2 --runs 15 --export-json "$json" \
  -n floor "$floor $file" -n floor_2t "$floor --threads 2 $file" \
  -n read_1t "$read_floor $file" -n read_2t "$read_floor --threads 2 $file" \
  -n file_index "$tool --file-index $file" -n file_index_1t "$tool --file-index --threads 1 $file" \
  -n load_17M "$tool --load $saved $file 17000000" \
  -n owner_crlf "$tool $file" -n owner_lf "$tool --lf $file" \
  -n record "$tool --record $file" -n "wc -l" "wc -l $file" >/dev/null
awk '
  /"command":/ { split($0, q, "\""); name = q[4] }
  /"mean":/ { gsub(/[,]/, ""); mean[name] = $2 }
  /"stddev":/ { gsub(/[,]/, ""); sd[name] = $2 }
  /"median":/ { gsub(/[,]/, ""); median[name] = $2; order[++n] = name }
  function ratio(a, b) { printf "  %-13s / %-13s %6.3f\n", a, b, median[a] / median[b] }
  END {
    printf "%-13s %10s %10s %8s\n", "command", "median ms", "mean ms", "sigma"
    for (i = 1; i <= n; ++i) {
      c = order[i]
      printf "%-13s %10.1f %10.1f %7.1f%%\n", c, median[c] * 1000, mean[c] * 1000, sd[c] / mean[c] * 100
    }
    print "ratios of medians:"
    ratio("file_index", "read_2t"); ratio("file_index_1t", "read_1t"); ratio("file_index", "wc -l")
    ratio("load_17M", "file_index"); ratio("owner_crlf", "floor_2t"); ratio("owner_lf", "floor_2t")
    ratio("owner_crlf", "floor"); ratio("record", "floor")
  }' "$json"
lines=$build/lines/lines
if [ -x "$lines" ]; then
  cache=$(mktemp -d)
  export XDG_CACHE_HOME=$cache
  clear="rm -rf $cache/line_reader"
  "$lines" -c "$file" >/dev/null
  hyperfine -N --warmup 2 --runs 15 --export-json "$json" \
    -n "lines warm" "$lines $file 17000000" -n "count warm" "$lines --count $file" -n "wc -l" "wc -l $file" >/dev/null
  hyperfine --warmup 1 --runs 15 --export-json "$json.cold" --prepare "$clear" \
    -n "lines cold" "$lines $file 17000000" -n "head cold" "$lines $file 1-10" \
    -n "count cold" "$lines --count $file" >/dev/null
  hyperfine -N --runs 5 --export-json "$json.sed" -n sed "sed -n 17000000p;17000000q $file" >/dev/null
  rm -rf "$cache"
  cat "$json" "$json.cold" "$json.sed" | awk '
    /"command":/ { split($0, q, "\""); name = q[4] }
    /"median":/ { gsub(/[,]/, ""); median[name] = $2; order[++n] = name }
    function ratio(a, b) { printf "  %-11s / %-11s %7.4f\n", a, b, median[a] / median[b] }
    END {
      for (i = 1; i <= n; ++i) printf "%-11s %10.1f ms\n", order[i], median[order[i]] * 1000
      print "ratios of medians (lines):"
      ratio("lines cold", "wc -l"); ratio("lines cold", "sed"); ratio("lines warm", "lines cold")
      ratio("lines warm", "sed"); ratio("head cold", "lines cold"); ratio("count cold", "wc -l")
      ratio("count warm", "wc -l")
    }'
  rm -f "$json.cold" "$json.sed"
fi
cp "$file" "$copy"
"$tool" --time-refresh "$copy"
"$tool" --time-read-line "$file"
