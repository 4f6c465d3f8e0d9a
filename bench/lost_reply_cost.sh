#!/usr/bin/env bash
# The cost of one lost reply: a whole update of the built-in virtual device
# at an unlimited link, clean and with every Nth reply lost, timed from the
# MIDI trace (first to last message).  The lost replies are counted from the
# trace as the device counts them (every Nth device-format command).
#
#   bash bench/lost_reply_cost.sh build [OTHER_CLI ...]
#
# Each OTHER_CLI (for example a q9-updater-cli built from an earlier commit)
# is measured the same way, so that the figures before and after a change
# stand side by side.
set -euo pipefail

build=${1:-build}
shift || true
every=${LOST_EVERY:-100}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Seconds from the first to the last message of a trace.
span() { awk 'NR == 1 { first = $2 } { last = $2 } END { printf "%.3f", last - first }' "$1"; }
# Device-format commands (F0 52 ...) the host sent.
commands() { grep -c '^> [0-9.]* F0 52 ' "$1" || true; }

measure() {
    local cli=$1 name=$2
    "$cli" --virtual-device=flash=erased --trace "$work/clean.trace" update --no-version >/dev/null 2>&1
    "$cli" --virtual-device=flash=erased,drop=$every --trace "$work/lossy.trace" update --no-version >/dev/null 2>&1 ||
        echo "$name: the update with drop=$every failed" >&2
    local clean lossy lost
    clean=$(span "$work/clean.trace")
    lossy=$(span "$work/lossy.trace")
    lost=$(($(commands "$work/lossy.trace") / every))
    awk -v n="$name" -v c="$clean" -v l="$lossy" -v k="$lost" -v e="$every" 'BEGIN {
        printf "%-40s clean %7.3f s   drop=%d %8.3f s   %3d lost   %.3f s per lost reply\n", n, c, e, l, k, k ? (l - c) / k : 0
    }'
}

measure "$build/cli/q9-updater-cli" "$build/cli/q9-updater-cli"
for other in "$@"; do measure "$other" "$other"; done
