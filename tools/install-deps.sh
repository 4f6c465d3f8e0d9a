#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need,
# only those that are missing.  Runs apt-get as root (directly, or via sudo).
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config make
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
  libcli11-dev nlohmann-json3-dev
  dpkg-dev lintian desktop-file-utils appstream-util man-db
  qt6-base-dev
  libasound2-dev libjack-jackd2-dev jackd2
  libfuse3-dev fuse3
  # The real kernel's USB MIDI driver under QEMU (tests/kernel: the kernel
  # and busybox themselves are fetched there with apt-get download).
  qemu-system-x86 kmod cpio alsa-utils
  xvfb xauth
  # Windows build (MinGW-w64) and its tests under Wine; 64-bit Wine alone
  # runs the 64-bit programs, so no i386 architecture is needed.
  g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
  wine wine64 xdotool
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
# jackd2 asks whether to enable real-time priority; answer for it.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $sudo debconf-set-selections 2>/dev/null || true
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
