#!/usr/bin/env bash
# The ALSA raw MIDI backend through the real alsa-lib, against a stand-in for
# the kernel's sound devices: a FUSE file system on /dev/snd inside a private
# mount namespace (tools: tests/alsa_standin), with the virtual ARKO Q9
# behind each card.  One full update per kernel buffer size, then a table of
# faults: unplug, stalled output, a device held by another process, two
# cards of the same name.
#
# Usage: alsa_e2e_test.sh BUILD_DIR     (exit 77: skipped)
set -u

build=${1:?usage: alsa_e2e_test.sh BUILD_DIR}
cli=$build/cli/q9-updater-cli

# The namespace, the private /dev, start_standin, stop_standin, fail.
. "$(dirname "$0")/alsa_standin/standin_env.sh"

# ---------------------------------------------------------------------------
# One full update per kernel buffer size (for output the largest the kernel
# grants: the backend asks for 64 KiB, and writes a block in pieces where it
# gets less),
# with lost and refused replies, then the version report and the flash
# against what the plan writes.
expected=$work/expected.bin
"$standin" --dump-current "$expected" || fail "--dump-current"
for buffer in 4096 16384 65536; do
    rm -f "$work"/flash*
    start_standin --buffer "$buffer" --max-output-buffer "$buffer" --device "flash=$work/flash%c,link=2097152,drop=200,refuse=150"
    "$cli" ports >"$work/ports.log" 2>&1 || fail "ports ($buffer)"
    [ "$(grep -c 'ARKO Q9  (preselected)' "$work/ports.log")" = 2 ] || fail "ARKO Q9 not listed both ways ($buffer)"
    "$cli" update >"$work/update.log" 2>&1 || fail "update with a $buffer-byte kernel buffer"
    grep -q "Version update completed." "$work/update.log" || fail "no completion ($buffer)"
    grep -q "SYSTEM:.*1.20 -> 1.20" "$work/update.log" || fail "no version report after the update ($buffer)"
    stop_standin
    cmp -s "$work/flash0" "$expected" || fail "the flash differs from the plan's ($buffer)"
    grep -q "not handled" "$work/standin.log" && fail "alsa-lib sent an ioctl the stand-in does not know"
    echo "buffer $buffer: update ok; $(grep '^card 0' "$work/standin.log")"
done

# ---------------------------------------------------------------------------
# Faults.  Each row: name, stand-in options, device settings, then a command
# run while the command goes on, its delay (counted from when the updater
# has the device open both ways, however slowly it started), the expected
# exit status, a text the output must hold, the most seconds from the fault
# to the end, and the command (default: update).
run_fault() {
    local name=$1 options=$2 settings=$3 action=$4 delay=$5 status=$6 text=$7 limit=$8 command=${9:-update}
    start_standin $options --device "$settings"
    "$cli" "$command" >"$work/fault.log" 2>&1 &
    local pid=$! waited=0
    until [ "$(ls -l /proc/$pid/fd 2>/dev/null | grep -c 'midiC0D0')" -ge 2 ] || ! kill -0 "$pid" 2>/dev/null ||
        [ "$waited" -ge 500 ]; do
        sleep 0.02
        waited=$((waited + 1))
    done
    sleep "$delay"
    local t0
    t0=$(now)
    eval "$action"
    wait "$pid"
    local got=$? took
    took=$(seconds "$t0" "$(now)")
    stop_standin
    echo "$name: exit $got, ended $took s after the fault"
    [ "$got" = "$status" ] || fail "$name: exit status $got, not $status"
    grep -q -- "$text" "$work/fault.log" || fail "$name: no \"$text\""
    below "$took" "$limit" || fail "$name: ended $took s after the fault (limit $limit s)"
}

disconnected="The device was disconnected"
for buffer in 4096 65536; do
    run_fault "unplug during the blocks ($buffer)" "--buffer $buffer" "link=131072" \
        'echo "unplug 0" >"$control"' 1.5 1 "$disconnected" 2
    run_fault "unplug during a stalled send ($buffer)" "--buffer $buffer" "link=131072" \
        'echo "stall 0 1" >"$control"; sleep 0.5; t0=$(now); echo "unplug 0" >"$control"' 1.5 1 "$disconnected" 2
    # Stalled from the start: whichever command is stuck (identify, erase or
    # a block), the send itself finds the card gone.
    run_fault "unplug during a stalled first command ($buffer)" "--buffer $buffer" "link=131072" \
        'echo "stall 0 1" >"$control"; sleep 0.5; t0=$(now); echo "unplug 0" >"$control"' 0 1 "$disconnected" 2
    run_fault "unplug during the version check ($buffer)" "--buffer $buffer" "link=131072,late=400" \
        'echo "unplug 0" >"$control"' 0.2 1 "$disconnected" 2 version
done

# Bytes the kernel's input lost to a full buffer: said on standard error,
# also when the update itself ends well.
start_standin --device "link=262144"
"$cli" update --no-version >"$work/overrun.log" 2>&1 &
pid=$!
sleep 1
echo "overrun 0 4701" >"$control"
wait "$pid" || fail "overrun: the update failed"
stop_standin
grep -q "input buffer overflowed; 4701 bytes sent by the device were lost" "$work/overrun.log" ||
    fail "overrun: not reported"

# The backend itself: a stalled send ends at once on a close or an unplug; a
# stale list position never opens another card.
start_standin --device "link=131072"
Q9_ALSA_STANDIN_CONTROL=$control "$build/tests/alsa_midi_test" --gtest_filter='-*SlowLink*' >"$work/backend.log" 2>&1 ||
    fail "alsa_midi_test"
grep -q "SKIPPED" "$work/backend.log" && fail "alsa_midi_test skipped inside the namespace"
stop_standin
# The same with a slow USB side: a card gone while its last bytes are under way.
start_standin --chunk 2048 --device "link=2048"
Q9_ALSA_STANDIN_CONTROL=$control Q9_ALSA_STANDIN_SLOW=1 "$build/tests/alsa_midi_test" --gtest_filter='*SlowLink*' \
    >"$work/backend.log" 2>&1 || fail "alsa_midi_test (slow link)"
grep -q "SKIPPED" "$work/backend.log" && fail "alsa_midi_test (slow link) skipped inside the namespace"
stop_standin

# A device held by another process (this shell, opening its output without
# truncating it): the open error, and a word of the other program.
start_standin
exec 3>>/dev/snd/midiC0D0 || fail "cannot hold the device for the held-device case"
"$cli" update >"$work/held.log" 2>&1
status=$?
exec 3>&-
[ "$status" = 1 ] || fail "a held device: exit status $status"
grep -q "Can't open MIDI Out device" "$work/held.log" || fail "a held device: no open error"
grep -q "in use by another program" "$work/held.log" || fail "a held device: no word of the other program"
# Unplugged, then back under another card number: found and updated again.
echo "unplug 0" >"$control"
echo "plug 3" >"$control"
sleep 0.2
"$cli" update --no-version >"$work/replug.log" 2>&1 || fail "update after a re-plug as card 3"
stop_standin

# Two cards of the same name: both listed, told apart, and two updaters side
# by side each take their own (the second preselects "ARKO Q9 (2)").
start_standin --cards 2 --device "flash=$work/flash%c,link=1048576"
"$cli" ports >"$work/ports.log" 2>&1 || fail "ports with two cards"
grep -q "0  ARKO Q9  (preselected)" "$work/ports.log" || fail "two cards: the first is not \"ARKO Q9\""
grep -q "1  ARKO Q9 (2)" "$work/ports.log" || fail "two cards: the second is not \"ARKO Q9 (2)\""
rm -f "$work"/flash*
"$cli" update --no-version >"$work/first.log" 2>&1 &
first=$!
sleep 0.3
"$cli" update --no-version >"$work/second.log" 2>&1 || fail "the second updater"
wait "$first" || fail "the first updater"
grep -q 'MIDI OUT 1 "ARKO Q9 (2)"' "$work/second.log" || fail "the second updater did not take \"ARKO Q9 (2)\""
stop_standin
cmp -s "$work/flash0" "$expected" && cmp -s "$work/flash1" "$expected" || fail "side by side: a flash differs"

echo "PASS"
