#!/usr/bin/env bash
# Makes a release in dist/: the Windows zips of the x86 and of the x64
# programs and the Debian packages of kqports for amd64, arm64 and armhf, each
# the same bytes whenever and wherever the same sources are built (see
# docs/decisions.md, "Releases").
#
#   scripts/release.sh
#
# KQ_MAKER_FILES   the maker's package files (drivers/README.md): release
#                  zips; without them development zips named -dev-.
# KQ_SIGN_PKCS12   a PKCS#12 file with the code-signing key and certificate:
#                  every .exe shipped is signed (KQ_SIGN_PASSWORD its
#                  password, KQ_SIGN_TIMESTAMP_URL an RFC 3161 server).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export TZ=UTC LC_ALL=C.UTF-8
umask 022

version=$(cat VERSION)
changelog_version=$(sed -n '1s/^kqports (\([^)]*\)).*/\1/p' packaging/deb/changelog)
if [ "$version" != "$changelog_version" ]; then
  echo "release: VERSION says $version, packaging/deb/changelog $changelog_version" >&2
  exit 1
fi

# The builds under build/release/ are kept from one release to the next, as
# compiling is most of the time a release takes; what carries a signature or
# a date (the packages, the programs, the man page) is made anew each time,
# so that neither an earlier key nor an earlier date can end up in it.
work=build/release
rm -rf dist "$work"/zip "$work"/deb-* "$work"/packaged.rules
rm -f "$work"/windows-*/bin/kq6200ports.exe "$work"/windows-*/bin/kqports.exe \
      "$work"/windows-*/drivers/packages/kqdrv_*.pkg "$work"/linux-*/console/kqports.1
mkdir -p "$work" dist

# --- Windows ----------------------------------------------------------------
sign=OFF
if [ -n "${KQ_SIGN_PKCS12:-}" ]; then
  sign=ON
fi

# make_zip ARCH PRESET-SUFFIX PROCESSORS: the zip of the programs built for
# ARCH by the presets windows-release and windows (x86, suffix empty) or
# windows-release-x64 and windows-x64 (x64, suffix -x64); PROCESSORS is the
# line of its README.txt that says on which Windows they run.
make_zip() {
  local arch=$1 suffix=$2 processors=$3 windows zip_name notice
  if [ -n "${KQ_MAKER_FILES:-}" ]; then
    windows=$work/windows-release$suffix
    cmake --preset "windows-release$suffix" -B "$windows" -DKQ_MAKER_FILES="$KQ_MAKER_FILES" \
      -DKQ_SIGN=$sign >/dev/null
    zip_name=kq6200ports-$version-windows-$arch
    notice=""
  else
    windows=$work/windows-dev$suffix
    cmake --preset "windows$suffix" -B "$windows" -DKQ_SIGN=$sign >/dev/null
    zip_name=kq6200ports-$version-dev-windows-$arch
    notice=$'\nDEVELOPMENT BUILD: each driver package inside kq6200ports.exe carries\nstand-ins for the maker\'s files and cannot install drivers. Not for users.\n'
  fi
  cmake --build "$windows" -j2 --target kq6200ports kqports

  local stage=$work/zip/$arch
  mkdir -p "$stage"
  cp "$windows/bin/kq6200ports.exe" "$windows/bin/kqports.exe" "$stage/"
  NOTICE=$notice PROCESSORS=$processors VERSION=$version python3 -c '
import os, sys
text = open(sys.argv[1], encoding="utf-8").read()
for name in ("VERSION", "NOTICE", "PROCESSORS"):
    text = text.replace("@%s@" % name, os.environ[name])
# The lines that mark where the examples and the status table stand
# (tests/doc_examples.py, tests/units_status_help_test.cpp).
text = "".join(line for line in text.splitlines(keepends=True)
               if not line.startswith(("#example: ", "#end of example", "#status table",
                                       "#end of status table")))
open(sys.argv[2], "wb").write(text.replace("\n", "\r\n").encode("ascii"))
' packaging/windows/README.txt "$stage/README.txt"
  (cd "$stage" && sha256sum kq6200ports.exe kqports.exe README.txt > SHA256SUMS)
  python3 packaging/windows/make_zip.py "dist/$zip_name.zip" "$SOURCE_DATE_EPOCH" "$zip_name" \
    kq6200ports.exe="$stage/kq6200ports.exe" kqports.exe="$stage/kqports.exe" \
    README.txt="$stage/README.txt" SHA256SUMS="$stage/SHA256SUMS"
}
make_zip x86 "" "32-bit and 64-bit, on x86, x64 and ARM processors alike."
make_zip x64 -x64 "64-bit, on x64 processors only (take the -windows-x86 zip for any other)."

# --- Debian packages ----------------------------------------------------------
cmake --preset linux-release -B "$work/linux-amd64" >/dev/null
cmake --build "$work/linux-amd64" -j2 --target kqports kqports_man
cmake --preset linux-release-arm64 -B "$work/linux-arm64" >/dev/null
cmake --build "$work/linux-arm64" -j2 --target kqports kqports_man
cmake --preset linux-release-armhf -B "$work/linux-armhf" >/dev/null
cmake --build "$work/linux-armhf" -j2 --target kqports kqports_man

# The packaged rules are what kqports --udev-rules prints with no serial:
# the same file for every architecture. Their name, and the maintainer
# scripts' procedure, as the configuration made them from the sources.
rules=$work/packaged.rules
"$work/linux-amd64/bin/kqports" --udev-rules > "$rules"
packaging=$work/linux-amd64/packaging
. "$packaging/names.sh"

# make_deb ARCH BUILD TOOL-PREFIX
make_deb() {
  local arch=$1 build=$2 strip=${3}strip cc=${3}gcc
  local root=$work/deb-$arch/root doc=usr/share/doc/kqports
  mkdir -p "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/man/man1" \
           "$root/usr/lib/udev/rules.d" "$root/$doc"
  install -m 0755 "$build/bin/kqports" "$root/usr/bin/kqports"
  # As Debian's own packages strip their programs (dh_strip).
  "$strip" --remove-section=.comment --remove-section=.note "$root/usr/bin/kqports"
  gzip -9n < "$build/console/kqports.1" > "$root/usr/share/man/man1/kqports.1.gz"
  install -m 0644 "$rules" "$root/usr/lib/udev/rules.d/$rules_file"
  install -m 0644 packaging/deb/copyright "$root/$doc/copyright"
  # The maintainer scripts, each with the procedure that applies the rules.
  local script
  for script in postinst postrm; do
    python3 -c 'import sys; text = open(sys.argv[1]).read(); sys.stdout.write(text.replace("#KQ_APPLY_RULES#\n", open(sys.argv[2]).read()))' \
      "packaging/deb/$script" "$packaging/apply-rules.sh" > "$root/DEBIAN/$script"
    chmod 0755 "$root/DEBIAN/$script"
  done
  gzip -9n < packaging/deb/changelog > "$root/$doc/changelog.gz"
  chmod 0644 "$root/usr/share/man/man1/kqports.1.gz" "$root/$doc/changelog.gz"

  # Depends as dpkg-shlibdeps finds it from the libraries the program links.
  local shlibs=$work/deb-$arch/shlibs
  mkdir -p "$shlibs/debian"
  printf 'Source: kqports\n\nPackage: kqports\nArchitecture: any\n' > "$shlibs/debian/control"
  local depends
  depends=$(cd "$shlibs" && CC=$cc dpkg-architecture -a"$arch" -f -c \
              dpkg-shlibdeps -O "$OLDPWD/$root/usr/bin/kqports" | sed -n 's/^shlibs:Depends=//p')
  [ -n "$depends" ] || { echo "release: no dependencies found for $arch" >&2; exit 1; }

  local size
  size=$(du -s -k --apparent-size "$root/usr" | cut -f1)
  sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@INSTALLED_SIZE@/$size/" \
      -e "s/@DEPENDS@/$depends/" packaging/deb/control.in > "$root/DEBIAN/control"
  # Which machines a package serves where its architecture's name does not say.
  if [ -f "packaging/deb/description-$arch" ]; then
    cat "packaging/deb/description-$arch" >> "$root/DEBIAN/control"
  fi
  (cd "$root" && find usr -type f | sort | xargs md5sum) > "$root/DEBIAN/md5sums"
  chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
  find "$root" -type d -exec chmod 0755 {} +
  find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  # One compressor thread: xz's output may differ with the number of threads.
  dpkg-deb --root-owner-group --threads-max=1 -Zxz --build "$root" \
    "dist/kqports_${version}_$arch.deb" >/dev/null
}
make_deb amd64 "$work/linux-amd64" ""
make_deb arm64 "$work/linux-arm64" aarch64-linux-gnu-
make_deb armhf "$work/linux-armhf" arm-linux-gnueabihf-

(cd dist && sha256sum -- *.zip *.deb > SHA256SUMS)
echo "== release $version in dist/"
cat dist/SHA256SUMS
