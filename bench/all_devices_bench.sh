#!/usr/bin/env bash
# `update --all` side by side (figures for a person to read, not a test):
# one and then DEVICES (4) virtual ARKO Q9s at a modelled 128 KiB/s link
# (SETTINGS), each device's update whole (no version check), timed from the
# outside; the ratio of the two times, and the CPU the whole process used
# (its waiting workers, the display and the modelled devices, which run in
# the same process) as a share of one core; then, over the middle of
# second runs of one and of DEVICES (from 5 s to 25 s, the time each thread ran from
# /proc/PID/task/*/schedstat, else clock ticks from .../stat), the
# updater's own threads (main, per-device threads, workers, the reply
# timer "q9-timer") apart from the modelled devices' threads ("q9-virtual").
# With --all every thread of the process, the modelled devices' too, runs
# on one CPU (see docs/design.md).
#
# Usage: bench/all_devices_bench.sh BUILD_DIR
set -u

build=${1:?usage: all_devices_bench.sh BUILD_DIR}
devices=${DEVICES:-4}
settings=${SETTINGS:-link=131072}
cli=$build/cli/q9-updater-cli

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_RUNTIME_DIR="$work"   # instance numbers of our own

run() {   # run N: prints "wall user system" in seconds
    local TIMEFORMAT='%R %U %S'
    { time "$cli" --virtual-devices="$1" --virtual-device="$settings" update --all --no-version \
        >"$work/out.$1" 2>&1; } 2>"$work/time.$1"
    local status=$?
    if ((status != 0)); then
        echo "update --all of $1 device(s) failed ($status):" >&2
        cat "$work/out.$1" >&2
        exit 1
    fi
    cat "$work/time.$1"
}

read -r wall1 user1 sys1 < <(run 1)
read -r wallN userN sysN < <(run "$devices")
# Nanoseconds each kind of thread ran: "updater timer model".
ran() {
    local pid=$1 updater=0 timer=0 model=0 t ns name
    for t in /proc/"$pid"/task/*; do
        if [ -r "$t/schedstat" ]; then
            ns=$(awk '{ print $1 }' "$t/schedstat" 2>/dev/null) || continue
        else
            ns=$(awk -v hz="$(getconf CLK_TCK)" '{ printf "%.0f", ($14 + $15) * 1e9 / hz }' "$t/stat" 2>/dev/null) || continue
        fi
        name=$(cat "$t/comm" 2>/dev/null)
        case $name in
            q9-virtual) model=$((model + ns)) ;;
            q9-timer) timer=$((timer + ns)) ;;
            *) updater=$((updater + ns)) ;;
        esac
    done
    echo "$updater $timer $model"
}
split() {   # split N: over 5 s to 25 s of a run of N, "updater timer model" nanoseconds
    "$cli" --virtual-devices="$1" --virtual-device="$settings" update --all --no-version >"$work/out.split" 2>&1 &
    local pid=$! u0 t0 m0 u1 t1 m1
    sleep 5
    read -r u0 t0 m0 < <(ran "$pid")
    sleep 20
    read -r u1 t1 m1 < <(ran "$pid")
    wait "$pid"
    echo "$((u1 - u0)) $((t1 - t0)) $((m1 - m0))"
}
read -r uA tA mA < <(split 1)
read -r uN tN mN < <(split "$devices")

awk -v w1="$wall1" -v u1="$user1" -v s1="$sys1" -v wn="$wallN" -v un="$userN" -v sn="$sysN" -v n="$devices" \
    -v settings="$settings" 'BEGIN {
    printf "update --all at %s, no version check\n", settings
    printf "  1 device : %6.2f s wall, CPU %.2f s (%.2f%% of a core)\n", w1, u1 + s1, 100 * (u1 + s1) / w1
    printf "  %d devices: %6.2f s wall, CPU %.2f s (%.2f%% of a core)\n", n, wn, un + sn, 100 * (un + sn) / wn
    printf "  %d devices take %.3f times as long as one\n", n, wn / w1
}'
share() {   # share N UPDATER TIMER MODEL
    awk -v n="$1" -v u="$2" -v t="$3" -v m="$4" 'BEGIN {
        printf "  from 5 s to 25 s of %d device(s): the updater %.2f%% of a core (its reply timer %.2f%%), the modelled devices %.2f%%\n",
            n, 100 * (u + t) / 2e10, 100 * t / 2e10, 100 * m / 2e10
    }'
}
share 1 "$uA" "$tA" "$mA"
share "$devices" "$uN" "$tN" "$mN"
