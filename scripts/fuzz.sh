#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan/UBSan: preset "fuzz") and
# runs each for SECONDS (default 60), or with --brief for the count of
# executions below (the test command). Fails when a target finds a crash, a
# sanitizer report, a leak, an input that runs longer than 10 s or a report
# its oracle rejects; the input is kept as build/fuzz/artifacts/TARGET-*.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     TARGET: archive, devtree, report, udev
#   scripts/fuzz.sh --brief [TARGET...]
#
# Each target's corpus grows in build/fuzz/corpus/TARGET from run to run; the
# seeds are built into build/fuzz/fuzz/seeds/TARGET (fuzz/README.md). Every
# run, brief or not, executes the whole corpus and the seeds first.
set -euo pipefail
cd "$(dirname "$0")/.."

# A brief run: each target's corpus, then new inputs until it has executed
# this many in all (a few seconds each here); fewer fails the run.
declare -A brief_runs=([archive]=50000 [devtree]=4000 [report]=1000 [udev]=1000)
brief_default=1000

brief=false
if [ "${1:-}" = "--brief" ]; then
  brief=true
  shift
else
  seconds=${1:-60}
  [ $# -gt 0 ] && shift
fi
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(archive devtree report udev)

cmake --preset fuzz -DKQ_WERROR=ON >/dev/null
cmake --build --preset fuzz
# The report check and the tree generator first: a check that lets anything
# through would make every run below pass.
build/fuzz/bin/kq_fuzz_tests --gtest_brief=1

mkdir -p build/fuzz/artifacts build/fuzz/logs

# run TARGET: runs one target into its log; the exit code is the fuzzer's.
run() {
  local target=$1 limit
  mkdir -p "build/fuzz/corpus/$target"
  if $brief; then
    limit=(-runs="${brief_runs[$target]:-$brief_default}")
  else
    limit=(-max_total_time="$seconds")
  fi
  build/fuzz/bin/kq_fuzz_"$target" "${limit[@]}" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/$target-" "build/fuzz/corpus/$target" \
    "build/fuzz/fuzz/seeds/$target" >"build/fuzz/logs/$target.log" 2>&1
}

# Brief runs count executions, not seconds, so they run all at once; timed
# runs one after another, each with the processors to itself.
declare -A status
if $brief; then
  declare -A pids
  for target in "${targets[@]}"; do
    run "$target" &
    pids[$target]=$!
  done
  for target in "${targets[@]}"; do
    status[$target]=0
    wait "${pids[$target]}" || status[$target]=$?
  done
fi

failed=()
for target in "${targets[@]}"; do
  log=build/fuzz/logs/$target.log
  if $brief; then
    floor=${brief_runs[$target]:-$brief_default}
    echo "== fuzz $target, at least $floor executions (log: $log)"
  else
    floor=0
    echo "== fuzz $target for ${seconds}s (log: $log)"
    status[$target]=0
    run "$target" || status[$target]=$?
  fi
  if [ "${status[$target]}" -eq 0 ]; then
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::' "$log"
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if [ "${executed:-0}" -lt "$floor" ]; then
      echo "fuzz $target executed ${executed:-no} inputs, fewer than $floor"
      failed+=("$target")
    fi
  else
    echo "fuzz $target FAILED; the end of its log:"
    tail -n 80 "$log"
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: ${failed[*]} failed"
  exit 1
fi
