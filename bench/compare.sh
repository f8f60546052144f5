#!/usr/bin/env bash
# Times load plus index of a generated 1 GiB text in the page cache against
# `wc -l` on the same file, several runs each, and prints both means, their
# standard deviations and the ratio of the means.
# Usage: bench/compare.sh [BUILD_DIR]   (default build/default; needs hyperfine)
set -euo pipefail
build=${1:-build/default}
tool=$build/bench/index_file
file=${TMPDIR:-/tmp}/line_reader_compare_1GiB.txt
command -v hyperfine >/dev/null || { echo "needs hyperfine (Debian: hyperfine)" >&2; exit 2; }
[ -x "$tool" ] || { echo "build first: cmake --build --preset default" >&2; exit 2; }
[ -f "$file" ] && [ "$(stat -c %s "$file")" = $((1 << 30)) ] || "$tool" --write-prose "$file" $((1 << 30))
cat "$file" >/dev/null # into the page cache
json=$(mktemp)
trap 'rm -f "$json"' EXIT
hyperfine --warmup 2 --runs 10 --export-json "$json" "$tool $file" "wc -l $file"
python3 - "$json" <<'PY' 2>/dev/null || awk 'BEGIN { print "(python3 missing: read the means above)" }'
import json, sys
ours, wc = json.load(open(sys.argv[1]))["results"]
print(f"load + index: mean {ours['mean']*1000:.0f} ms, sigma {ours['stddev']*1000:.0f} ms "
      f"({ours['stddev']/ours['mean']*100:.0f}% of the mean)")
print(f"wc -l:        mean {wc['mean']*1000:.0f} ms, sigma {wc['stddev']*1000:.0f} ms")
print(f"ratio of the means: {ours['mean']/wc['mean']:.2f}")
PY
