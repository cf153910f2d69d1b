#!/usr/bin/env bash
# Builds everything and runs every test: host unit tests under ASan/UBSan, a
# brief run of each fuzz target over its corpus, the README's demo, the
# Windows build, checks of the executable files, the end-to-end scenarios of
# the real executable under Wine, and a signed release with its quick checks
# (scripts/check-release.sh). The fuzzing and the release are made beside the
# tests, once their builds can start. Each step is timed; the table of
# seconds comes at the end, also when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."

timings=()
background_pids=()
current=""
now() { echo "${EPOCHREALTIME/[.,]/}"; }   # microseconds
seconds_since() {                          # seconds since a now(), one decimal
  local tenths=$(( ($(now) - $1) / 100000 ))
  printf '%d.%d' $((tenths / 10)) $((tenths % 10))
}
test_started=$(now)

# step NAME COMMAND...: runs one step and notes its seconds.
step() {
  current=$1
  shift
  echo "== $current"
  local started
  started=$(now)
  "$@"
  timings+=("$(printf '%-34s %7s s' "$current" "$(seconds_since "$started")")")
  current=""
}

summary() {
  local status=$?
  # The jobs beside the steps, and the release's key.
  local pid
  for pid in "${background_pids[@]}"; do
    kill -- -"$pid" 2>/dev/null || true
  done
  [ -z "${release_scratch:-}" ] || rm -rf "$release_scratch"
  echo "== seconds per step"
  [ ${#timings[@]} -gt 0 ] && printf '  %s\n' "${timings[@]}"
  [ -n "$current" ] && printf '  %-34s %7s\n' "$current" "failed"
  printf '  %-34s %7s s\n' "total" "$(seconds_since "$test_started")"
  return $status
}
trap summary EXIT

# build PRESET[:TARGET]...: configures and builds the presets at the same
# time (only TARGET where one is given), warnings as errors, each into
# build/logs/PRESET.log. Two cores stay busy through one build's configure and
# link, when the others compile.
build() {
  mkdir -p build/logs
  local pids=() request preset target failed=()
  for request in "$@"; do
    preset=${request%%:*}
    target=${request#"$preset"}
    target=${target#:}
    ( started=$SECONDS
      cmake --preset "$preset" -DKQ_WERROR=ON >/dev/null &&
        cmake --build --preset "$preset" ${target:+--target "$target"}
      status=$?
      echo "build $preset: exit $status after $((SECONDS - started)) s"
      exit $status
    ) >"build/logs/$preset.log" 2>&1 &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    preset=${*:i+1:1}
    preset=${preset%%:*}
    wait "${pids[$i]}" || failed+=("$preset")
    tail -n 1 "build/logs/$preset.log"
  done
  for preset in "${failed[@]}"; do
    echo "== build $preset FAILED; the end of build/logs/$preset.log:"
    tail -n 60 "build/logs/$preset.log"
  done
  [ ${#failed[@]} -eq 0 ]
}

# Two jobs at the lowest priority (SCHED_IDLE, the idle disk class), beside
# the steps that leave the processors idle for much of their time (the demo
# and the end-to-end scenarios mostly wait on Wine and on timers): the fuzz
# build with the brief fuzzing, from the end of the first builds, and the
# signed release, from the end of the Windows build. Their outcomes are taken
# last; the release's checks come after. Each job is a process group of its
# own (job control on for its start), so that a step failing first ends it
# and all its compilers. Not a session of its own: where the kernel schedules
# sessions as groups (autogroup), a new session gets an equal share of the
# processors whatever its nice value.
beside() {  # beside LOG COMMAND...: starts COMMAND, a program or a function
  local log=$1
  shift
  set -m
  # Scheduled only when a processor would be idle, at nice 19 where that is
  # refused, and its disk access only when the disk is idle.
  ( chrt --idle -p 0 "$BASHPID" 2> /dev/null || renice -n 19 -p "$BASHPID" > /dev/null
    ionice -c 3 -p "$BASHPID" 2> /dev/null || true
    "$@" ) > "$log" 2>&1 &
  background_pids+=($!)
  set +m
}
finished() {  # finished PID LOG PATTERN: the job's end, its lines that match
  if wait "$1"; then
    grep -E "$3" "$2" || true
    return
  fi
  echo "== FAILED; the end of $2:"
  tail -n 60 "$2"
  return 1
}
fuzzing() {
  build fuzz && scripts/fuzz.sh --brief
}

step "setup" scripts/setup.sh
# With the host builds, only the programs the README's demo needs: the demo
# then runs as a new user's first command does (scripts/run-demo.sh builds
# those same programs, e2e/programs.txt), so a fresh clone shows whether
# they are enough. It fails unless the window shows the demo tree's rows and
# the screenshot is saved.
step "builds (native, demo)" build native windows:kq_demo_programs
beside build/logs/fuzzing.log fuzzing
fuzzing_pid=$!
step "the demo (scripts/run-demo.sh)" scripts/run-demo.sh --xvfb --check
step "Windows build" build windows

release_scratch=$(mktemp -d "${TMPDIR:-/tmp}/kq-release-check.XXXXXX")
export KQ_RELEASE_SCRATCH=$release_scratch
beside build/logs/release-make.log scripts/check-release.sh --make
release_pid=$!

# A test that skips itself or does not run fails the step: nothing passes by
# not running.
host_unit_tests() {
  ctest --preset native -j "$(( 2 * $(nproc) ))" | tee build/logs/ctest.log
  ! grep -E 'Skipped|Not Run' build/logs/ctest.log
}
step "host unit tests (ASan/UBSan)" host_unit_tests
step "executable checks" bash -c 'python3 tests/pe_check.py build/windows/bin/kq6200ports.exe &&
  python3 tests/pe_check.py --console build/windows/bin/kqports.exe'
# Three scenarios per core: most of their time is spent waiting on the
# program's timers. Those that measure the timing run one after another on
# one worker (--dist loadgroup), preferred by the scheduler (e2e/conftest.py).
step "end to end under Wine" /usr/bin/python3 -m pytest e2e -n "$(( 3 * $(nproc) ))" --dist loadgroup \
  --build-dir build/windows
step "fuzz build, brief fuzzing (beside)" finished "$fuzzing_pid" build/logs/fuzzing.log \
  '^build fuzz:|^== fuzz|^#[0-9]+[[:space:]]+DONE|number_of_executed_units'
step "release made (beside)" finished "$release_pid" build/logs/release-make.log \
  '^the release made in'
step "release: signed, lintian, Wine, qemu, rules" scripts/check-release.sh --check
