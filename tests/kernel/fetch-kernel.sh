#!/usr/bin/env bash
# Fetches Debian's own kernel (the package linux-image-amd64 depends on) and
# busybox-static with `apt-get download`, unpacks them into DEST and builds
# the kernel's module index there.  Kept between runs: a DEST that holds an
# unpacked kernel is used as it is.
#
#   fetch-kernel.sh DEST        prints the kernel release; exit 77 (with the
#                               reason on stderr) when the packages cannot be had
set -uo pipefail

dest=${1:?usage: fetch-kernel.sh DEST}
skip() { echo "SKIP: $*" >&2; exit 77; }

release_of() { ls "$1/root/lib/modules" 2>/dev/null | head -n 1; }

if [ -f "$dest/ready" ] && [ -n "$(release_of "$dest")" ]; then
  release_of "$dest"
  exit 0
fi
for tool in apt-get apt-cache dpkg depmod; do
  command -v "$tool" >/dev/null 2>&1 || [ -x "/sbin/$tool" ] || skip "$tool is not installed"
done
PATH=$PATH:/sbin:/usr/sbin

image=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
[ -n "$image" ] || skip "apt knows no linux-image-amd64 (run apt-get update)"

rm -rf "$dest" && mkdir -p "$dest/debs" "$dest/root" || skip "cannot write $dest"
( cd "$dest/debs" && apt-get download -q "$image" busybox-static >"$dest/download.log" 2>&1 ) ||
  skip "apt-get download $image busybox-static failed: $(tail -n 1 "$dest/download.log")"
for deb in "$dest"/debs/*.deb; do
  dpkg -x "$deb" "$dest/root" || skip "cannot unpack $deb"
done
release=$(release_of "$dest")
[ -n "$release" ] && [ -f "$dest/root/boot/vmlinuz-$release" ] || skip "no kernel in $image"
[ -x "$dest/root/bin/busybox" ] || skip "no busybox in busybox-static"
depmod -b "$dest/root" "$release" || skip "depmod failed"
touch "$dest/ready"
echo "$release"
