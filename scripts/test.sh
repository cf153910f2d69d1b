#!/usr/bin/env bash
# Builds everything and runs every test: host unit tests under ASan/UBSan, a
# minute of each fuzz target, the Windows build, checks of the executable
# file, the end-to-end scenarios of the real executable under Wine, and a
# signed release with its quick checks (scripts/check-release.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

# Warnings are errors here, in both builds.
echo "== host build and unit tests (ASan/UBSan)"
cmake --preset native -DKQ_WERROR=ON >/dev/null
cmake --build --preset native
ctest --preset native

echo "== fuzzing, 60 s a target (clang, libFuzzer, ASan/UBSan)"
scripts/fuzz.sh 60

# The README's first command, headless: it builds only what the demo needs
# (here, first, so that a fresh clone shows whether that is enough), and
# fails unless the window shows the demo tree's rows and the screenshot is saved.
echo "== the demo (scripts/run-demo.sh)"
cmake --preset windows -DKQ_WERROR=ON >/dev/null
scripts/run-demo.sh --xvfb --check

echo "== Windows build"
cmake --build --preset windows

echo "== executable checks"
python3 tests/pe_check.py build/windows/bin/kq6200ports.exe
python3 tests/pe_check.py --console build/windows/bin/kqports.exe

echo "== end to end under Wine"
python3 e2e/run.py --build build/windows

echo "== release: a signed release, lintian, signatures, Wine, qemu, packaged udev rules"
scripts/check-release.sh
