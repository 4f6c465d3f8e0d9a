#!/usr/bin/env bash
# Boots Debian's kernel under QEMU with this machine's root read-only (9p)
# under a RAM overlay, and runs one case script there as root:
#
#   boot.sh BUILD_DIR SCRIPT [ARGS...]
#
# The kernel and busybox are fetched once into BUILD_DIR/kernel/dist, or
# KERNEL_CACHE when set (see fetch-kernel.sh).  The script sees KERNEL_ROOT (the unpacked kernel, for
# `modprobe -d`), KERNEL_RELEASE and OUT (a folder shared with the host,
# BUILD_DIR/kernel/out, where it leaves its logs).  boot.sh exits with the
# script's status; 77 (skip, with the reason) when QEMU or the kernel cannot
# be had.  TCG, not KVM: nested KVM on CI machines stops the kernel early in
# its boot.
set -uo pipefail

build=$(cd "${1:?usage: boot.sh BUILD_DIR SCRIPT [ARGS...]}" && pwd)
script=$(cd "$(dirname "${2:?}")" && pwd)/$(basename "$2")
shift 2
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "SKIP: $*"; exit 77; }

[ "$(uname -m)" = x86_64 ] || skip "the guest kernel is amd64"
qemu=$(command -v qemu-system-x86_64) || skip "qemu-system-x86_64 is not installed"
command -v cpio >/dev/null || skip "cpio is not installed"
kdir=$build/kernel
mkdir -p "$kdir" || skip "cannot write $kdir"
dist=${KERNEL_CACHE:-$kdir/dist}
release=$(bash "$here/fetch-kernel.sh" "$dist") || exit $?
kroot=$(cd "$dist/root" && pwd)

# The initramfs: busybox, the modules the root file system needs (in load
# order) and init.
modules=(netfs fscache 9pnet virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci
         9pnet_virtio 9p overlay configfs)
initrd=$kdir/initramfs-$release.cpio.gz
if [ ! -f "$initrd" ] || [ "$here/init" -nt "$initrd" ]; then
  stage=$kdir/initramfs
  rm -rf "$stage" && mkdir -p "$stage/bin" "$stage/modules"
  cp "$kroot/bin/busybox" "$stage/bin/busybox"
  cp "$here/init" "$stage/init" && chmod +x "$stage/init"
  : >"$stage/modules/order"
  for m in "${modules[@]}"; do
    file=$(find "$kroot/lib/modules/$release" -name "$m.ko" -o -name "$m.ko.xz" | head -n 1)
    [ -n "$file" ] || continue   # built into the kernel
    case $file in *.xz) xz -dc "$file" >"$stage/modules/$m.ko" ;; *) cp "$file" "$stage/modules/$m.ko" ;; esac
    echo "$m" >>"$stage/modules/order"
  done
  (cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1 >"$initrd") || skip "cannot build the initramfs"
fi

out=$kdir/out
rm -rf "$out" && mkdir -p "$out"
{
  echo "export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
  echo "export HOME=/root KERNEL_ROOT='$kroot' KERNEL_RELEASE='$release' OUT=/q9out"
  printf 'cd %q || exit 1\n' "$PWD"
  printf 'exec bash %q' "$script"
  printf ' %q' "$@"
  echo
} >"$out/run"

"$qemu" -accel tcg -smp 2 -m 2048 -nographic -no-reboot -nic none -monitor none -serial stdio \
  -kernel "$kroot/boot/vmlinuz-$release" -initrd "$initrd" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs local,path="$out",mount_tag=q9out,security_model=none,multidevs=remap </dev/null
[ -f "$out/status" ] || { echo "the guest ended without a result"; exit 1; }
exit "$(cat "$out/status")"
