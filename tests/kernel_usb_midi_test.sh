#!/usr/bin/env bash
# The updater through the real Linux kernel's USB MIDI driver (snd-usb-audio):
# Debian's kernel booted under QEMU, two USB MIDI gadgets named "ARKO Q9" on
# dummy_hcd with the virtual ARKO Q9 on each gadget's end; the cases are in
# tests/kernel/usb_midi_cases.sh, all in one boot.
#
# Usage: kernel_usb_midi_test.sh BUILD_DIR     (exit 77: skipped, with the reason)
set -u
build=$(cd "${1:?usage: kernel_usb_midi_test.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
[ -x "$build/q9-virtual-device" ] || { echo "SKIP: no q9-virtual-device in this build (JACK was not found)"; exit 77; }
exec bash "$here/kernel/boot.sh" "$build" "$here/kernel/usb_midi_cases.sh" "$build"
