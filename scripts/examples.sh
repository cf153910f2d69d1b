#!/usr/bin/env bash
# Writes every example of program output in the documents anew, from what
# the programs print now (tests/doc_examples.py): kqports.exe under Wine on
# the demo trees, and the Linux kqports (on the udev test beds of tests/udev
# where a unit is shown). The test command checks that they are as committed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target kq_e2e_programs >/dev/null
cmake --preset native >/dev/null
cmake --build --preset native --target kqports >/dev/null
KQ_WRITE_EXAMPLES=1 /usr/bin/python3 -m pytest e2e -q -k documented_examples
/usr/bin/python3 tests/doc_examples.py --kqports build/native/bin/kqports --write
umockdev-wrapper /usr/bin/python3 -m pytest tests/udev -q -k documented --write-examples \
  --kqports=build/native/bin/kqports
git --no-pager diff --stat -- README.md docs packaging
