#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan/UBSan: preset "fuzz") and
# runs each for SECONDS (default 60). Fails when a target finds a crash, a
# sanitizer report, a leak, an input that runs longer than 10 s or a report
# its oracle rejects; the input is kept as build/fuzz/artifacts/TARGET-*.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     TARGET: archive, devtree, report, udev
#
# Each target's corpus grows in build/fuzz/corpus/TARGET from run to run; the
# seeds are built into build/fuzz/fuzz/seeds/TARGET (fuzz/README.md).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(archive devtree report udev)

cmake --preset fuzz -DKQ_WERROR=ON >/dev/null
cmake --build --preset fuzz
# The report check and the tree generator first: a check that lets anything
# through would make every run below pass.
build/fuzz/bin/kq_fuzz_tests --gtest_brief=1

mkdir -p build/fuzz/artifacts build/fuzz/logs
failed=()
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  log=build/fuzz/logs/$target.log
  mkdir -p "$corpus"
  echo "== fuzz $target for ${seconds}s (log: $log)"
  if build/fuzz/bin/kq_fuzz_"$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
       -artifact_prefix="build/fuzz/artifacts/$target-" "$corpus" "build/fuzz/fuzz/seeds/$target" \
       >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::' "$log"
  else
    echo "fuzz $target FAILED; the end of its log:"
    tail -n 80 "$log"
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: ${failed[*]} found a fault"
  exit 1
fi
