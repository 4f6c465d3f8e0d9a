#!/usr/bin/env bash
# A whole update through JACK: a jackd of this test's own (dummy driver), the
# virtual ARKO Q9 as its own program with a flash file, and the command-line
# updater with no built-in device, which has to find "ARKO Q9" among the JACK
# ports by name.  Then the version check, the saved flash against what the
# plan writes, the device's program ended during an update, and the time of
# the same update with the built-in device.
# With `server-stops`, instead: updates while the JACK server is stopped for
# a while, and for good (a test of its own, jack_server_stop_test, which
# `make check` leaves out for its length).
#
# Usage: jack_e2e_test.sh BUILD_DIR [server-stops]     (exit 77: skipped)
set -u

build=${1:?usage: jack_e2e_test.sh BUILD_DIR [server-stops]}
part=${2:-updates}
cli=$build/cli/q9-updater-cli
device=$build/q9-virtual-device

skip() { echo "SKIP: $*"; exit 77; }
fail() {
    echo "FAIL: $*" >&2
    for log in "$work"/*.log; do
        [ -s "$log" ] && { echo "--- $(basename "$log")" >&2; tail -n 20 "$log" >&2; }
    done
    exit 1
}

jackd=$(command -v jackd) || skip "jackd is not installed"
[ -x "$cli" ] || skip "$cli is not built"
[ -x "$device" ] || skip "$device is not built (it needs libjack)"

work=$(mktemp -d)
jackd_pid=""
device_pid=""

stop_pid() {   # stops one process of ours by its pid; its exit status
    local pid=$1
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}
cleanup() {
    [ -n "$device_pid" ] && stop_pid "$device_pid"
    [ -n "$jackd_pid" ] && stop_pid "$jackd_pid"
    rm -rf "$work"
}
trap cleanup EXIT

# A server name and an instance-lock folder of our own, so that nothing else
# running on the machine (another test, another updater) takes part.
export JACK_DEFAULT_SERVER="q9-e2e-$$"
export XDG_RUNTIME_DIR="$work/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# Before the server runs: a clear refusal, and a bad setting named.
"$device" >/dev/null 2>"$work/no-server.log"
[ $? = 1 ] || fail "q9-virtual-device without a server did not fail with status 1"
grep -q "no JACK server is running" "$work/no-server.log" || fail "no reason given without a server"
"$device" "link=fast" >/dev/null 2>"$work/bad-setting.log"
[ $? = 2 ] || fail "a bad setting did not give status 2"
grep -q "link" "$work/bad-setting.log" || fail "the bad setting is not named"

# Synchronous mode: when it misses a cycle, an asynchronous server hands on a
# late client's previous MIDI events again and loses others, and a status
# reply carries nothing that would tell a repeated one.
"$jackd" --no-realtime --sync -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 128 -C 0 -P 0 >"$work/jackd.log" 2>&1 &
jackd_pid=$!

flash="$work/flash.bin"
expected="$work/expected.bin"
"$device" "flash=$flash" --write-expected "$expected" || fail "q9-virtual-device --write-expected"
[ "$(stat -c %s "$expected")" = 4194304 ] || fail "the expected flash is not 4 MiB"

# Starts the device; it joins once the server is up.
start_device() {
    device_pid=""
    for _ in $(seq 100); do
        "$device" "flash=$flash" "$@" >"$work/device.log" 2>"$work/device-errors.log" &
        device_pid=$!
        sleep 0.2
        kill -0 "$device_pid" 2>/dev/null && return 0
        wait "$device_pid" 2>/dev/null
        device_pid=""
        kill -0 "$jackd_pid" 2>/dev/null || fail "jackd ended"
    done
    fail "q9-virtual-device did not join the JACK server"
}

ports=""
wait_ports() {   # until the device's ports are listed
    for _ in $(seq 50); do
        ports=$(timeout 60 "$cli" ports 2>&1)
        grep -q "ARKO Q9" <<<"$ports" && return 0
        sleep 0.1
    done
    return 1
}

updates() {
start_device --verbose
wait_ports
[ "$(grep -c "ARKO Q9  (preselected)" <<<"$ports")" = 2 ] || fail "ARKO Q9 not preselected in both lists: $ports"

start=$(now)
timeout 300 "$cli" update >"$work/update.log" 2>&1 || fail "update through JACK failed"
jack_time=$(seconds "$start" "$(now)")
grep -q "^Version update completed.$" "$work/update.log" || fail "no completion in the update's output"

timeout 120 "$cli" version >"$work/version.log" 2>&1 || fail "version check through JACK failed"
grep -q "^Version Information$" "$work/version.log" || fail "no version report"
grep -q " write-block " "$work/device.log" || fail "the device logged no write block"

stop_pid "$device_pid"
device_status=$?
device_pid=""
[ "$device_status" = 0 ] || fail "q9-virtual-device ended with status $device_status"
[ -s "$work/device-errors.log" ] && fail "q9-virtual-device printed errors"
cmp -s "$flash" "$expected" || fail "the saved flash differs from what the plan writes"

# The same device state read through the built-in device gives the same report.
timeout 120 "$cli" version --virtual-device="flash=$flash" >"$work/version-builtin.log" 2>&1 \
    || fail "version check with the built-in device failed"
diff -q "$work/version.log" "$work/version-builtin.log" >/dev/null \
    || fail "version report through JACK differs from the built-in device's"

# SIGINT ends the device as cleanly as SIGTERM, its flash kept.
start_device
kill -INT "$device_pid"
wait "$device_pid"
device_status=$?
device_pid=""
[ "$device_status" = 0 ] || fail "q9-virtual-device ended with status $device_status on SIGINT"
cmp -s "$flash" "$expected" || fail "the flash changed over a start and a SIGINT"

start=$(now)
timeout 300 "$cli" update --virtual-device= >"$work/update-builtin.log" 2>&1 || fail "update with the built-in device failed"
builtin_time=$(seconds "$start" "$(now)")

# The device's program ends in the middle of an update (in row 7, its
# largest write but one): its ports go, and the update ends with the
# disconnect message (not a time-out's) and its next step.
start_device --verbose
wait_ports || fail "the device's ports are not listed"
timeout 300 "$cli" update >"$work/update-unplugged.log" 2>&1 &
update_pid=$!
for _ in $(seq 600); do
    grep -q "^ 6/12 " "$work/update-unplugged.log" && break
    sleep 0.1
done
stop_pid "$device_pid"
device_pid=""
gone=$(now)
wait "$update_pid" && fail "the update went on without its device"
unplugged_time=$(seconds "$gone" "$(now)")
grep -q "The device was disconnected." "$work/update-unplugged.log" \
    || fail "no disconnect message when the device's program ended"
grep -q "Check the USB cable" "$work/update-unplugged.log" || fail "no next step after the disconnect"

echo "full update through JACK (dummy driver, 128 frames at 48 kHz): ${jack_time} s"
echo "same update with --virtual-device (unlimited link):           ${builtin_time} s"
echo "device's program ended in row 7: the update ended ${unplugged_time} s later"
}

# The JACK server stopped (SIGSTOP) for a while, four times during an
# update: sends stop finishing, and the update waits for the server, then
# goes on and ends exact.  Stopped for longer than the updater waits for a
# stalled MIDI system, the update ends with the message that says so.
stop_server_during_update() {   # seconds stopped, times, first stop after (s)
    local held=$1 times=$2 after=$3
    sleep "$after"
    for _ in $(seq "$times"); do
        kill -0 "$update_pid" 2>/dev/null || return 0
        kill -STOP "$jackd_pid"
        sleep "$held"
        kill -CONT "$jackd_pid"
        sleep 1.5
    done
}
server_stops() {
start_device
wait_ports || fail "the device's ports are not listed"
for held in 3.5 8; do
    timeout 600 "$cli" update >"$work/update-stopped-$held.log" 2>&1 &
    update_pid=$!
    stop_server_during_update "$held" 4 1
    wait "$update_pid" || fail "update with the server stopped for $held s, four times, failed"
    grep -q "^Version update completed.$" "$work/update-stopped-$held.log" \
        || fail "no completion with the server stopped for $held s"
done
stop_pid "$device_pid"
device_pid=""
cmp -s "$flash" "$expected" || fail "the flash after the updates with the server stopped differs from what the plan writes"
start_device
wait_ports || fail "the device's ports are not listed"
timeout 300 "$cli" update >"$work/update-stopped-long.log" 2>&1 &
update_pid=$!
sleep 1
stopped=$(now)
kill -STOP "$jackd_pid"
wait "$update_pid"
status=$?
stall_ended=$(seconds "$stopped" "$(now)")
kill -CONT "$jackd_pid"
[ "$status" = 1 ] || fail "update with the server stopped for good ended with status $status"
grep -q "The MIDI system stopped passing messages to the device for 30 s" "$work/update-stopped-long.log" \
    || fail "no stall message with the server stopped for good"
grep -q "The device needs the update run again." "$work/update-stopped-long.log" \
    || fail "no note on the device's state after the stall"
awk -v s="$stall_ended" 'BEGIN { exit !(s < 45) }' || fail "the stalled update ended $stall_ended s after the stop"
stop_pid "$device_pid"
device_pid=""
echo "server stopped for good: the update ended ${stall_ended} s after the stop"
}

case $part in
    updates) updates ;;
    server-stops) server_stops ;;
    *) echo "jack_e2e_test.sh: unknown part '$part'" >&2; exit 2 ;;
esac
echo "PASS"
