#!/usr/bin/env bash
# The updater through the real kernel's USB MIDI driver (snd-usb-audio),
# run inside the guest that boot.sh starts.  Two USB MIDI gadgets named
# "ARKO Q9" on dummy_hcd; on each gadget's own raw MIDI end (card q9a, q9b)
# q9-virtual-device serves the virtual ARKO Q9 and counts every message
# that did not arrive as sent.  One boot runs every case; the first failure
# of each case is reported and the others still run.
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
failed=0
fail() { echo "FAIL: $*"; failed=1; }
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
below() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }

# start_device NAME CASE SETTINGS: the virtual ARKO Q9 on gadget NAME's
# end, its log in $OUT/CASE-NAME.log.
declare -A devices logs
start_device() {
  logs[$1]=$OUT/$2-$1.log
  "$vdev" "$3" --alsa-rawmidi "$1" --verbose >"${logs[$1]}" 2>&1 &
  devices[$1]=$!
  local i
  for i in $(seq 100); do
    grep -q '^ready' "${logs[$1]}" && return 0
    sleep 0.1
  done
  fail "device $1 did not start: $(cat "${logs[$1]}")"
}
# stop_device NAME [any]: ends it (its flash file is written back) and,
# unless "any", checks that no message arrived malformed and its input lost
# nothing.
stop_device() {
  kill -TERM "${devices[$1]}" && wait "${devices[$1]}"
  local summary
  summary=$(grep '^received ' "${logs[$1]}")
  echo "device $1: $summary"
  case $summary in
    *" 0 malformed, 0 bytes lost"*) ;;
    *) [ "${2:-}" = any ] || fail "device $1: $summary" ;;
  esac
}

load_modules 2 || { echo "cannot load the USB MIDI modules"; exit 1; }
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
# The kernel's buffers as the updaters asked for them.
(sleep 5; for f in /proc/asound/card*/midi0; do echo "$f:"; cat "$f"; done >"$OUT/buffers.log") &
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
for i in $(seq 600); do
  [ "$(grep -c write-block "${logs[q9a]}")" -ge 50 ] && break
  sleep 0.1
done
t0=$(now)
gadget_unplug q9a
wait "$pid"
status=$?
took=$(seconds "$t0" "$(now)")
echo "unplug: exit $status, $took s after the unplug"
[ "$status" = 1 ] || fail "unplug: exit status $status"
grep -q "The device was disconnected" "$OUT/unplug.log" || fail "unplug: no disconnect message"
below "$took" 2 || fail "unplug: ended $took s after the unplug"
gadget_plug q9a && wait_cards 2 || fail "re-plug: no card"
"$cli" --in "ARKO Q9" --out "ARKO Q9" update --no-version >"$OUT/replug.log" 2>&1 || fail "update after the re-plug"
stop_device q9a any   # the message the unplug cut
cmp -s "$work/a.flash" "$work/expected.bin" || fail "re-plug: the flash differs from the plan's"

# ---------------------------------------------------------------------------
echo "== a sequencer client holding the device"
start_device q9a held "flash=$work/a.flash"
aseqdump -p "ARKO Q9" >"$OUT/aseqdump.log" 2>&1 &
holder=$!
sleep 1
"$cli" --in "ARKO Q9" --out "ARKO Q9" update >"$OUT/held.log" 2>&1
status=$?
kill "$holder"; wait "$holder" 2>/dev/null
stop_device q9a
cat "$OUT/held.log"
[ "$status" = 1 ] || fail "held: exit status $status"
grep -q "in use by another program (process [0-9]* (aseqdump))" "$OUT/held.log" ||
  fail "held: the message does not name the holder alone"

[ "$failed" = 0 ] && echo "PASS"
exit "$failed"
