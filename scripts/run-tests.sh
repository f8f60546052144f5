#!/usr/bin/env bash
# Builds and runs every test: the native build, the same tests under the
# address and undefined-behaviour sanitizers, and a project that uses the
# installed package. Steps whose tools are missing are skipped with a note;
# with LINE_READER_REQUIRE_ALL=1 (as in CI) a missing tool is a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

step() { printf '\n== %s ==\n' "$*"; }
skip() {
  if [ "${LINE_READER_REQUIRE_ALL:-0}" = 1 ]; then echo "missing: $*" >&2; exit 1; fi
  echo "skipped: $*"
}

step "native build and tests"
command -v valgrind >/dev/null || skip "valgrind (the memcheck run of the program)"
cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

step "formatting"
if command -v clang-format >/dev/null; then
  git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
else
  skip "clang-format"
fi

step "sanitizer build and tests"
cmake --preset sanitize
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize -j "$jobs"

step "install and use the package"
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install build/default --prefix "$prefix/usr"
test -x "$prefix/usr/bin/line_report"
cmake -S tests/package_consumer -B "$prefix/consumer" -DCMAKE_PREFIX_PATH="$prefix/usr"
cmake --build "$prefix/consumer"
"$prefix/consumer/consumer"

step "fuzzing from the seed corpus (${LINE_READER_FUZZ_SECONDS:=30} s a target)"
if command -v clang++ >/dev/null; then
  cmake --preset fuzz
  cmake --build --preset fuzz -j "$jobs"
  for target in line_reader decimal; do
    # New inputs go to a scratch directory; the checked-in seeds stay as they are.
    found=$(mktemp -d -p "$prefix")
    (cd "$found" && "$OLDPWD/build/fuzz/fuzz/fuzz_$target" -max_total_time="$LINE_READER_FUZZ_SECONDS" \
      -max_len=4096 -print_final_stats=1 "$found" "$OLDPWD/fuzz/corpus/$target" 2>&1 | tail -n 12)
  done
else
  skip "clang with libFuzzer (Debian: clang libclang-rt-14-dev)"
fi

step "32-bit Windows build, tests under wine"
if command -v i686-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; then
  # wine runs 32-bit x86 code: natively where the kernel can, else through
  # qemu-i386, where every program start costs about a minute. The stage
  # makes five or six starts in all.
  mode=$(scripts/i386-execution.sh | tail -n 1)
  echo "32-bit x86 programs run here: $mode"
  export WINEDEBUG=-all
  export WINEPREFIX="$prefix/wine"
  cmake --preset windows-i686
  cmake --build --preset windows-i686 -j "$jobs"
  exe=build/windows-i686/report/line_report.exe
  kind=$(file -b "$exe")
  echo "$exe: $kind"
  case "$kind" in *"PE32 executable (console) Intel 80386"*) ;; *) echo "not a 32-bit x86 console program" >&2; exit 1 ;; esac
  # Making the prefix takes minutes under the emulator; the tests then find it ready.
  timeout 900 wineboot -i >/dev/null 2>&1 || echo "wineboot: status $? (the tests will tell whether wine works)"
  ctest --preset windows-i686
  echo "Windows tests ran under wine, 32-bit x86 $mode"
else
  skip "the i686 mingw-w64 cross compiler or wine (Debian: g++-mingw-w64-i686 wine wine32:i386 googletest)"
fi

echo
echo "all tests passed"
