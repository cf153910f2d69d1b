#!/usr/bin/env bash
# Builds the Windows program and runs it under Wine against the two-unit demo
# device tree: on your display when $DISPLAY works, else inside Xvfb. Saves a
# screenshot to build/e2e/demo.png and prints its path. Extra arguments go to
# e2e/demo.py (for example --tree FILE, --winver win7, --xvfb).
# The x86 program, or the x64 one where this machine runs no 32-bit code
# (e2e/platforms.py tells; KQ_NO_32BIT=1 chooses it anyway). KQ_BUILD_DIR
# picks another build folder than build/windows or build/windows-x64.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

if [ "$(python3 e2e/platforms.py --program)" = x64 ]; then
  preset=windows-x64 option=--build-dir-x64
else
  preset=windows option=--build-dir
fi
build_dir="${KQ_BUILD_DIR:-build/$preset}"

# Configured once; a build folder configured already keeps its settings (the
# test command's warnings-as-errors, say), which configuring again by the
# preset would reset and so rebuild everything.
# One configured before the test builds required their tests is configured
# again.
grep -qs '^KQ_TESTS:BOOL=ON' "$build_dir/CMakeCache.txt" ||
  cmake --preset "$preset" -B "$build_dir" >/dev/null
# The programs every scenario installs, as listed in e2e/programs.txt.
cmake --build "$build_dir" -j2 --target kq_demo_programs

exec python3 e2e/demo.py "$option" "$build_dir" "$@"
