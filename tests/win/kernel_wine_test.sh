#!/usr/bin/env bash
# The Windows command line under Wine through the real Linux kernel's USB
# MIDI driver: Wine's own winmm, the ALSA sequencer, snd-usb-audio, a USB
# MIDI gadget "ARKO Q9" with the virtual ARKO Q9 on its end (tests/kernel,
# case wine_case.sh).  The device program comes from the Linux build beside
# this one (Q9_LINUX_BUILD, default ./build).
#
# Usage: kernel_wine_test.sh WINDOWS_BUILD_DIR     (exit 77: skipped, with the reason)
set -u
winbuild=$(cd "${1:?usage: kernel_wine_test.sh WINDOWS_BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
linux=${Q9_LINUX_BUILD:-$here/../build}
[ -x "$linux/q9-virtual-device" ] || { echo "SKIP: no q9-virtual-device in $linux (build the Linux programs first)"; exit 77; }
linux=$(cd "$linux" && pwd)
KERNEL_CACHE=$linux/kernel/dist exec bash "$here/kernel/boot.sh" "$winbuild" "$here/kernel/usb_midi_cases.sh" "$linux" "$winbuild"
