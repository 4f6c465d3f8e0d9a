#!/usr/bin/env bash
# Two dialogs side by side, each with its built-in ARKO Q9, as two windows
# for two devices would run: the second window's device is named as the
# second real device would be, so each preselects its own.  Return in each
# starts its update; each title shows the percentage while it runs and the
# plain title after it; then each device's flash reads back exact (a window
# that had preselected nothing would have written nothing).
#
#   bash tests/two_windows_test.sh BUILD_DIR
set -euo pipefail

build=${1:?usage: two_windows_test.sh BUILD_DIR}
exe=$build/app/qt/q9-updater
cli=$build/cli/q9-updater-cli
for program in "$exe" "$cli"; do
    [ -x "$program" ] || { echo "skipped: $program is not built"; exit 77; }
done
for tool in xvfb-run xdotool; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A private lock folder: the windows are numbers 1 and 2 whatever else runs.
export XDG_RUNTIME_DIR=$work Q9_EXE=$exe Q9_WORK=$work

xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -uo pipefail
    fail() { echo "two_windows_test: $*" >&2; exit 1; }
    title="ARKO Q9 System v1\\.20 Updater"
    titled() { xdotool search --name "$1" 2>/dev/null | head -1; }   # a window whose title matches
    wait_window() {
        local id=
        for _ in $(seq 600); do
            id=$(titled "^$1\$")
            [ -n "$id" ] && break
            sleep 0.1
        done
        [ -n "$id" ] || fail "no window titled \"$1\""
        echo "$id"
    }
    pids=()
    trap "kill \${pids[*]} 2>/dev/null || true; wait 2>/dev/null || true" EXIT
    "$Q9_EXE" --virtual-device="flash=$Q9_WORK/flash1,erase-ms=1,write-ms=5" >"$Q9_WORK/window1.log" 2>&1 &
    pids+=($!)
    first=$(wait_window "$title") || exit 1
    "$Q9_EXE" --virtual-device="flash=$Q9_WORK/flash2,erase-ms=1,write-ms=5" >"$Q9_WORK/window2.log" 2>&1 &
    pids+=($!)
    second=$(wait_window "$title \\(2\\)") || exit 1
    sleep 0.5   # both painted and ready for keys
    xdotool windowfocus --sync "$first" key Return
    xdotool windowfocus --sync "$second" key Return
    # While they run each title carries its percentage; afterwards the plain title again.
    for n in "" " \\(2\\)"; do
        seen=
        for _ in $(seq 600); do
            [ -n "$(titled "^[0-9]+% .* $title$n\$")" ] && { seen=1; break; }
            sleep 0.1
        done
        [ -n "$seen" ] || fail "window \"$title$n\": no percentage in the title during its update"
    done
    for n in "" " \\(2\\)"; do
        done_=
        for _ in $(seq 1200); do
            [ -n "$(titled "^$title$n\$")" ] && { done_=1; break; }
            sleep 0.1
        done
        [ -n "$done_" ] || fail "window \"$title$n\": the update did not end"
    done
    # Nothing runs any more: Escape closes each window at once, and its device keeps the flash.
    xdotool windowfocus --sync "$first" key Escape
    xdotool windowfocus --sync "$second" key Escape
    for pid in "${pids[@]}"; do wait "$pid" || fail "a window ended with status $?"; done
    pids=()
' || { cat "$work"/window*.log >&2 2>/dev/null; exit 1; }

for n in 1 2; do
    "$cli" --virtual-device="flash=$work/flash$n" verify >"$work/verify$n.log" 2>&1 \
        || { cat "$work/verify$n.log" >&2; echo "two_windows_test: device $n does not hold the update" >&2; exit 1; }
done
echo "two windows, each with its own device: both updated exactly"
