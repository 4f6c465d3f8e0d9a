#!/usr/bin/env bash
# Installs the Debian packages that a make target needs, only those that are
# missing.  Runs apt-get as root (directly, or via sudo).
#
#   install-deps.sh [SET...]         install the sets (default: run)
#   install-deps.sh --list [SET...]  print their packages, one a line
#
# Sets (each package is in exactly one):
#   run       building and running the programs: `make build`, `make run`
#   test      the tests and everything around them: GoogleTest, the fuzzer,
#             the FUSE stand-in, JACK, the real kernel under QEMU, the
#             Debian package checks, the Windows build and Wine
#   pictures  `make screenshot`
# Every target but `make build` and `make run` installs `run test`.
set -euo pipefail

run=(
  cmake ninja-build g++ pkg-config make
  qt6-base-dev
  libasound2-dev libjack-jackd2-dev
  libcli11-dev nlohmann-json3-dev
)

test=(
  # The tests and benchmarks in build/ (GoogleTest, Google Benchmark, zlib's
  # CRC as an oracle), the FUSE stand-in for /dev/snd, a JACK server.
  libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
  libfuse3-dev fuse3 jackd2
  # The fuzzer.
  clang libclang-rt-14-dev
  # The Debian package and its checks.
  dpkg-dev lintian desktop-file-utils appstream-util man-db
  # The real kernel's USB MIDI driver under QEMU (tests/kernel: the kernel
  # and busybox themselves are fetched there with apt-get download).
  qemu-system-x86 kmod cpio alsa-utils
  # Desktop programs in a real window.
  xvfb xauth xdotool
  # Windows build (MinGW-w64) and its tests under Wine; 64-bit Wine alone
  # runs the 64-bit programs, so no i386 architecture is needed.
  g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
  wine wine64
)

pictures=(imagemagick)

list=0
if [ "${1:-}" = "--list" ]; then list=1; shift; fi
[ $# -gt 0 ] || set -- run

packages=()
for set in "$@"; do
  case $set in
    run) packages+=("${run[@]}") ;;
    test) packages+=("${test[@]}") ;;
    pictures) packages+=("${pictures[@]}") ;;
    *) echo "install-deps.sh: unknown set '$set' (run, test, pictures)" >&2; exit 2 ;;
  esac
done

if [ "$list" -eq 1 ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

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
