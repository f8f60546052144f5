#!/usr/bin/env bash
# Installs with apt what the stages of scripts/run-tests.sh need, a set at a
# time, so that a set apt cannot install stops only the stages that need it:
# a mirror caught in the middle of a sync has left one list out (the i386
# packages of the security suite) for hours, and wine32:i386 with it.
#
# The native build with its tests and the Python module come first, and a
# failure there fails. Any other set that cannot be installed is said loudly
# on a line that begins "***", and each stage that needs it is written to
# NOT_INSTALLED as "STAGE<TAB>packages: apt's reason", the file that
# scripts/run-tests.sh reads from LINE_READER_NOT_INSTALLED. A failed install
# is tried once more after a fresh apt-get update.
#
# CI runs this as root. apt-get, dpkg and sleep are whatever PATH finds first,
# so that a test can stand in for them.
# Usage: ci-install.sh NOT_INSTALLED
set -euo pipefail
not_installed=$1
: >"$not_installed"
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# STAGES REQUIRED PACKAGES...: the stages of run-tests.sh that need the set
# (comma-separated), and whether a failure fails the run. The Windows stage
# needs qemu-user too where the kernel does not run 32-bit programs.
sets=(
  "native required cmake g++ libgtest-dev libgmock-dev libbenchmark-dev valgrind pkg-config libxxhash-dev \
     zlib1g-dev libzstd-dev liblzma-dev gzip zstd xz-utils tabix"
  "python required python3-dev python3-venv python3-pytest pybind11-dev python3-pybind11 python3-dask"
  "windows optional g++-mingw-w64-i686 googletest wine wine32:i386 unzip libz-mingw-w64-dev file"
  "cpu-models,windows optional qemu-user"
  "formatting optional clang-format"
  "packages optional dpkg-dev lintian"
  "fuzzing optional clang libclang-rt-14-dev"
)

# A mirror caught in a sync fails an update now and then: tried three
# times, then the lists at hand serve if they can.
update() {
  local try
  for try in 1 2 3; do
    apt-get update -q && return
    echo "apt-get update failed (try $try of 3)"
    [ "$try" = 3 ] || sleep 20
  done
}
apt_install() { apt-get install -y -q --no-install-recommends "$@" 2>&1 | tee "$log"; }

dpkg --add-architecture i386
update
for entry in "${sets[@]}"; do
  read -r stages required rest <<<"$entry"
  read -ra packages <<<"$rest"
  named="the ${stages//,/ and } stage"
  [ "$stages" = "${stages/,/}" ] || named+=s
  apt_install "${packages[@]}" && continue
  echo "apt-get install failed; the lists are fetched again and the install tried once more"
  update
  status=0
  apt_install "${packages[@]}" || status=$?
  [ $status -ne 0 ] || continue
  # apt's own reason: its error lines, else its last line.
  reason=$(grep '^E: ' "$log" | tr '\t\n' '  ' || true)
  [ -n "$reason" ] || reason=$(grep -v '^[[:space:]]*$' "$log" | tail -n 1 | tr '\t' ' ')
  reason="${reason% }"
  if [ "$required" = required ]; then
    echo "*** $named cannot run, and so the run fails: apt-get could not install ${packages[*]}: $reason"
    exit $status
  fi
  echo "*** $named skipped: apt-get could not install ${packages[*]}: $reason"
  for stage in ${stages//,/ }; do
    printf '%s\t%s\n' "$stage" "apt-get could not install ${packages[*]}: $reason" >>"$not_installed"
  done
done
