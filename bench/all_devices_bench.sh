#!/usr/bin/env bash
# `update --all` side by side (figures for a person to read, not a test):
# one and then DEVICES (4) virtual ARKO Q9s at a modelled 128 KiB/s link
# (SETTINGS), each device's update whole (no version check), timed from the
# outside; the ratio of the two times, and the CPU the whole process used
# (its waiting workers, the display and the modelled devices, which run in
# the same process) as a share of one core; then, over the middle of a
# second run of DEVICES (from 5 s to 25 s, clock ticks from
# /proc/PID/task/*/stat), the updater's own threads (main, per-device
# threads, workers, reply timers) apart from the modelled devices' threads
# (the first DEVICES threads after the main one: they start before anything
# else).
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
ticks() {   # ticks of the updater's threads and of the modelled devices' threads
    local pid=$1 updater=0 model=0 n=0 tid t
    for tid in $(ls "/proc/$pid/task" | sort -n); do
        t=$(awk '{ print $14 + $15 }' "/proc/$pid/task/$tid/stat" 2>/dev/null) || continue
        if ((tid != pid && n < devices)); then
            model=$((model + t))
            n=$((n + 1))
        else
            updater=$((updater + t))
        fi
    done
    echo "$updater $model"
}
"$cli" --virtual-devices="$devices" --virtual-device="$settings" update --all --no-version >"$work/out.split" 2>&1 &
pid=$!
sleep 5
read -r u0 m0 < <(ticks "$pid")
sleep 20
read -r u1 m1 < <(ticks "$pid")
wait "$pid"
hz=$(getconf CLK_TCK)

awk -v w1="$wall1" -v u1="$user1" -v s1="$sys1" -v wn="$wallN" -v un="$userN" -v sn="$sysN" -v n="$devices" \
    -v settings="$settings" 'BEGIN {
    printf "update --all at %s, no version check\n", settings
    printf "  1 device : %6.2f s wall, CPU %.2f s (%.2f%% of a core)\n", w1, u1 + s1, 100 * (u1 + s1) / w1
    printf "  %d devices: %6.2f s wall, CPU %.2f s (%.2f%% of a core)\n", n, wn, un + sn, 100 * (un + sn) / wn
    printf "  %d devices take %.3f times as long as one\n", n, wn / w1
}'
awk -v u="$((u1 - u0))" -v m="$((m1 - m0))" -v hz="$hz" -v n="$devices" 'BEGIN {
    printf "  from 5 s to 25 s of %d devices: the updater %.2f%% of a core, the %d modelled devices %.2f%%\n",
        n, 100 * u / hz / 20, n, 100 * m / hz / 20
}'
