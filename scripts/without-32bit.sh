#!/usr/bin/env bash
# Runs a command as on a machine whose kernel runs no 32-bit code, so that
# the path the tests take there is tried on any machine:
#
#   scripts/without-32bit.sh COMMAND...
#
# Sets KQ_NO_32BIT=1 (the scenarios then run the x64 programs alone, through
# Wine's 64-bit loader: e2e/platforms.py) and, in a mount namespace of the
# command's own, puts a file that the kernel refuses to run ("Exec format
# error") over Wine's 32-bit loader and wineserver and over the 32-bit
# dynamic loader, so that anything that still reaches for 32-bit code fails
# as it would there. The namespace wants root (the test command runs as
# root); without it the variable alone is set, and this says so.
set -euo pipefail
export KQ_NO_32BIT=1
if [ -z "${KQ_NO_32BIT_SEALED:-}" ]; then
  if unshare --mount --propagation private true 2>/dev/null; then
    exec unshare --mount --propagation private env KQ_NO_32BIT_SEALED=1 "$0" "$@"
  fi
  echo "without-32bit: no mount namespace here: KQ_NO_32BIT is set, the 32-bit loaders are not sealed" >&2
  exec env KQ_NO_32BIT_SEALED=no "$@"
fi

refused=$(mktemp "${TMPDIR:-/tmp}/kq-refused.XXXXXX")
trap 'rm -f "$refused"' EXIT
python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import platforms
sys.stdout.buffer.write(platforms.tiny_elf32(machine=0))' "$(dirname "$0")/../e2e" > "$refused"
chmod 755 "$refused"
for loader in /usr/lib/wine/wine /usr/lib/wine/wineserver32 /lib/ld-linux.so.2; do
  if [ -e "$loader" ]; then mount --bind "$refused" "$loader"; fi
done
"$@"
