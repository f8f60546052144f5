#!/usr/bin/env bash
# Compressed files and streams, whole processes, beside the tools they are
# held to. The text is a web access log of 1 GiB (about 7.7 M lines)
# written as a logger writes, 4 KiB a write; its copies: gzip -6, bgzip,
# zstd -3 (one frame), zstd of 1 MiB frames, xz -T2 (blocks).
#   cold  lines --count F.gz with no saved index, beside the gzip line
#         indexer's build and first line (gztool -x -I IDX -L N -R 1 F, its
#         index removed first) and beside zlib's inflate alone (pigz -p1 -dc);
#         ISA-L's (igzip -dc) stands beside for reference
#   warm  lines F.gz N with the saved index, beside gztool's lookup with its
#         index and lines F N on the plain file
#   the same warm lookup in the other forms, and the saved indexes' sizes
#   streams  cat F | lines - N beside head -n N F | tail -n 1
# Prints each median and mean with its spread, and the ratios that the goals name.
# Usage: bench/compare_compressed.sh [BUILD_DIR]   (default build/default;
#        needs hyperfine, gzip, pigz, bgzip, zstd, xz, gztool; igzip if present)
set -euo pipefail
build=${1:-build/default}
lines=$build/lines/lines
dir=${TMPDIR:-/tmp}
log=$dir/line_reader_access_1GiB.log
for tool in hyperfine gzip pigz bgzip zstd xz gztool; do
  command -v $tool >/dev/null || { echo "needs $tool" >&2; exit 2; }
done
[ -x "$lines" ] || { echo "build first: cmake --build --preset default" >&2; exit 2; }
if [ ! -f "$log" ] || [ "$(stat -c %s "$log")" != $((1 << 30)) ]; then
  rm -f "$log"*
  # Lines of an access log, appended 4 KiB a write.
  perl -e 'srand(1); my @paths = ("/", "/index.html", "/api/v1/items", "/api/v1/users", "/static/app.js",
        "/static/style.css", "/images/logo.png", "/search", "/login", "/cart");
    my @agents = ("Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0",
        "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/119.0 Safari/537.36",
        "curl/8.4.0", "Googlebot/2.1 (+http://www.google.com/bot.html)");
    my @codes = (200, 200, 200, 200, 304, 404, 500, 301);
    open my $out, ">>", $ARGV[0] or die; my $buffer = ""; my $written = 0; my $t = 1765267200;
    while ($written < $ARGV[1]) {
      $t += int(rand(3)); my @g = gmtime($t);
      $buffer .= sprintf("%d.%d.%d.%d - - [%02d/Dec/2026:%02d:%02d:%02d +0000] \"%s %s?id=%d HTTP/1.1\" %d %d \"-\" \"%s\"\n",
        10 + int(rand(200)), int(rand(256)), int(rand(256)), 1 + int(rand(254)), $g[3], $g[2], $g[1], $g[0],
        rand() < 0.8 ? "GET" : "POST", $paths[rand @paths], int(rand(100000)), $codes[rand @codes],
        int(rand(50000)), $agents[rand @agents]);
      while (length $buffer >= 4096 && $written < $ARGV[1]) {
        my $n = $ARGV[1] - $written < 4096 ? $ARGV[1] - $written : 4096;
        syswrite $out, substr($buffer, 0, $n); $buffer = substr($buffer, $n); $written += $n;
      }
    }' "$log" $((1 << 30))
fi
[ -f "$log.gz" ] || gzip -6 -c "$log" >"$log.gz"
[ -f "$log.bgz" ] || bgzip -@ 2 -c "$log" >"$log.bgz"
[ -f "$log.zst" ] || zstd -q -3 -T2 -c "$log" >"$log.zst"
[ -f "$log.frames.zst" ] || split -b 1048576 --filter='zstd -q -3 -c' "$log" >"$log.frames.zst"
[ -f "$log.xz" ] || xz -T2 -3 -c "$log" >"$log.xz"
[ -f "$log.frames.zst.one" ] || head -c 1048576 "$log" | zstd -q -3 -c >"$log.frames.zst.one"
cat "$log" "$log".* >/dev/null # into the page cache
total=$(wc -l <"$log")
n=$((total * 9 / 10))
json=$(mktemp)
cache=$(mktemp -d)
gzidx=$dir/line_reader_access.gzi
trap 'rm -rf "$json" "$json".* "$cache" "$gzidx"' EXIT
export XDG_CACHE_HOME=$cache
. "$(dirname "$0")/report.sh"

clear="rm -rf $cache/line_reader"
cold=(-n "lines cold gz" "$lines --count $log.gz" -n "gztool build" "gztool -x -I $gzidx -L $n -R 1 $log.gz"
  -n "pigz -p1 -dc" "pigz -p1 -dc $log.gz" -n "lines cold bgzf" "$lines --count $log.bgz"
  -n "lines cold zst" "$lines --count $log.zst")
command -v igzip >/dev/null && cold+=(-n "igzip -dc" "igzip -dc $log.gz")
hyperfine --warmup 1 --runs 5 --export-json "$json.cold" --prepare "$clear; rm -f $gzidx" --output=null \
  "${cold[@]}" >/dev/null

for f in "$log" "$log.gz" "$log.bgz" "$log.zst" "$log.frames.zst" "$log.xz"; do "$lines" --count "$f" >/dev/null; done
gztool -x -I "$gzidx" -L 1 -R 1 "$log.gz" >/dev/null 2>&1
hyperfine -N --warmup 3 --runs 30 --export-json "$json.warm" --output=null \
  -n "lines warm gz" "$lines $log.gz $n" -n "gztool warm" "gztool -I $gzidx -L $n -R 1 $log.gz" \
  -n "lines warm plain" "$lines $log $n" -n "lines warm bgzf" "$lines $log.bgz $n" \
  -n "lines warm frames" "$lines $log.frames.zst $n" -n "zstd -dc frame" "zstd -q -dc $log.frames.zst.one" \
  -n "lines warm xz" "$lines $log.xz $n" >/dev/null 2>&1 || true
hyperfine --warmup 2 --runs 15 --export-json "$json.stream" --output=null \
  -n "cat | lines - N" "cat $log | $lines - $n" -n "head | tail" "head -n $n $log | tail -n 1" >/dev/null
report "$json.cold" "$json.warm" "$json.stream" <<'EOF'
lines cold gz/gztool build
lines cold gz/pigz -p1 -dc
lines cold gz/igzip -dc
lines warm gz/gztool warm
lines warm gz/lines warm plain
lines warm frames/zstd -dc frame
cat | lines - N/head | tail
EOF
for f in "$log.gz" "$log.bgz" "$log.zst" "$log.frames.zst" "$log.xz"; do
  "$lines" -v "$f" 1 2>&1 >/dev/null | sed -n 's/.*index loaded from \(.*\)/\1/p' | while read -r idx; do
    bytes=$(stat -c %s "$idx")
    awk -v f="$(basename "$f")" -v b="$bytes" -v l="$total" -v t=$((1 << 30)) 'BEGIN {
      printf "saved index of %-28s %10d bytes: %.3f bytes a line; allowed %.0f (2.2 a line + 1.5%%): %.3f of it\n",
        f, b, b / l, 2.2 * l + 0.015 * t, b / (2.2 * l + 0.015 * t) }'
  done
done
