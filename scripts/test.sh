#!/usr/bin/env bash
# Builds everything and runs every test, in the steps below, each timed; the
# table of seconds per step comes at the end, also when a step fails.
# Two jobs run beside the steps at idle priority, while the demo and the
# scenarios mostly wait on Wine and on timers: the fuzzing, and the signed
# release. Each has its log under build/logs/ and a step of its own that
# waits for it and fails when it failed (scripts/steps.sh).
# The Windows programs are built for x86 and x64 and run under Wine as this
# machine allows (e2e/platforms.py, whose line comes first); KQ_NO_32BIT=1
# runs everything as on a machine that runs no 32-bit code
# (scripts/without-32bit.sh, once the packages are installed).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${KQ_NO_32BIT:-}" ] && [ "$KQ_NO_32BIT" != 0 ] && [ -z "${KQ_NO_32BIT_SEALED:-}" ]; then
  scripts/setup.sh
  exec scripts/without-32bit.sh "$0" "$@"
fi
source scripts/steps.sh

release_scratch=$(mktemp -d "${TMPDIR:-/tmp}/kq-release-check.XXXXXX")
trap 'steps_summary; status=$?; rm -rf "$release_scratch"; exit $status' EXIT
export KQ_RELEASE_SCRATCH=$release_scratch

step "setup" scripts/setup.sh
python3 e2e/platforms.py

# The host builds, and only the Windows programs the README's demo needs
# (e2e/programs.txt, as scripts/run-demo.sh builds them for a new user): the
# x86 ones, or the x64 ones where 32-bit code cannot run.
demo_preset=windows
[ "$(python3 e2e/platforms.py --program)" = x64 ] && demo_preset=windows-x64
step "builds (native, demo)" build native "$demo_preset:kq_demo_programs"
fuzzing() { build fuzz && scripts/fuzz.sh --brief; }
job fuzzing fuzzing

# Fails unless the window shows the demo tree's rows and the screenshot is saved.
step "the demo (scripts/run-demo.sh)" scripts/run-demo.sh --xvfb --check

step "Windows builds (x86, x64)" build windows windows-x64
job release scripts/check-release.sh --make

# ctest fails on a test that skips itself or does not run.
host_unit_tests() {
  ctest --preset native -j "$(( 2 * $(nproc) ))" | tee build/logs/ctest.log
  ! grep -E 'Skipped|Not Run' build/logs/ctest.log
}
step "host unit tests (ASan/UBSan)" host_unit_tests

step "executable checks" bash -c 'python3 tests/pe_check.py build/windows/bin/kq6200ports.exe &&
  python3 tests/pe_check.py --console build/windows/bin/kqports.exe &&
  python3 tests/pe_check.py --machine x64 build/windows-x64/bin/kq6200ports.exe &&
  python3 tests/pe_check.py --machine x64 --console build/windows-x64/bin/kqports.exe'

# Three scenarios per core: most of their time is spent waiting on the
# program's timers. Those that measure the timing run one after another on
# one worker (--dist loadgroup), preferred by the scheduler (e2e/conftest.py).
step "end to end under Wine" /usr/bin/python3 -m pytest e2e -n "$(( 3 * $(nproc) ))" --dist loadgroup \
  --build-dir build/windows --build-dir-x64 build/windows-x64

step "fuzzing (job)" finish fuzzing
step "release made (job)" finish release
step "release checks" scripts/check-release.sh --check
