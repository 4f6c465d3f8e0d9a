#!/usr/bin/env bash
# How quickly replies are handled, and what waiting costs, measured on the
# built programs (figures for a person to read, not a test):
#
#  1. host time per write block at an unlimited link, from the MIDI trace of
#     `q9-updater-cli --virtual-device=flash=erased,link=0 update`: from one
#     write-block command to the next, split into the device's reply time
#     and the host's time from that reply to the next block;
#  2. the update benchmark at a modelled 128 KiB/s link (update_bench), when built;
#  3. CPU of idle programs over IDLE_SECONDS (20 s): the dialog with no worker,
#     offscreen and under Xvfb, and `q9-updater-cli version` waiting for a
#     reply that comes 5 s late; from /proc/PID/stat (clock ticks) and from
#     the sum of /proc/PID/task/*/schedstat (nanoseconds);
#  4. a full update through a JACK server of its own (`jackd --sync -d dummy
#     -p 64`) and the virtual device as its own JACK program, when jackd is there.
#
# Usage: bench/reply_timing.sh BUILD_DIR [PART...]   (parts: trace bench idle jack; default all)
set -u

build=${1:?usage: reply_timing.sh BUILD_DIR [trace bench idle jack]}
shift
parts=${*:-trace bench idle jack}
idle_seconds=${IDLE_SECONDS:-20}
cli=$build/cli/q9-updater-cli
dialog=$build/app/qt/q9-updater
device=$build/q9-virtual-device

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR="$work/run"   # instance numbers of our own
mkdir -m 700 "$XDG_RUNTIME_DIR"
wants() { [[ " $parts " == *" $1 "* ]]; }

# Per write-block step from a MIDI trace ($1), labelled $2.
# Lines: "> 0.001234 F0 52 00 mm 02 ..." (write block) and "< 0.001400 F0 52 00 mm 00 ss F7".
block_steps() {
    awk -v label="$2" '
        function median(a, n,   i, j, t) {
            for (i = 2; i <= n; ++i) { t = a[i]; for (j = i - 1; j > 0 && a[j] > t; --j) a[j + 1] = a[j]; a[j + 1] = t }
            return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
        }
        $1 == ">" && $7 == "02" {
            if (replied != "") { ++n; step[n] = ($2 - sent) * 1000; reply[n] = (replied - sent) * 1000; host[n] = ($2 - replied) * 1000 }
            sent = $2; replied = ""; next
        }
        $1 == "<" && sent != "" && replied == "" && $7 == "00" { replied = $2; next }
        $1 == ">" { sent = ""; replied = "" }
        END {
            if (n == 0) { print label ": no write blocks found"; exit 1 }
            for (i = 1; i <= n; ++i) { s += step[i]; r += reply[i]; h += host[i] }
            printf "%s: %d write-block steps\n", label, n
            printf "  block to next block: mean %.3f ms, median %.3f ms\n", s / n, median(step, n)
            printf "  block to its reply:  mean %.3f ms, median %.3f ms\n", r / n, median(reply, n)
            printf "  reply to next block: mean %.3f ms, median %.3f ms\n", h / n, median(host, n)
        }' "$1"
}

# ---------------------------------------------------------------------------
# 1. The trace.
if wants trace; then
    "$cli" --trace "$work/trace.txt" --virtual-device=flash=erased,link=0 update --no-version >/dev/null \
        || { echo "trace: the update failed"; exit 1; }
    block_steps "$work/trace.txt" "trace (unlimited link)"
fi

# ---------------------------------------------------------------------------
# 2. The update benchmark at 128 KiB/s.
if wants bench && [ -x "$build/bench/update_bench" ]; then
    "$build/bench/update_bench" --benchmark_filter='FullUpdate' 2>/dev/null \
        | grep -E '^BM_FullUpdate' | sed 's/^/bench: /'
fi

# ---------------------------------------------------------------------------
# 3. Idle CPU.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null; }
nanos() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f", s }'; }
# Measures process $2 over idle_seconds after a settling second; prints "$1: ...".
measure() {
    local name=$1 pid=$2 t0 n0 t1 n1 hz
    hz=$(getconf CLK_TCK)
    sleep 1
    kill -0 "$pid" 2>/dev/null || { echo "$name: ended early"; return; }
    t0=$(ticks "$pid"); n0=$(nanos "$pid")
    sleep "$idle_seconds"
    kill -0 "$pid" 2>/dev/null || { echo "$name: ended early"; return; }
    t1=$(ticks "$pid"); n1=$(nanos "$pid")
    awk -v name="$name" -v dt=$((t1 - t0)) -v dn=$((n1 - n0)) -v hz="$hz" -v s="$idle_seconds" 'BEGIN {
        printf "%s: %.3f%% of one core (%d ticks in %d s; schedstat %.1f ms, %.3f%%)\n",
               name, 100 * dt / hz / s, dt, s, dn / 1e6, 100 * dn / 1e9 / s }'
}
if wants idle; then
    if [ -x "$dialog" ]; then
        QT_QPA_PLATFORM=offscreen "$dialog" --virtual-device >/dev/null 2>&1 &
        pid=$!; pids+=("$pid")
        measure "idle: dialog, offscreen, --virtual-device" "$pid"
        kill -TERM "$pid"; wait "$pid" 2>/dev/null

        if command -v Xvfb >/dev/null; then
            display=":$((100 + RANDOM % 400))"
            Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
            xvfb=$!; pids+=("$xvfb")
            sleep 1
            DISPLAY=$display QT_QPA_PLATFORM=xcb "$dialog" --virtual-device >/dev/null 2>&1 &
            pid=$!; pids+=("$pid")
            measure "idle: dialog, Xvfb, --virtual-device" "$pid"
            kill -TERM "$pid"; wait "$pid" 2>/dev/null
            kill -TERM "$xvfb"; wait "$xvfb" 2>/dev/null
        fi
    fi
    "$cli" version --virtual-device=late=5000 >/dev/null 2>&1 &
    pid=$!; pids+=("$pid")
    measure "idle: q9-updater-cli version, replies 5 s late" "$pid"
    kill -TERM "$pid"; wait "$pid" 2>/dev/null
fi

# ---------------------------------------------------------------------------
# 4. Through JACK.
if wants jack; then
    if ! command -v jackd >/dev/null || [ ! -x "$device" ]; then
        echo "jack: skipped (no jackd or no $device)"
        exit 0
    fi
    export JACK_DEFAULT_SERVER="q9-timing-$$"
    jackd --no-realtime --sync -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 64 -C 0 -P 0 >"$work/jackd.log" 2>&1 &
    pids+=("$!")
    device_pid=""
    for _ in $(seq 100); do
        "$device" "flash=$work/flash.bin" >/dev/null 2>&1 &
        device_pid=$!
        sleep 0.2
        kill -0 "$device_pid" 2>/dev/null && break
        device_pid=""
    done
    [ -n "$device_pid" ] || { echo "jack: the virtual device did not join the server"; exit 1; }
    pids+=("$device_pid")
    for _ in $(seq 50); do
        "$cli" ports 2>/dev/null | grep -q "ARKO Q9" && break
        sleep 0.1
    done
    for run in 1 2 3; do
        start=$(date +%s.%N)
        if "$cli" update --no-version >/dev/null 2>"$work/jack-update.log"; then
            awk -v a="$start" -v b="$(date +%s.%N)" -v r="$run" 'BEGIN { printf "jack: full update %d: %.2f s\n", r, b - a }'
        else
            echo "jack: update $run failed: $(tail -n 1 "$work/jack-update.log")"
        fi
    done
    "$cli" --trace "$work/jack-trace.txt" update --no-version >/dev/null 2>&1 \
        && block_steps "$work/jack-trace.txt" "jack (traced run)"
fi
