#!/usr/bin/env bash
# The release's quick checks, one step of the test command: a signed release
# is made with a certificate made here (and thrown away), then checked:
#   - tests/release: no key material in dist/ or the build folders; the zips'
#     and the packages' exact contents; each zip's programs are its signed
#     build's, as tests/pe_check.py requires them for its processor (x86 or
#     x64); osslsigncode accepts every signed .exe (the programs and the
#     driver packages they carry), and each kq6200ports.exe carries its
#     build's signed packages; lintian; the arm64 and armhf kqports under
#     qemu-user on this machine's /sys;
#   - the signed programs run under Wine with the demo tree (end to end);
#   - the packaged udev rules name the test bed's units with no serial given.
# Two-folder reproducibility and the install in a throwaway root are
# scripts/check-reproducible.sh and scripts/check-install.sh.
#
#   scripts/check-release.sh [--make | --check]
#
# --make only makes the signed release (and the harness's helpers beside its
# programs), --check only checks the release made so: the test command makes
# it while the end-to-end scenarios run, which leave most of the processors
# idle as they wait. The two share the folder KQ_RELEASE_SCRATCH (the key
# and its password), which the caller then removes; without it the folder is
# a temporary one, removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
phase=${1:-all}
case $phase in
  --make|--check|all) ;;
  *) echo "usage: scripts/check-release.sh [--make | --check]" >&2; exit 2 ;;
esac

if [ -n "${KQ_RELEASE_SCRATCH:-}" ]; then
  scratch=$KQ_RELEASE_SCRATCH
else
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/kq-release-check.XXXXXX")
  trap 'rm -rf "$scratch"' EXIT
fi

key=$scratch/key
windows=build/release/windows-dev
windows_x64=build/release/windows-dev-x64
if [ -n "${KQ_MAKER_FILES:-}" ]; then
  windows=build/release/windows-release
  windows_x64=build/release/windows-release-x64
fi
if [ "$phase" != --check ]; then
  # A throwaway code-signing certificate; the key stays in the scratch folder.
  mkdir -m 700 "$key"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=KQ-6200 Ports test signing" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$key/key.pem" -out "$key/cert.pem" 2>/dev/null
  (umask 077 && openssl rand -hex 16 > "$key/password")
  KQ_PASS=$(cat "$key/password") openssl pkcs12 -export -inkey "$key/key.pem" \
    -in "$key/cert.pem" -out "$key/sign.p12" -passout env:KQ_PASS
  openssl pkey -in "$key/key.pem" -outform DER -out "$key/key.der"

  KQ_SIGN_PKCS12=$key/sign.p12 KQ_SIGN_PASSWORD=$(cat "$key/password") scripts/release.sh
  # The end-to-end harness needs its helpers (simulated cfgmgr32.dll, spy)
  # beside the signed programs; building them leaves the programs as they are.
  for build in "$windows" "$windows_x64"; do
    cmake --build "$build" -j2 --target kq_sim_dll kq_winspy kq_oslevel_probe
  done
  echo "the release made in $((SECONDS - started)) s"
  [ "$phase" = --make ] && exit 0
fi
[ -f "$key/password" ] || { echo "check-release: no release made with a key in $scratch" >&2; exit 1; }
version=$(cat VERSION)
failed=()

echo "== the release's files, signatures and ARM programs (tests/release)"
/usr/bin/python3 -m pytest tests/release --key-dir "$key" --windows-build "$windows" \
  --windows-build-x64 "$windows_x64" ||
  failed+=("tests/release")

echo "== the signed programs under Wine: drivers installed from the signed package, kqports"
# The x86 programs where this machine runs them, the x64 ones everywhere.
/usr/bin/python3 -m pytest -q -n 2 --build-dir="$windows" --build-dir-x64="$windows_x64" \
  'e2e/test_drivers.py::test_install_succeeds[x86-win32]' \
  'e2e/test_drivers.py::test_install_succeeds[x64-win64]' \
  e2e/test_kqports.py::test_kqports_exit_codes_and_usage || failed+=("the signed programs under Wine")

echo "== the packaged rules on the test beds"
dpkg-deb -x "dist/kqports_${version}_amd64.deb" "$scratch/amd64"
. build/release/linux-amd64/packaging/names.sh
umockdev-wrapper /usr/bin/python3 -m pytest tests/udev -q \
  --rules="$scratch/amd64/usr/lib/udev/rules.d/$rules_file" || failed+=("the packaged rules")

echo "release checks took $((SECONDS - started)) s"
if [ ${#failed[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failed[@]}"
  exit 1
fi
