#!/usr/bin/env bash
# Two releases of the same commit, made one after the other in two clones in
# two different folders, must be the same bytes: compares the SHA-256 of
# every file in their dist/, which must hold both Windows zips (x86 and x64)
# and the three Debian packages.
#
#   scripts/check-reproducible.sh [COMMIT]     (default: HEAD)
set -euo pipefail
cd "$(dirname "$0")/.."
commit=$(git rev-parse "${1:-HEAD}")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kq-reproducible.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

for clone in first "second, elsewhere"; do
  folder="$scratch/$clone"
  git clone -q --no-checkout "$PWD" "$folder"
  git -C "$folder" checkout -q --detach "$commit"
  echo "== release in $folder ($(date -u +%H:%M:%S))"
  started=$SECONDS
  (cd "$folder" && scripts/release.sh > release.log 2>&1) ||
    { tail -n 30 "$folder/release.log"; exit 1; }
  echo "   took $((SECONDS - started)) s"
  (cd "$folder/dist" && sha256sum -- * > "$scratch/$clone.sums")
  for made in -windows-x86.zip -windows-x64.zip _amd64.deb _arm64.deb _armhf.deb; do
    grep -q -- "$made\$" "$scratch/$clone.sums" ||
      { echo "the release in $folder has no *$made" >&2; exit 1; }
  done
done

echo "== SHA-256 of the first and of the second release"
paste -d'\n' "$scratch/first.sums" "$scratch/second, elsewhere.sums"
if cmp -s "$scratch/first.sums" "$scratch/second, elsewhere.sums"; then
  echo "the two releases are the same bytes"
else
  echo "the two releases differ" >&2
  exit 1
fi
