#!/usr/bin/env bash
# Builds everything and runs every test: host unit tests under ASan/UBSan, a
# brief run of each fuzz target over its corpus, the README's demo, the
# Windows build, checks of the executable files, the end-to-end scenarios of
# the real executable under Wine, and a signed release, made beside the tests
# after the Windows build, with its quick checks (scripts/check-release.sh).
# Each step is timed; the table of seconds comes at the end, also when a step
# fails.
set -euo pipefail
cd "$(dirname "$0")/.."

timings=()
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
  # The release being made beside the tests, and its key.
  if [ -n "${release_pid:-}" ]; then
    kill -- -"$release_pid" 2>/dev/null || true
    rm -rf "$release_scratch"
  fi
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

step "setup" scripts/setup.sh
# With the host builds, only the programs the README's demo needs: the demo
# then runs as a new user's first command does (scripts/run-demo.sh builds
# those same programs, e2e/programs.txt), so a fresh clone shows whether
# they are enough. It fails unless the window shows the demo tree's rows and
# the screenshot is saved.
step "builds (native, fuzz, demo)" build native fuzz windows:kq_demo_programs
step "the demo (scripts/run-demo.sh)" scripts/run-demo.sh --xvfb --check
step "Windows build" build windows

# The signed release is made from here on at the lowest priority, beside the
# steps that leave processors idle (the end-to-end scenarios mostly wait on
# timers); its checks come last, when it is made.
# In a process group of its own (job control on for the start), so that a
# step failing before it is made ends it and all its compilers. Not in a
# session of its own: where the kernel groups processes by session for
# scheduling (autogroup), a new session would get an equal share of the
# processors whatever its nice value.
release_scratch=$(mktemp -d "${TMPDIR:-/tmp}/kq-release-check.XXXXXX")
set -m
KQ_RELEASE_SCRATCH=$release_scratch nice -n 19 scripts/check-release.sh --make \
  > build/logs/release-make.log 2>&1 &
release_pid=$!
set +m
release_made() {
  wait "$release_pid" && tail -n 1 build/logs/release-make.log && return
  echo "== making the release FAILED; the end of build/logs/release-make.log:"
  tail -n 60 build/logs/release-make.log
  return 1
}

step "host unit tests (ASan/UBSan)" ctest --preset native -j "$(( 2 * $(nproc) ))"
step "fuzzing, brief (libFuzzer)" scripts/fuzz.sh --brief
step "executable checks" bash -c 'python3 tests/pe_check.py build/windows/bin/kq6200ports.exe &&
  python3 tests/pe_check.py --console build/windows/bin/kqports.exe'
step "end to end under Wine" python3 e2e/run.py --build-dir build/windows
step "release made (beside the above)" release_made
step "release: signed, lintian, Wine, qemu, rules" \
  env KQ_RELEASE_SCRATCH="$release_scratch" scripts/check-release.sh --check
