#!/usr/bin/env bash
# Checks the Debian packages of a build: lintian on both, once with the
# owner's fields unset (only the tags that the placeholders cause may show)
# and once with test values (nothing may show); then, as root, dpkg -i of
# both, the library used through find_package and pkg-config, line_report on
# PATH with its manual page, and a clean removal.
# Usage: check-packages.sh BUILD_DIR SCRATCH_DIR
set -euo pipefail
build=$1
scratch=$2
# Tags that the placeholders of an unset maintainer and copyright cause.
placeholder_tags='bogus-mail-host|bogus-mail-host-in-debian-changelog|copyright-without-copyright-notice'

packages() {
  rm -rf "$build/packages"
  (cd "$build" && cpack -G DEB >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log" >&2; exit 1; }
  ls "$build"/packages/*.deb
}

# lint PATTERN DEB...: lintian's errors and warnings, failing on any whose
# tag does not match PATTERN (empty: on any).
lint() {
  local allowed=$1 found
  shift
  found=$(lintian --fail-on none "$@" 2>/dev/null | grep -E '^[EW]: ' || true)
  [ -z "$found" ] || printf '%s\n' "$found"
  if [ -z "$allowed" ]; then
    [ -z "$found" ]
  else
    ! grep -Ev "^[EW]: [^ ]+ ($allowed)( |$)" <<<"$found" | grep -q .
  fi
}

echo "lintian, the owner's fields unset:"
mapfile -t debs < <(packages)
lint "$placeholder_tags" "${debs[@]}" || { echo "lintian: more than the placeholders' tags" >&2; exit 1; }

echo "lintian, with a packager's values:"
cmake "$build" -DLINE_READER_PACKAGE_MAINTAINER="Test Packager <packager@example.org>" \
  -DLINE_READER_COPYRIGHT="2026 Test Holder" -DLINE_READER_LICENSE=MIT >/dev/null
cmake --build "$build" --target line_reader_package_docs >/dev/null
mapfile -t debs < <(packages)
status=0
lint "" "${debs[@]}" || status=$?
cmake "$build" -ULINE_READER_PACKAGE_MAINTAINER -ULINE_READER_COPYRIGHT -ULINE_READER_LICENSE >/dev/null
cmake --build "$build" --target line_reader_package_docs >/dev/null
[ $status -eq 0 ] || { echo "lintian found errors or warnings" >&2; exit 1; }
echo "lintian: nothing"
mapfile -t debs < <(packages)

if [ "$(id -u)" != 0 ]; then
  echo "not root: the packages are not installed"
  exit 0
fi
for name in line-reader libline-reader-dev; do
  if dpkg -s "$name" >/dev/null 2>&1; then echo "$name is installed already" >&2; exit 1; fi
done
dpkg -i "${debs[@]}" >/dev/null
command -v line_report | grep -qx /usr/bin/line_report
command -v lines | grep -qx /usr/bin/lines
man -w line_report >/dev/null
man -w lines >/dev/null
printf 'first line\r\n\r\nthe longest line\r\nlast' >"$scratch/notes.txt"
[ "$(lines --no-cache --crlf "$scratch/notes.txt" 3 | tr -d '\r')" = "the longest line" ]
cmake -S examples -B "$scratch/installed-examples" >/dev/null
cmake --build "$scratch/installed-examples" >/dev/null
(cd "$scratch" && installed-examples/indexed_file_example >/dev/null && installed-examples/file_index_example >/dev/null)
g++ -std=c++17 examples/indexed_file_example.cpp -o "$scratch/installed-pkg-config" $(pkg-config --cflags --libs line_reader)
(cd "$scratch" && ./installed-pkg-config >/dev/null)
listed=$(dpkg -L line-reader libline-reader-dev | sort -u)
dpkg -r libline-reader-dev line-reader >/dev/null
left=$(while read -r path; do [ -f "$path" ] && echo "$path"; done <<<"$listed" || true)
[ -z "$left" ] || { echo "left after the removal: $left" >&2; exit 1; }
echo "installed with dpkg -i: line_report and lines on PATH, their manual pages, the library through find_package and pkg-config; removed cleanly"
