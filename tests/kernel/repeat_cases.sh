#!/usr/bin/env bash
# Repeats the kernel cases that have failed now and then, to find or rule
# out a rare failure (inside the guest that boot.sh starts):
#
#   boot.sh BUILD_DIR tests/kernel/repeat_cases.sh BUILD_DIR [VERIFY_RUNS] [UNPLUG_RUNS] [BUSY] [ALL_RUNS]
#
# BUSY: that many busy loops run meanwhile, as on a loaded machine.
# ALL_RUNS: that many `update --all` runs on four gadgets (all_case.sh).
# Each verify run starts both devices afresh and verifies both side by
# side; each unplug run unplugs "ARKO Q9" during the blocks and plugs it in
# again (it must end within 5 s, and no close may wait the kernel's drain).
# A CLI still running after 15 s (2 s after an unplug) gets the kernel's
# raw MIDI state (/proc/asound/card*/midi0) and its threads' calls and
# kernel stacks written to $OUT/stuck-*.log.  Prints one line per run and
# the counts at the end.
set -u
build=$(cd "${1:?usage: repeat_cases.sh BUILD_DIR [VERIFY_RUNS] [UNPLUG_RUNS] [BUSY] [ALL_RUNS]}" && pwd)
verify_runs=${2:-10}
unplug_runs=${3:-5}
busy=${4:-0}
all_runs=${5:-0}
cli=$build/cli/q9-updater-cli
vdev=$build/q9-virtual-device
here=$(cd "$(dirname "$0")" && pwd)
. "$here/gadget.sh"
. "$here/devices.sh"
. "$here/all_case.sh"
work=/root/q9
mkdir -p "$work"

# watch PID NAME [SECONDS]: the kernel's state into $OUT/stuck-NAME.log if
# PID still runs after SECONDS (15).
watch() {
  (
    sleep "${3:-15}"
    kill -0 "$1" 2>/dev/null || exit 0
    {
      date
      for f in /proc/asound/card*/midi0; do echo "$f:"; cat "$f"; done
      for t in /proc/"$1"/task/*; do echo "$t: $(cat "$t/comm") $(cat "$t/syscall")"; cat "$t/stack" 2>/dev/null; done
      dmesg | tail -n 30
    } >"$OUT/stuck-$2.log" 2>&1
  ) &
}

load_modules 4 || { echo "cannot load the USB MIDI modules"; exit 1; }
gadget_add q9a 1 && gadget_add q9b 2 && wait_cards 2 || { echo "no ARKO Q9 gadgets"; exit 1; }

for _ in $(seq "$busy"); do (while :; do :; done) & done
verify_failed=0
for run in $(seq "$verify_runs"); do
  failed=0
  start_device q9a "verify$run" "flash=current"
  start_device q9b "verify$run" "flash=current"
  "$cli" --in "ARKO Q9" --out "ARKO Q9" verify >"$OUT/verify$run-a.log" 2>&1 &
  first=$!
  watch "$first" "verify$run-a"
  "$cli" --in "ARKO Q9 (2)" --out "ARKO Q9 (2)" verify >"$OUT/verify$run-b.log" 2>&1 &
  second=$!
  watch "$second" "verify$run-b"
  wait "$second" || fail "verify $run on \"ARKO Q9 (2)\": $(cat "$OUT/verify$run-b.log")"
  wait "$first" || fail "verify $run on \"ARKO Q9\": $(cat "$OUT/verify$run-a.log")"
  stop_device q9a
  stop_device q9b
  echo "verify run $run: $([ "$failed" = 0 ] && echo ok || echo FAILED)"
  verify_failed=$((verify_failed + failed))
done

unplug_failed=0
for run in $(seq "$unplug_runs"); do
  failed=0
  start_device q9a "unplug$run" "flash=$work/a.flash"
  "$cli" --in "ARKO Q9" --out "ARKO Q9" update >"$OUT/unplug$run.log" 2>&1 &
  pid=$!
  await_log q9a write-block 50 "$pid" || fail "unplug $run: the update or the device ended before 50 blocks"
  dmesg -c >/dev/null
  t0=$(now)
  watch "$pid" "unplug$run" 2
  gadget_unplug q9a
  wait "$pid"
  status=$?
  took=$(seconds "$t0" "$(now)")
  [ "$status" = 1 ] || fail "unplug $run: exit status $status"
  grep -q "The device was disconnected" "$OUT/unplug$run.log" || fail "unplug $run: no disconnect message"
  dmesg | grep -q "rawmidi drain error" && fail "unplug $run: a close waited the kernel's drain"
  below "$took" 5 || fail "unplug $run: ended $took s after the unplug"
  gadget_plug q9a && wait_cards 2 || fail "re-plug $run: no card"
  stop_device q9a any
  echo "unplug run $run: exit $status, $took s after the unplug: $([ "$failed" = 0 ] && echo ok || echo FAILED)"
  unplug_failed=$((unplug_failed + failed))
done
all_failed=0
if [ "$all_runs" -gt 0 ]; then
  "$vdev" --write-expected "$work/expected.bin" || exit 1
  gadget_add q9c 3 && gadget_add q9d 4 && wait_cards 4 || { echo "no four ARKO Q9 gadgets"; exit 1; }
fi
for run in $(seq "$all_runs"); do
  failed=0
  all_case "all$run"
  echo "update --all run $run: $([ "$failed" = 0 ] && echo ok || echo FAILED)"
  all_failed=$((all_failed + failed))
done
dmesg | grep -i "rawmidi\|midi" | tail -n 20
echo "verify: $verify_failed of $verify_runs runs failed; unplug: $unplug_failed of $unplug_runs runs failed;" \
  "update --all: $all_failed of $all_runs runs failed"
[ "$verify_failed" = 0 ] && [ "$unplug_failed" = 0 ] && [ "$all_failed" = 0 ]
