#!/usr/bin/env bash
# CI's staged install against a stand-in apt-get that refuses some packages
# as a mirror caught in the middle of a sync does, then the decision of
# run-tests.sh on the list of stages it could not install: a refused set
# skips its stages without failing a run that requires every step, a refused
# native set fails, and a tool missing for any other cause still fails.
# Usage: ci_install_test.sh SOURCE_DIR
set -u
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

# The stand-ins: apt-get refuses any install that names a package of
# $BROKEN until $HEALS updates were made, and fails every update when
# $UPDATE_FAILS is 1; sleep and dpkg do nothing. Each call is logged.
mkdir "$work/bin"
cat >"$work/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "$*" >>"$CALLS"
updates=$(grep -c '^update' "$CALLS")
case $1 in
  update) [ "$UPDATE_FAILS" != 1 ] || { echo "E: Failed to fetch ... File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2; exit 100; } ;;
  install)
    for package; do
      if [[ " $BROKEN " == *" $package "* ]] && [ "$updates" -lt "$HEALS" ]; then
        echo "The following packages have unmet dependencies:"
        echo " $package : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed"
        echo "E: Error, pkgProblemResolver::Resolve generated breaks, this may be caused by held packages." >&2
        exit 100
      fi
    done
    echo "installed ${*:5}" >>"$CALLS" ;;
esac
EOF
printf '#!/bin/sh\necho "$0 $*" >>"$CALLS"\n' >"$work/bin/dpkg"
cp "$work/bin/dpkg" "$work/bin/sleep"
chmod +x "$work/bin"/*

# The decision of run-tests.sh, its functions alone, and the stages it
# names, of which every set's must be one.
decisions=$(sed -n '/^not_installed() {/,/^}/p; /^ready() {/,/^}/p; /^skip() {/,/^}/p' "$source_dir/scripts/run-tests.sh")
checked=$(grep -o 'skip [a-z-]* "' "$source_dir/scripts/run-tests.sh" | cut -d ' ' -f 2 | sort -u)
unchecked=$(sed -n '/^sets=(/,/^)/s/^  "\([^ ]*\) .*/\1/p' "$source_dir/scripts/ci-install.sh" | tr ',' '\n' | sort -u |
  comm -23 - <(echo "$checked"))
[ -z "$unchecked" ] || fail "stages that run-tests.sh does not check: $unchecked"

# NAME | BROKEN | HEALS | UPDATE_FAILS | status | stages not installed | updates
while IFS='|' read -r name broken heals update_fails want_status want_stages want_updates; do
  export CALLS=$work/$name.calls BROKEN=$broken HEALS=$heals UPDATE_FAILS=$update_fails
  : >"$CALLS"
  list=$work/$name.list
  PATH="$work/bin:$PATH" "$source_dir/scripts/ci-install.sh" "$list" >"$work/$name.out" 2>&1
  status=$?
  [ "$status" = "$want_status" ] || fail "$name: status $status, not $want_status"
  stages=$(cut -f 1 "$list" | sort | tr '\n' ' ')
  [ "$stages" = "$want_stages" ] || fail "$name: not installed '$stages', not '$want_stages'"
  updates=$(grep -c '^update' "$CALLS")
  [ "$updates" = "$want_updates" ] || fail "$name: $updates updates, not $want_updates"
  grep -q '^installed .*cmake' "$CALLS" || [ "$want_status" != 0 ] || fail "$name: the native set was not installed"
  for stage in $want_stages; do
    grep -q "^$stage	apt-get could not install .*$broken.*: E: Error, pkgProblemResolver" "$list" ||
      fail "$name: the $stage stage's reason: $(grep "^$stage" "$list")"
    grep -q "^\*\*\* .*$stage.* skipped: apt-get could not install .*$broken.*: E: " "$work/$name.out" ||
      fail "$name: no loud line for the $stage stage"
  done
  # A refused required set leaves the rest untried.
  [ "$want_status" = 0 ] || ! grep -q '^install.* wine ' "$CALLS" || fail "$name: went on after the native set"

  # A listed stage is held back even where its tools are found, and its skip
  # is tolerated; any other stage runs, and a tool missing there fails.
  for stage in $checked; do
    decided=$(LINE_READER_REQUIRE_ALL=1 LINE_READER_NOT_INSTALLED=$list bash -c "set -eu; skipped=(); not_installed_skips=0
      $decisions
      if ready $stage sh; then echo runs; else echo held; fi
      skip $stage a-tool >/dev/null; echo tolerated" 2>/dev/null | tr '\n' ' ')
    want="runs "
    [[ " $want_stages " != *" $stage "* ]] || want="held tolerated "
    [ "$decided" = "$want" ] || fail "$name: the $stage stage: '$decided', not '$want'"
  done
  [ "$failures" = 0 ] || { cat "$work/$name.out"; break; }
done <<'EOF'
whole lists||0|0|0||1
the i386 list left out|wine32:i386|99|1|0|windows |6
the Windows set whole after a fresh update|wine32:i386|2|0|0||2
the qemu set refused|qemu-user|99|0|0|cpu-models windows |2
the fuzzing set refused|libclang-rt-14-dev|99|0|0|fuzzing |2
the native set refused|cmake|99|0|100||2
EOF

[ "$failures" = 0 ] && echo "all staged install cases passed"
exit $((failures > 0))
