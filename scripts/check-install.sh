#!/usr/bin/env bash
# Installs the amd64 package of dist/ in a throwaway Debian 12 root (made by
# mmdebstrap in a temporary folder, entered with chroot; never this machine's
# own system) and checks what a user gets:
#   - apt-get install ./kqports_..._amd64.deb installs it with its dependencies,
#     its maintainer scripts running where no udev runs;
#   - kqports prints the not-found line with exit code 1 (this machine's /sys,
#     read-only, where no unit is attached);
#   - man -w kqports finds the page;
#   - an upgrade to the same package with a higher version runs the
#     maintainer scripts' upgrade paths without failing;
#   - apt-get purge kqports leaves none of its files.
#
#   scripts/check-install.sh        (after scripts/release.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(cat VERSION)
deb=dist/kqports_${version}_amd64.deb
[ -f "$deb" ] || { echo "no $deb: run scripts/release.sh first" >&2; exit 1; }
# The rules file's name, as the release's configuration read it from the sources.
. build/release/linux-amd64/packaging/names.sh

root=$(mktemp -d "${TMPDIR:-/tmp}/kq-root.XXXXXX")
trap 'rm -rf --one-file-system "$root"' EXIT
echo "== a Debian 12 root in $root"
# The machine's own package sources; man-db so that man -w can be asked.
mmdebstrap --quiet --variant=apt --include=man-db bookworm "$root" \
  /etc/apt/sources.list.d/debian.sources
cp "$deb" "$root/tmp/"

passed=0 failed=0
check() {  # check NAME CONDITION-OUTPUT...
  if [ "$2" = ok ]; then
    passed=$((passed + 1)); echo "ok   $1"
  else
    failed=$((failed + 1)); echo "FAIL $1: $2"
  fi
}

# Each command in a mount namespace of its own, so that /proc and the
# read-only /sys inside the root go away with it.
in_root() {
  unshare -m sh -c 'mount -t proc proc "$1/proc" && mount --rbind -o ro /sys "$1/sys" &&
                    mount -o remount,bind,ro "$1/sys" && shift && exec chroot "$@"' \
    sh "$root" "$root" "$@"
}

before=$(in_root dpkg-query -W -f='${Package}\n' | sort)
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "/tmp/$(basename "$deb")" \
  > "$root/tmp/install.log" 2>&1 || { cat "$root/tmp/install.log"; exit 1; }
added=$(comm -13 <(echo "$before") <(in_root dpkg-query -W -f='${Package}\n' | sort) | tr '\n' ' ')
echo "     installed: $added"
missing=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *\([^ ]*\).*/\1/' |
          while read -r package; do
            in_root dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
              grep -q "install ok installed" || echo "$package"
          done)
echo "     Depends: $(dpkg-deb -f "$deb" Depends)"
check "every dependency is installed in the root" "${missing:-ok}"
status=$(in_root dpkg-query -W -f='${Status}' kqports)
check "apt-get install ./$(basename "$deb")" \
  "$([ "$status" = "install ok installed" ] && echo ok || echo "$status")"

code=0
out=$(in_root kqports 2>&1) || code=$?
check "kqports: the not-found line, exit code 1" \
  "$([ "$code" = 1 ] && [ "${out%%$'\n'*}" = "Quorvanta KQ-6200 not found" ] && echo ok ||
     echo "exit $code: $out")"
page=$(in_root man -w kqports 2>&1 || true)
check "man -w kqports: $page" "$([ "$page" = /usr/share/man/man1/kqports.1.gz ] && echo ok || echo "$page")"
in_root dpkg -L kqports > "$root/tmp/files"
rules=$(in_root kqports --udev-rules | cmp - "$root/usr/lib/udev/rules.d/$rules_file" && echo ok || true)
check "the installed rules are what kqports --udev-rules prints" "${rules:-differ}"

# The same package a version higher, as an upgrade brings it: the old
# package's prerm and postrm "upgrade", the new one's postinst "configure".
repack=$(mktemp -d "${TMPDIR:-/tmp}/kq-repack.XXXXXX")
dpkg-deb -R "$deb" "$repack/root"
sed -i "s/^Version: .*/Version: $version+1/" "$repack/root/DEBIAN/control"
dpkg-deb --root-owner-group -b "$repack/root" "$root/tmp/kqports-next.deb" > /dev/null
rm -rf "$repack"
upgraded=$(in_root dpkg -i /tmp/kqports-next.deb 2>&1) || upgraded="failed: $upgraded"
version_now=$(in_root dpkg-query -W -f='${Version} ${Status}' kqports)
check "dpkg -i of version $version+1 over $version (the maintainer scripts' upgrade paths)" \
  "$([ "$version_now" = "$version+1 install ok installed" ] && echo ok || echo "$version_now $upgraded")"

in_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kqports > "$root/tmp/purge.log" 2>&1
left=$(while read -r path; do
         # Folders other packages share (/usr, /usr/bin ...) stay; files must not.
         if [ -e "$root$path" ] && { [ ! -d "$root$path" ] || [ "$path" = /usr/share/doc/kqports ]; }; then
           echo "$path"
         fi
       done < "$root/tmp/files")
check "apt-get purge kqports leaves none of its files" "${left:-ok}"
gone=$(in_root dpkg-query -W -f='${Status}' kqports 2>&1 || true)
check "dpkg knows kqports no more after the purge" \
  "$(case $gone in *"not-installed"*|*"no packages found"*|"") echo ok ;; *) echo "$gone" ;; esac)"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
