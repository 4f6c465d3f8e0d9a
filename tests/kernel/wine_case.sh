# Sourced by usb_midi_cases.sh: the Windows command line under Wine through
# the same kernel.  Wine's winmm reaches ALSA through the sequencer
# (snd-seq-midi, loaded with a 64 KiB output buffer: Wine hands each SysEx
# message over as one sequencer event, and the kernel's default 4 KiB is
# less than a block).  Wine 8 ends every program that opened winmm devices
# with a segmentation fault at its exit, whatever the program did, so the
# run is judged by its --json result event and by the device's flash, not
# by its exit status.
echo "== the Windows command line under Wine"
exe=$winbuild/cli/q9-updater-cli.exe
export WINEPREFIX=$winbuild/wine WINEDEBUG=-all
unset WINEDLLOVERRIDES
# The host's wineserver for this prefix (the Windows suite keeps one) has
# its socket under /tmp/.wine-0, which the guest sees: the guest's own.
mkdir -p /tmp/.wine-0 && mount -t tmpfs tmpfs /tmp/.wine-0
[ -f "$exe" ] && [ -f "$WINEPREFIX/system.reg" ] || { fail "no $exe or no Wine prefix in $winbuild"; return; }
gadget_unplug q9b   # one "ARKO Q9" only, as Wine names both alike
rm -f "$work/w.flash"
start_device q9a wine "flash=$work/w.flash"
wine "$exe" ports >"$OUT/wine-ports.log" 2>&1
cat "$OUT/wine-ports.log"
name=$(grep -m 1 -o 'ARKO Q9 - ARKO Q9 MIDI 1' "$OUT/wine-ports.log")
[ -n "$name" ] || fail "Wine lists no \"ARKO Q9 - ARKO Q9 MIDI 1\""
wine "$exe" --json --in "$name" --out "$name" update --no-version >"$OUT/wine-update.log" 2>&1
echo "wine: exit $? (Wine 8 faults at exit after winmm was used)"
stop_device q9a
grep '"event":"result"' "$OUT/wine-update.log"
grep -q '"event":"result".*"ok":true' "$OUT/wine-update.log" || fail "wine: no successful result event"
cmp -s "$work/w.flash" "$work/expected.bin" || fail "wine: the flash differs from the plan's"
wineserver -k 2>/dev/null
