#!/usr/bin/env bash
# Whole processes on a generated 1 GiB prose text in the page cache, 15 runs
# each: IndexedFile::open (CR LF and LF), the record API's load and code 1,
# the load floor (memory for the file in huge pages, made present, the file
# read in: what any design that holds the file must do), and wc -l. Prints
# each mean with its spread and the ratio of each to the floor.
# Usage: bench/compare.sh [BUILD_DIR]   (default build/default; needs hyperfine)
set -euo pipefail
build=${1:-build/default}
tool=$build/bench/index_file
floor=$build/bench/load_floor
file=${TMPDIR:-/tmp}/line_reader_compare_1GiB.txt
command -v hyperfine >/dev/null || { echo "needs hyperfine (Debian: hyperfine)" >&2; exit 2; }
[ -x "$tool" ] && [ -x "$floor" ] || { echo "build first: cmake --build --preset default" >&2; exit 2; }
[ -f "$file" ] && [ "$(stat -c %s "$file")" = $((1 << 30)) ] || "$tool" --write-prose "$file" $((1 << 30))
cat "$file" >/dev/null # into the page cache
json=$(mktemp)
trap 'rm -f "$json"' EXIT
hyperfine -N --warmup 2 --runs 15 --export-json "$json" \
  -n floor "$floor $file" -n owner_crlf "$tool $file" -n owner_lf "$tool --lf $file" \
  -n record "$tool --record $file" -n "wc -l" "wc -l $file" >/dev/null
# One line per command: name, median and mean in ms, sigma as a share of the
# mean, and the median's ratio to the floor's.
awk '
  /"command":/ { split($0, q, "\""); name = q[4] }
  /"mean":/ { gsub(/[,]/, ""); mean[name] = $2 }
  /"stddev":/ { gsub(/[,]/, ""); sd[name] = $2 }
  /"median":/ { gsub(/[,]/, ""); median[name] = $2; order[++n] = name }
  END {
    printf "%-11s %10s %10s %8s %14s\n", "command", "median ms", "mean ms", "sigma", "median/floor"
    for (i = 1; i <= n; ++i) {
      c = order[i]
      printf "%-11s %10.0f %10.0f %7.1f%% %14.2f\n", c, median[c] * 1000, mean[c] * 1000,
        sd[c] / mean[c] * 100, median[c] / median["floor"]
    }
  }' "$json"
