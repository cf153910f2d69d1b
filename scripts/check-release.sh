#!/usr/bin/env bash
# The release's quick checks, one step of the test command: a signed release
# is made with a certificate made here (and thrown away), then
#   - no key material is in dist/ or the build folder;
#   - osslsigncode accepts every signed .exe: both programs and both driver
#     packages; the zip's programs are those, and the packages inside its
#     kq6200ports.exe are the signed ones;
#   - the signed programs run under Wine with the demo tree (end to end);
#   - lintian finds neither errors nor warnings in any package;
#   - the arm64 and armhf kqports run under qemu-user on this machine's /sys;
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
passed=0 failed=0
check() {  # check NAME COMMAND...
  local name=$1
  shift
  if "$@" > "$scratch/out" 2>&1; then
    passed=$((passed + 1)); echo "ok   $name"
    # The last line of a tool's own report (e2e, lintian, the test beds).
    grep -v -e '^[[:space:]]*$' -e 'root privileges' "$scratch/out" | tail -n 1 | sed 's/^/     /' || true
  else
    failed=$((failed + 1)); echo "FAIL $name"; sed 's/^/     /' "$scratch/out"
  fi
}

key=$scratch/key
windows=build/release/windows-dev
if [ -n "${KQ_MAKER_FILES:-}" ]; then
  windows=build/release/windows-release
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
  cmake --build "$windows" -j2 --target kq_sim_dll kq_winspy kq_oslevel_probe
  echo "the release made in $((SECONDS - started)) s"
  [ "$phase" = --make ] && exit 0
fi
[ -f "$key/password" ] || { echo "check-release: no release made with a key in $scratch" >&2; exit 1; }
password=$(cat "$key/password")
version=$(cat VERSION)

no_key_material() {
  KQ_PASS=$password python3 - "$key" dist build/release <<'PY'
import os, sys
from pathlib import Path
key = Path(sys.argv[1])
secrets = {"password": os.environ["KQ_PASS"].encode(), "PKCS#12 file": (key / "sign.p12").read_bytes()[-64:],
           "private key": (key / "key.der").read_bytes()[-64:], "PEM key": b"PRIVATE KEY"}
found = [f"{what} in {path}" for top in sys.argv[2:] for path in Path(top).rglob("*")
         if path.is_file() and not path.is_symlink()
         for what, secret in secrets.items() if secret in path.read_bytes()]
print("\n".join(found))
sys.exit(1 if found else 0)
PY
}
check "no key material in dist/ or build/release/" no_key_material

mkdir "$scratch/zip"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
  dist/kq6200ports-"$version"-*windows-x86.zip "$scratch/zip"
zip_contents() {
  python3 - dist/kq6200ports-"$version"-*windows-x86.zip <<'PY'
import sys, zipfile
name = sys.argv[1]
archive = zipfile.ZipFile(name)
folder = name.rsplit("/", 1)[1][:-4]
names = sorted(archive.namelist())
want = sorted(f"{folder}/{n}" for n in ("kq6200ports.exe", "kqports.exe", "README.txt", "SHA256SUMS"))
readme = archive.read(f"{folder}/README.txt")
problems = []
if names != want:
    problems.append(f"files: {names}")
modes = {i.filename: oct(i.external_attr >> 16) for i in archive.infolist()
         if i.create_system != 3 or i.external_attr >> 16 != 0o100644}
if modes:
    problems.append(f"not Unix mode 0644: {modes}")
if b"#example: " in readme or b"#end of example" in readme:
    problems.append("README.txt carries the marks of its examples")
if readme.count(b"\n") != readme.count(b"\r\n"):
    problems.append("README.txt has line ends without CR")
if ("-dev-" in folder) != (b"DEVELOPMENT BUILD" in readme):
    problems.append("README.txt and the name disagree on a development build")
print("\n".join(problems))
sys.exit(1 if problems else 0)
PY
}
check "the zip: both programs, README.txt with CR LF, SHA256SUMS, nothing else, mode 0644" zip_contents
check "the zip's SHA256SUMS" sh -c "cd '$scratch'/zip/* && sha256sum -c --quiet SHA256SUMS"
deb_contents() {
  local want='./usr/bin/kqports
./usr/lib/udev/rules.d/70-kq6200.rules
./usr/share/doc/kqports/changelog.gz
./usr/share/doc/kqports/copyright
./usr/share/man/man1/kqports.1.gz'
  for deb in dist/kqports_*.deb; do
    [ "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)" = "$want" ] ||
      { echo "$deb holds:"; dpkg-deb -c "$deb"; return 1; }
  done
}
check "the packages: the program, man page, rules, copyright and changelog, nothing else" deb_contents
for exe in "$scratch"/zip/*/kq6200ports.exe "$scratch"/zip/*/kqports.exe \
           "$windows"/drivers/packages/kqdrv_x86.pkg "$windows"/drivers/packages/kqdrv_x64.pkg; do
  check "osslsigncode verify $(basename "$exe")" \
    osslsigncode verify -CAfile "$key/cert.pem" -in "$exe"
done
embedded() {
  python3 - "$scratch"/zip/*/kq6200ports.exe "$windows"/drivers/packages/kqdrv_x*.pkg <<'PY'
import sys
program = open(sys.argv[1], "rb").read()
sys.exit(0 if all(open(p, "rb").read() in program for p in sys.argv[2:]) else 1)
PY
}
check "the zip's kq6200ports.exe carries the signed packages" embedded
check "the zip's programs are the signed build's" \
  sh -c "cmp '$windows/bin/kq6200ports.exe' '$scratch'/zip/*/kq6200ports.exe &&
         cmp '$windows/bin/kqports.exe' '$scratch'/zip/*/kqports.exe"

check "signed build under Wine: drivers installed from the signed package" \
  /usr/bin/python3 -m pytest e2e -q -p no:cacheprovider --build-dir "$windows" \
    -k 'test_install_succeeds and win32'
check "signed build under Wine: kqports" \
  /usr/bin/python3 -m pytest e2e -q -p no:cacheprovider --build-dir "$windows" \
    -k test_kqports_exit_codes_and_usage

check "lintian: no errors or warnings" \
  lintian --fail-on error,warning --no-tag-display-limit dist/kqports_*.deb

dpkg-deb -x "dist/kqports_${version}_amd64.deb" "$scratch/amd64"
# Each ARM package's program, run by qemu-user: ARCH QEMU MACHINE-AS-READELF-SAYS.
for target in "arm64 qemu-aarch64 AArch64" "armhf qemu-arm ARM"; do
  read -r arch qemu machine <<<"$target"
  dpkg-deb -x "dist/kqports_${version}_$arch.deb" "$scratch/$arch"
  program=$scratch/$arch/usr/bin/kqports
  check "$arch: an $machine program" sh -c "readelf -h '$program' | grep -q 'Machine: *$machine\$'"
  check "$arch under qemu: --version" \
    sh -c "[ \"\$($qemu '$program' --version)\" = 'kqports $version' ]"
  not_found() {
    local code=0 out
    out=$("$1" "$2") || code=$?
    echo "exit $code: $out"
    # The line, then what was seen of a unit's USB functions, indented.
    [ "$code" = 1 ] && [ "${out%%$'\n'*}" = "Quorvanta KQ-6200 not found" ] &&
      ! tail -n +2 <<<"$out" | grep -qv '^        [A-Z]'
  }
  check "$arch under qemu: the not-found line, exit 1, on this machine's /sys" \
    not_found "$qemu" "$program"
  check "$arch under qemu: --udev-rules prints the packaged rules" \
    sh -c "$qemu '$program' --udev-rules | cmp - '$scratch/$arch/usr/lib/udev/rules.d/70-kq6200.rules'"
  check "$arch: the same rules as amd64" \
    cmp "$scratch/amd64/usr/lib/udev/rules.d/70-kq6200.rules" \
        "$scratch/$arch/usr/lib/udev/rules.d/70-kq6200.rules"
done
maintainer_scripts() {
  for deb in dist/kqports_*.deb; do
    # The control part's files, each with its mode.
    [ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -tv | awk '$6 != "./" {print $1, $6}' | sort | tr '\n' ' ')" = \
      "-rw-r--r-- ./control -rw-r--r-- ./md5sums -rwxr-xr-x ./postinst -rwxr-xr-x ./postrm " ] ||
      { echo "$deb:"; dpkg-deb --ctrl-tarfile "$deb" | tar -tv; return 1; }
  done
}
check "the packages: postinst and postrm, which apply the rules to the attached units" maintainer_scripts
check "packaged rules on the test beds" \
  umockdev-wrapper /usr/bin/python3 -m pytest tests/udev -q \
    --rules="$scratch/amd64/usr/lib/udev/rules.d/70-kq6200.rules"

echo "release checks took $((SECONDS - started)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
