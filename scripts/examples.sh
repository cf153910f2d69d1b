#!/usr/bin/env bash
# Writes every example of program output in the documents anew, from what
# the programs print now (tests/doc_examples.py): kqports.exe under Wine on
# the demo trees. The test command checks that they are as committed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target kq_e2e_programs >/dev/null
KQ_WRITE_EXAMPLES=1 python3 e2e/run.py -j 1 -k documented_examples
git --no-pager diff --stat -- README.md docs packaging
