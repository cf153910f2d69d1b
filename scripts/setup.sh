#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine. Safe to
# run again: packages already present are not touched.
set -euo pipefail

packages=(
  cmake make g++ python3
  # The end-to-end scenarios and the udev test beds run on pytest, as the
  # system's /usr/bin/python3 has it.
  python3-pytest python3-pytest-xdist python3-pytest-timeout
  clang libclang-rt-14-dev
  googletest libbenchmark-dev
  pkg-config libudev-dev udev umockdev libumockdev-dev python3-gi gir1.2-umockdev-1.0 strace
  g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine32:i386 wine64 fonts-wine
  xvfb xdotool xclip imagemagick x11-utils
  librsvg2-bin icoutils
  # Radio programs that read what kqports --for prints, in the udev beds' tests.
  direwolf libhamlib-utils
  # Releases (scripts/release.sh) and their checks (scripts/check-*.sh).
  dpkg-dev scdoc osslsigncode lintian
  g++-aarch64-linux-gnu libudev-dev:arm64 libstdc++6:arm64
  g++-arm-linux-gnueabihf libudev-dev:armhf libstdc++6:armhf qemu-user mmdebstrap
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

echo "setup: installing ${missing[*]}"
for arch in i386 arm64 armhf; do
  if ! dpkg --print-foreign-architectures | grep -qx $arch; then
    as_root dpkg --add-architecture $arch
  fi
done
# Another apt or dpkg may be at work: wait for its lock rather than fail.
apt=(apt-get -o DPkg::Lock::Timeout=900)
as_root "${apt[@]}" update -qq
as_root env DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq "${missing[@]}"
