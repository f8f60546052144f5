#!/usr/bin/env bash
# Runs the scanner tests under qemu-x86_64 as several processors: each must
# pick the block stage that it has every feature for, and that stage must
# give the reference results. A stage picked without a feature its file is
# compiled for dies of SIGILL here.
# Usage: check-cpu-models.sh TESTS (the native line_reader_tests)
set -euo pipefail
tests=$1
# model, then the stage it must pick (a pattern)
models=(
  "qemu64 sse2_pair_mask"             # the x86-64 baseline
  "Nehalem sse2_pair_mask"            # SSE4.2 and POPCNT, no AVX
  "Haswell,-bmi1,-bmi2 sse2_pair_mask" # AVX2 shown, BMI hidden, as some virtual machines do
  "Haswell,-popcnt sse2_pair_mask"     # AVX2 and BMI without POPCNT, which -mavx2 implies
  "Haswell avx2_pair_mask"
  "max avx2_pair_mask|avx512_pair_mask"
)
for entry in "${models[@]}"; do
  read -r model wanted <<<"$entry"
  stages=$(qemu-x86_64 -cpu "$model" "$tests" --gtest_list_tests --gtest_filter='AllBuilt/*' 2>/dev/null |
    grep -o 'RandomTextAtEveryOffsetAndSize/[a-z0-9_]*' | cut -d/ -f2)
  picked=$(tail -n 1 <<<"$stages")
  if ! grep -Eqx "$wanted" <<<"$picked"; then
    echo "$model: picked ${picked:-nothing}, wanted $wanted" >&2
    exit 1
  fi
  # qemu warns of host features it does not emulate; the output is shown
  # only when the tests fail.
  if ! output=$(qemu-x86_64 -cpu "$model" "$tests" --gtest_brief=1 \
    --gtest_filter="AllBuilt/*/$picked:LineScan.*:IndexedFile.MatchesANaiveSplit:IndexedFile.ALineEnd*" 2>&1); then
    echo "$output" >&2
    echo "$model: the tests failed with $picked" >&2
    exit 1
  fi
  echo "$model: picks $picked, which gives the reference results"
done
