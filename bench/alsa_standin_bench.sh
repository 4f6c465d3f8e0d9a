#!/usr/bin/env bash
# A full update through the ALSA raw MIDI backend and the real alsa-lib,
# against the stand-in for the kernel's sound devices (tests/alsa_standin) at
# a modelled 128 KiB/s link with flash times, as a share of the time the
# link and the flash need: every byte crosses the link once, one message
# after another, plus the device's flash time and the 0.5 s pause after
# begin-update.  Needs root and FUSE; says so and ends otherwise.
#
# Usage: alsa_standin_bench.sh BUILD_DIR [BUFFER_BYTES...]   (default: 4096 65536)
set -u
build=${1:?usage: alsa_standin_bench.sh BUILD_DIR [BUFFER_BYTES...]}
cli=$build/cli/q9-updater-cli
drain_limit_ms=10000
. "$(dirname "$0")/../tests/alsa_standin/standin_env.sh"
shift
buffers=("$@")
[ ${#buffers[@]} -gt 0 ] || buffers=(4096 65536)

rate=131072
for buffer in "${buffers[@]}"; do
    start_standin --buffer "$buffer" --device "link=$rate,erase-ms=2,write-ms=1"
    t0=$(now)
    "$cli" update --no-version >"$work/update.log" 2>&1 || fail "the update ($buffer)"
    took=$(seconds "$t0" "$(now)")
    stop_standin
    summary=$(grep '^card 0' "$work/standin.log")
    out=$(echo "$summary" | sed -n 's/.* \([0-9]*\) bytes out.*/\1/p')
    in=$(echo "$summary" | sed -n 's/.* \([0-9]*\) bytes in.*/\1/p')
    flash=$(echo "$summary" | sed -n 's/.* \([0-9]*\) ms flash.*/\1/p')
    awk -v out="$out" -v in_="$in" -v flash="$flash" -v took="$took" -v rate="$rate" -v buffer="$buffer" 'BEGIN {
        needed = (out + in_) / rate + flash / 1000 + 0.5
        printf "ALSA stand-in, %d-byte kernel buffer: update %.2f s, link+flash %.2f s, share %.1f%%\n",
               buffer, took, needed, 100 * needed / took }'
    echo "  $summary"
done
