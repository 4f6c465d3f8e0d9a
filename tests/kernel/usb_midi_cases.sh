#!/usr/bin/env bash
# The updater through the real kernel's USB MIDI driver (snd-usb-audio),
# run inside the guest that boot.sh starts.  Two USB MIDI gadgets named
# "ARKO Q9" on dummy_hcd (four for `update --all`); on each gadget's own raw
# MIDI end (card q9a, q9b, ...) q9-virtual-device serves the virtual ARKO Q9
# and counts every message that did not arrive as sent.  One boot runs every
# case; the first failure of each case is reported and the others still run.
#
# Usage (inside the guest): usb_midi_cases.sh BUILD_DIR [WINDOWS_BUILD_DIR]
# With a Windows build, only its case runs (wine_case.sh).
set -u

build=$(cd "${1:?usage: usb_midi_cases.sh BUILD_DIR [WINDOWS_BUILD_DIR]}" && pwd)
winbuild=${2:-}
cli=$build/cli/q9-updater-cli
vdev=$build/q9-virtual-device
here=$(cd "$(dirname "$0")" && pwd)
. "$here/gadget.sh"
work=/root/q9
mkdir -p "$work"
. "$here/devices.sh"
. "$here/all_case.sh"

load_modules 4 || { echo "cannot load the USB MIDI modules"; exit 1; }
modprobe -d "$KERNEL_ROOT" snd-seq-midi output_buffer_size=65536 input_buffer_size=65536 || echo "no snd-seq-midi: the sequencer cases fail"
gadget_add q9a 1 && gadget_add q9b 2 && wait_cards 2 || { echo "no ARKO Q9 gadgets"; exit 1; }
"$vdev" --write-expected "$work/expected.bin" || exit 1
if [ -n "$winbuild" ]; then
  . "$here/wine_case.sh"
  [ "$failed" = 0 ] && echo "PASS"
  exit "$failed"
fi

# ---------------------------------------------------------------------------
echo "== ports"
"$cli" ports >"$OUT/ports.log" 2>&1 || fail "ports"
[ "$(grep -c '  ARKO Q9  (preselected)' "$OUT/ports.log")" = 2 ] || fail "\"ARKO Q9\" not listed both ways"
[ "$(grep -c '  ARKO Q9 (2)$' "$OUT/ports.log")" = 2 ] || fail "\"ARKO Q9 (2)\" not listed both ways"

# ---------------------------------------------------------------------------
echo "== two updates side by side, lost and refused replies injected"
start_device q9a update "flash=$work/a.flash,drop=200,refuse=150"
start_device q9b update "flash=$work/b.flash,drop=170,refuse=130"
t0=$(now)
"$cli" --in "ARKO Q9" --out "ARKO Q9" update >"$OUT/update-a.log" 2>&1 &
first=$!
# The kernel's buffers as the updaters asked for them, once blocks go.
(await_log q9a write-block 1 "$first" && for f in /proc/asound/card*/midi0; do echo "$f:"; cat "$f"; done >"$OUT/buffers.log") &
"$cli" --in "ARKO Q9 (2)" --out "ARKO Q9 (2)" update >"$OUT/update-b.log" 2>&1 || fail "the update on \"ARKO Q9 (2)\""
wait "$first" || fail "the update on \"ARKO Q9\""
echo "both updates ended after $(seconds "$t0" "$(now)") s"
stop_device q9a
stop_device q9b
for side in a b; do
  grep -q "Version update completed." "$OUT/update-$side.log" || fail "update $side: no completion"
  grep -q "SYSTEM:.*1.20 -> 1.20" "$OUT/update-$side.log" || fail "update $side: no version report"
  grep -qi "overflow\|overrun" "$OUT/update-$side.log" && fail "update $side: the updater's input overflowed"
  cmp -s "$work/$side.flash" "$work/expected.bin" || fail "update $side: the flash differs from the plan's"
done

echo "== verify on both, side by side"
start_device q9a verify "flash=$work/a.flash"
start_device q9b verify "flash=$work/b.flash"
"$cli" --in "ARKO Q9" --out "ARKO Q9" verify >"$OUT/verify-a.log" 2>&1 &
first=$!
"$cli" --in "ARKO Q9 (2)" --out "ARKO Q9 (2)" verify >"$OUT/verify-b.log" 2>&1 || fail "verify on \"ARKO Q9 (2)\""
wait "$first" || fail "verify on \"ARKO Q9\""
stop_device q9a
stop_device q9b

# ---------------------------------------------------------------------------
echo "== unplug during the blocks, then re-plug"
start_device q9a unplug "flash=$work/a.flash"
"$cli" --in "ARKO Q9" --out "ARKO Q9" update >"$OUT/unplug.log" 2>&1 &
pid=$!
await_log q9a write-block 50 "$pid" || fail "unplug: the update or the device ended before 50 blocks"
dmesg -c >/dev/null
t0=$(now)
gadget_unplug q9a
wait "$pid"
status=$?
took=$(seconds "$t0" "$(now)")
echo "unplug: exit $status, $took s after the unplug"
[ "$status" = 1 ] || fail "unplug: exit status $status"
grep -q "The device was disconnected" "$OUT/unplug.log" || fail "unplug: no disconnect message"
# A close that waited the kernel's drain of the gone card says so.
dmesg | grep -q "rawmidi drain error" && fail "unplug: a close waited the kernel's drain: $(dmesg | grep "rawmidi drain error")"
below "$took" 5 || fail "unplug: ended $took s after the unplug"
gadget_plug q9a && wait_cards 2 || fail "re-plug: no card"
"$cli" --in "ARKO Q9" --out "ARKO Q9" update --no-version >"$OUT/replug.log" 2>&1 || fail "update after the re-plug"
stop_device q9a any   # the message the unplug cut
cmp -s "$work/a.flash" "$work/expected.bin" || fail "re-plug: the flash differs from the plan's"

# ---------------------------------------------------------------------------
echo "== a sequencer client holding the device"
start_device q9a held "flash=$work/a.flash"
aseqdump -p "ARKO Q9" >"$OUT/aseqdump.log" 2>&1 &
holder=$!
# Until the sequencer has opened the device for it.
until grep -q "Owner PID *: $holder\$" /proc/asound/card*/midi0; do
  kill -0 "$holder" 2>/dev/null || { fail "held: aseqdump ended: $(cat "$OUT/aseqdump.log")"; break; }
  sleep 0.05
done
"$cli" --in "ARKO Q9" --out "ARKO Q9" update >"$OUT/held.log" 2>&1
status=$?
kill "$holder"; wait "$holder" 2>/dev/null
stop_device q9a
cat "$OUT/held.log"
[ "$status" = 1 ] || fail "held: exit status $status"
grep -q "in use by another program (process [0-9]* (aseqdump))" "$OUT/held.log" ||
  fail "held: the message does not name the holder alone"

# ---------------------------------------------------------------------------
echo "== four devices at once: update --all"
gadget_add q9c 3 && gadget_add q9d 4 && wait_cards 4 || fail "no four ARKO Q9 gadgets"
all_case all

[ "$failed" = 0 ] && echo "PASS"
exit "$failed"
