#!/usr/bin/env bash
# Builds and runs every test: the native build and its tests, formatting, the
# same tests under the address and undefined-behaviour sanitizers, a build
# with nothing but a compiler and CMake, the installed package and the
# examples against it, the Linux packages, fuzzing, and the 32-bit Windows
# build with its tests under wine and its ZIP, and the Python module installed
# with pip and its tests. Steps whose tools are missing
# are skipped and listed at the end; with LINE_READER_REQUIRE_ALL=1 (as in CI)
# a missing tool is a failure, unless LINE_READER_NOT_INSTALLED names a file
# in which the step's stage is listed as one whose packages apt could not
# install (scripts/ci-install.sh writes it).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

skipped=()
not_installed_skips=0
step() { printf '\n== %s ==\n' "$*"; }
# not_installed STAGE: prints why apt could not install the stage's packages;
# fails where it could, or where nothing was installed.
not_installed() {
  [ -n "${LINE_READER_NOT_INSTALLED:-}" ] &&
    awk -F '\t' -v stage="$1" '$1 == stage { print $2; found = 1 } END { exit !found }' "$LINE_READER_NOT_INSTALLED"
}
# ready STAGE COMMAND...: the stage's packages were not refused and its
# commands are found. A refused set may leave a tool from another set (wine
# without wine32:i386): the stage is skipped all the same.
ready() {
  if not_installed "$1" >/dev/null; then return 1; fi
  shift
  local tool
  for tool; do command -v "$tool" >/dev/null || return 1; done
}
# skip STAGE WHAT: a stage whose packages apt could not install is skipped and
# named loudly, yet fails no run; any other missing tool fails a run that
# requires every step.
skip() {
  local stage=$1 why
  shift
  if why=$(not_installed "$stage"); then
    echo "*** skipped, the $stage stage: $* ($why)"
    skipped+=("*** the $stage stage: $* ($why)")
    not_installed_skips=$((not_installed_skips + 1))
    return
  fi
  if [ "${LINE_READER_REQUIRE_ALL:-0}" = 1 ]; then echo "missing: $*" >&2; exit 1; fi
  echo "skipped: $*"
  skipped+=("$*")
}
scratch=$(mktemp -d)
windows_pid=
trap '[ -z "$windows_pid" ] || kill "$windows_pid" 2>/dev/null; rm -rf "$scratch"' EXIT

# build_examples PREFIX DIR: the README's examples against the package
# installed under PREFIX, run on a small notes.txt.
build_examples() {
  cmake -S examples -B "$2" -DCMAKE_PREFIX_PATH="$1" >/dev/null
  cmake --build "$2" -j "$jobs"
  printf 'first line\r\n\r\nthe longest line\r\nlast' >"$2/notes.txt"
  (cd "$2" && ./record_example && ./indexed_file_example && ./file_index_example && ./own_platform_names)
}

# The 32-bit Windows stage: the wine prefix, the cross build, the tests
# under wine, the ZIP. It starts first and runs beside everything else.
windows_stage() {
  set -euo pipefail
  local stage_started=$SECONDS
  # wine runs 32-bit x86 code: natively where the kernel can, else through
  # qemu-i386. qemu before 8.0 searched the guest's address space a page at
  # a time for every mmap, which cost a wine program start about a minute;
  # .ci/run installs a newer one where Debian has it.
  mode=$(scripts/i386-execution.sh | tail -n 1)
  echo "32-bit x86 programs run here: $mode"
  [ "$mode" = native ] || echo "emulator: $(qemu-i386 --version | head -n 1)"
  # Under qemu-i386 a file of 4 GiB is refused and the program killed; the
  # tests that need one skip, and the huge files' tests are left out.
  [ "$mode" = native ] || export LINE_READER_NO_HUGE_FILES=1
  export WINEDEBUG=-all WINEPREFIX="$scratch/wine"
  # A 32-bit prefix whatever wine is installed, and nothing the tests do
  # not need: no .NET or browser engine to install, no menu entries.
  export WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  # One wineserver for every start: the prefix is made, and the wine
  # processes that it brings up (services.exe, explorer.exe and others) stay
  # for the tests, whose starts then cost only their own.
  mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1 || echo "wineserver -p: status $? (each start then brings up its own session)"
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  # The prefix is made beside the cross build.
  (
    started=$SECONDS
    timeout 1200 wineboot -u </dev/null >/dev/null 2>&1 || echo "wineboot -u: status $? (the tests will tell whether wine works)"
    # wineboot may return while its installer still runs; the tests wait for it.
    while pgrep -f 'rundll32.exe setupapi' >/dev/null && [ $((SECONDS - started)) -lt 1200 ]; do sleep 2; done
    echo "wine prefix made in $((SECONDS - started)) s"
  ) &
  prefix_pid=$!
  cmake --preset windows-i686 >/dev/null
  cmake --build --preset windows-i686 -j "$jobs"
  exe=build/windows-i686/report/line_report.exe
  kind=$(file -b "$exe")
  echo "$exe: $kind"
  case "$kind" in *"PE32 executable (console) Intel 80386"*) ;; *) echo "not a 32-bit x86 console program" >&2; exit 1 ;; esac
  wait "$prefix_pid"
  # The cross-built program is held to the native one's output.
  while [ ! -e "$scratch/native-built" ]; do sleep 2; done
  labels=()
  [ "$mode" = native ] || labels=(-LE huge)
  ctest --preset windows-i686 "${labels[@]}"
  echo "Windows tests ran under wine, 32-bit x86 $mode${labels:+, without the tests labelled huge}"

  # The ZIP for Windows users: the stripped program, the samples, a README;
  # it needs no DLL beyond the system's.
  cpack --preset windows-i686
  zip=$(ls build/windows-i686/packages/line-reader-*-windows-i686.zip)
  unzip -q -d "$scratch/zip" "$zip"
  root=$(ls -d "$scratch"/zip/*/)
  for file in bin/line_report.exe bin/lines.exe samples/testbrok.txt samples/testworked.txt README.txt; do
    test -f "$root/$file" || { echo "the ZIP lacks $file" >&2; exit 1; }
  done
  kind=$(file -b "$root/bin/line_report.exe")
  case "$kind" in *"PE32 executable (console) Intel 80386"*) ;; *) echo "ZIP: $kind" >&2; exit 1 ;; esac
  for exe in line_report lines; do
    dlls=$(i686-w64-mingw32-objdump -p "$root/bin/$exe.exe" | awk '/DLL Name:/ { print $3 }' | sort | tr '\n' ' ')
    [ "$dlls" = "KERNEL32.dll msvcrt.dll " ] || { echo "$exe.exe imports $dlls" >&2; exit 1; }
  done
  echo "$(basename "$zip"): $(stat -c %s "$root/bin/line_report.exe")-byte stripped exe, imports $dlls"
  echo "the Windows stage took $((SECONDS - stage_started)) s"
}

if ready windows i686-w64-mingw32-g++-posix wine; then
  windows_stage >"$scratch/windows.log" 2>&1 </dev/null &
  windows_pid=$!
else
  skip windows "the i686 mingw-w64 cross compiler or wine (Debian: g++-mingw-w64-i686 wine wine32:i386 googletest)"
fi

step "native build and tests"
ready native valgrind || skip native "valgrind (the memcheck run of the program)"
cmake --preset default
cmake --build --preset default -j "$jobs"
touch "$scratch/native-built"
ctest --preset default -j "$jobs"

step "processors with and without AVX2 and BMI, under qemu-x86_64"
if [ "$(uname -m)" != x86_64 ]; then
  echo "not an x86-64 host: no processor models to try"
elif ready cpu-models qemu-x86_64; then
  scripts/check-cpu-models.sh build/default/tests/line_reader_tests
else
  skip cpu-models "qemu-x86_64 (Debian: qemu-user)"
fi

step "objects built for AVX2 or AVX-512 define no weak symbols (Debug build)"
cmake -S . -B "$scratch/debug" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DLINE_READER_BUILD_TESTS=OFF -DLINE_READER_BUILD_BENCH=OFF >/dev/null
cmake --build "$scratch/debug" -j "$jobs" --target line_reader >/dev/null
scripts/check-isa-objects.sh "$scratch/debug"

step "formatting"
if ready formatting clang-format; then
  git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
else
  skip formatting "clang-format"
fi

step "sanitizer build and tests"
cmake --preset sanitize
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize -j "$jobs"

step "build with nothing but a compiler and CMake"
cmake -S . -B "$scratch/bare" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
cmake --build "$scratch/bare" -j "$jobs" --target line_report
(cd samples && "$scratch/bare/report/line_report" </dev/null | cmp - <(../build/default/report/line_report </dev/null))
echo "the program built and ran without GoogleTest and Google Benchmark"

step "install, symbols, and the examples against the package"
cmake --install build/default --prefix "$scratch/usr"
test -x "$scratch/usr/bin/line_report"
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' build/default/CMakeCache.txt)
scripts/check-symbols.sh "$scratch/usr/$libdir/libline_reader.a"
build_examples "$scratch/usr" "$scratch/examples"
# The pkg-config file alone is enough for a plain compiler call.
if ready native pkg-config; then
  g++ -std=c++17 examples/indexed_file_example.cpp -o "$scratch/from_pkg_config" \
    $(PKG_CONFIG_PATH="$scratch/usr/$libdir/pkgconfig" pkg-config --cflags --libs line_reader)
  (cd "$scratch/examples" && "$scratch/from_pkg_config" >/dev/null)
  echo "built and ran an example with pkg-config's flags"
else
  skip native "pkg-config (Debian: pkg-config)"
fi
# The README's record example is built verbatim.
awk '/^```cpp$/ { inside = 1; next } /^```$/ { inside = 0 } inside' README.md | head -n "$(wc -l <examples/record_example.cpp)" |
  cmp - examples/record_example.cpp

step "Python module: pip install --no-build-isolation . in a virtual environment, then its tests"
# Debian's Python, whose site packages hold pybind11 and scikit-build-core.
python=/usr/bin/python3
if [ -x "$python" ] && "$python" -c 'import pybind11, scikit_build_core, pytest, venv, ensurepip' 2>/dev/null; then
  "$python" -m venv --system-site-packages "$scratch/venv"
  "$scratch/venv/bin/pip" install --no-build-isolation --no-index -q .
  # From outside the source tree, so that the installed package is the one imported.
  # The lines program of the native build, for the test of the cache they share.
  (cd "$scratch" && LINE_READER_LINES="$OLDPWD/build/default/lines/lines" \
    "$scratch/venv/bin/python" -m pytest -q -p no:cacheprovider "$OLDPWD/python/tests")
  # The data workflow example: a Dataset over JSON Lines in a spawned pool.
  (cd "$scratch" && "$scratch/venv/bin/python" "$OLDPWD/examples/jsonl_dataset.py")
else
  skip python "Python's module tools (Debian: python3-dev python3-venv python3-pytest pybind11-dev python3-pybind11, and python3-scikit-build-core from bookworm-backports)"
fi

step "differential soak test: every face against a plain model, fixed seeds"
# Each face for a fixed budget (they run side by side), then the library and
# lines under the sanitizers; a defect not in tests/soak/known.txt fails,
# with its shrunk steps in the log.
LINE_READER_SOAK_NO_BUILD=1 tests/soak/run --seconds 60 --seed 1 --step-limit 120 --shrink-seconds 30 --out "$scratch/soak"
LINE_READER_SOAK_NO_BUILD=1 tests/soak/run --asan --faces lib,lines --seconds 40 --seed 2 --step-limit 120 --shrink-seconds 30 --out "$scratch/soak"

step "Linux packages"
if ready packages dpkg-deb; then
  cpack --preset default
  packages=build/default/packages
  tar -tzf "$packages"/line-reader-*-Linux.tar.gz >"$scratch/tgz.txt"
  for file in bin/line_report bin/lines share/man/man1/lines.1.gz share/bash-completion/completions/lines "$libdir/libline_reader.a" include/line_reader/indexed_file.h include/line_reader/version.h \
    "$libdir/cmake/line_reader/line_reader-config.cmake" "$libdir/pkgconfig/line_reader.pc" share/man/man1/line_report.1.gz; do
    grep -q "/$file\$" "$scratch/tgz.txt" || { echo "the TGZ lacks $file" >&2; exit 1; }
  done
  for deb in "$packages"/*.deb; do dpkg-deb -x "$deb" "$scratch/deb"; done
  test -x "$scratch/deb/usr/bin/line_report"
  build_examples "$scratch/deb/usr" "$scratch/deb-examples"
  echo "the TGZ holds the program, library, headers, CMake and pkg-config files; the DEBs' serve the examples"
  if ready packages lintian; then
    scripts/check-packages.sh build/default "$scratch"
  else
    skip packages "lintian, for the DEB packages' checks (Debian: lintian)"
  fi
else
  skip packages "dpkg-deb, for the DEB package"
fi

step "fuzzing from the seed corpus (${LINE_READER_FUZZ_SECONDS:=30} s a target)"
if ready fuzzing clang++; then
  cmake --preset fuzz
  cmake --build --preset fuzz -j "$jobs"
  for target in line_reader indexed_file file_index_load decimal gzip_checkpoints; do
    # New inputs go to a scratch directory; the checked-in seeds stay as they are.
    found=$(mktemp -d -p "$scratch")
    (cd "$found" && "$OLDPWD/build/fuzz/fuzz/fuzz_$target" -max_total_time="$LINE_READER_FUZZ_SECONDS" \
      -max_len=4096 -print_final_stats=1 "$found" "$OLDPWD/fuzz/corpus/$target" 2>&1 | tail -n 12)
  done
else
  skip fuzzing "clang with libFuzzer (Debian: clang libclang-rt-14-dev)"
fi

step "32-bit Windows build, tests under wine (ran beside the steps above)"
if [ -n "$windows_pid" ]; then
  windows_status=0
  wait "$windows_pid" || windows_status=$?
  windows_pid=
  cat "$scratch/windows.log"
  [ $windows_status -eq 0 ] || { echo "the Windows stage failed (status $windows_status)" >&2; exit 1; }
fi

echo
if [ ${#skipped[@]} -eq 0 ]; then
  echo "all tests passed, no step skipped"
else
  echo "the tests that ran passed; skipped steps:"
  printf '  %s\n' "${skipped[@]}"
  [ $not_installed_skips -eq 0 ] ||
    echo "*** $not_installed_skips of them for want of packages apt could not install: run them once the lists are whole (README, Prerequisites)"
fi
