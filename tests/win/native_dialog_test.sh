#!/usr/bin/env bash
# The native dialog (q9-updater.exe) under Wine on a virtual X server.  The
# program's --selftest clicks its own buttons and system menu through the
# window messages a user's clicks produce and checks what the window shows
# (a whole update against the virtual ARKO Q9, Rescan Device, the version
# check).  This script checks the title as the X server sees it, opens the
# about box from the system menu and closes it with the mouse, then closes
# the dialog with a click on "Exit", as a user would; the program says
# where each of these is on the screen and checks what each click did.
#
#   bash tests/win/native_dialog_test.sh BUILD_DIR [SCREENSHOT.png]
# With a second argument the dialog is photographed before it is closed.
set -euo pipefail

build=${1:?usage: native_dialog_test.sh BUILD_DIR [SCREENSHOT.png]}
shot=${2:-}
exe=$build/app/win32/q9-updater.exe
if [ ! -f "$exe" ]; then
    echo "skipped: $exe is not built"
    exit 77
fi
for tool in wine xvfb-run xdotool; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
if [ -n "$shot" ]; then
    command -v import >/dev/null || { echo "native_dialog_test: import (imagemagick) is missing" >&2; exit 1; }
    case $shot in /*) ;; *) shot=$PWD/$shot ;; esac
fi
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winealsa.drv=d}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export Q9_EXE=$exe Q9_LOG=$work/log Q9_SHOT=$shot

status=0
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -uo pipefail
    fail() { echo "native_dialog_test: $*" >&2; tr -d "\r" <"$Q9_LOG" >&2; exit 1; }
    # A Wine desktop of its own: there is no window manager, so Wine draws
    # the frame, the title bar and its system menu button itself, as Windows does.
    wine explorer /desktop=q9test,480x360 "$Q9_EXE" --virtual-device \
        --selftest >"$Q9_LOG" 2>&1 &
    pid=$!
    trap "kill $pid 2>/dev/null || true" EXIT
    log() { tr -d "\r" <"$Q9_LOG"; }

    title="ARKO Q9 System v1.20 Updater"
    id=
    for _ in $(seq 600); do
        id=$(xdotool search --name "^${title//./\\.}\$" 2>/dev/null | head -1 || true)
        [ -n "$id" ] && break
        kill -0 $pid 2>/dev/null || fail "the program ended before its window appeared"
        sleep 0.1
    done
    [ -n "$id" ] || fail "no window titled \"$title\""
    echo "window $id: \"$(xdotool getwindowname "$id")\""

    # Waits for the self-test to print where WHAT is, then clicks there.
    click() {
        local xy=
        for _ in $(seq 1200); do
            xy=$(log | sed -n "s/^selftest: $1 at \([0-9]*\),\([0-9]*\)$/\1 \2/p" | tail -1)
            [ -n "$xy" ] && break
            log | grep -q "waiting for close" && [ "$1" != Exit ] && return 1
            kill -0 $pid 2>/dev/null || fail "the program ended before it showed $1"
            sleep 0.1
        done
        [ -n "$xy" ] || fail "the self-test did not show $1"
        xdotool mousemove $xy click 1
    }
    # The about box through the system menu, as a user opens and closes it.
    click "System menu" && click "About item" && click "About OK"

    for _ in $(seq 1200); do
        log | grep -q "waiting for close" && break
        kill -0 $pid 2>/dev/null || fail "the program ended before the self-test was done"
        sleep 0.1
    done
    if [ -n "$Q9_SHOT" ]; then
        sleep 0.5   # let the last repaint land
        eval "$(xdotool getwindowgeometry --shell "$id")"
        import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$Q9_SHOT.raw.png"
    fi
    click Exit
    for _ in $(seq 300); do
        log | grep -q "^selftest: \(passed\|failed\)$" && break
        sleep 0.1
    done
    for _ in $(seq 100); do
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    log
    log | grep -q "^selftest: passed$" || fail "the self-test failed or the click did not close the dialog"
    ! kill -0 $pid 2>/dev/null || fail "the program did not end after its dialog closed"
    trap - EXIT
' || status=$?

if [ $status -eq 0 ] && [ -n "$shot" ]; then
    mkdir -p "$(dirname "$shot")"
    # Small and reproducible: no timestamps, a palette.
    convert "$shot.raw.png" -strip -define png:exclude-chunks=date,time PNG8:"$shot"
    rm -f "$shot.raw.png"
    echo "screenshot: $shot"
fi
exit $status
