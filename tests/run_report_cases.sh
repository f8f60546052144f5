#!/usr/bin/env bash
# Writes the report cases, with the native program's report as the expected
# one for the samples and generated inputs, and runs them all in one start of
# the in-process runner. Usage: run_report_cases.sh NATIVE_PROGRAM -- RUNNER [ARGS...]
# (for example: run_report_cases.sh build/default/report/line_report -- wine report_cases.exe).
# One start may take minutes under an emulator: LINE_READER_START_TIMEOUT
# seconds (600 unless set) before it counts as a failure.
set -u
native=$1
shift
[ "${1:-}" = -- ] && [ $# -gt 1 ] || { echo "usage: $0 NATIVE_PROGRAM -- RUNNER [ARGS...]" >&2; exit 2; }
shift
[ -x "$native" ] || { echo "the native program $native is not built (cmake --build --preset default)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
native=$(cd "$(dirname "$native")" && pwd)/$(basename "$native")
"$(dirname "$0")/report_cases.sh" "$work" "$native" || exit 1
timeout "${LINE_READER_START_TIMEOUT:-600}" "$@" "$work"
status=$?
[ $status -eq 124 ] && echo "FAIL: no result within ${LINE_READER_START_TIMEOUT:-600} s"
exit $status
