#!/usr/bin/env bash
# One start of a Windows program under wine, for the tests: output through a
# file, so that the wine processes that the start brings up and leaves
# running (services.exe, explorer.exe and others, kept by a persistent
# wineserver for the next start) do not hold the test runner's pipe open,
# and a time limit that allows for emulation, LINE_READER_START_TIMEOUT
# seconds (1200 unless set; the first start also makes the wine prefix).
# Usage: wine_start.sh wine PROGRAM [ARGS...]; standard input passes through.
set -u
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
timeout "${LINE_READER_START_TIMEOUT:-1200}" "$@" >"$out" 2>"$err"
status=$?
cat "$out"
cat "$err" >&2
[ $status -eq 124 ] && echo "no result within ${LINE_READER_START_TIMEOUT:-1200} s: $*" >&2
exit $status
