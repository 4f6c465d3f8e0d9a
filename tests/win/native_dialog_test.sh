#!/usr/bin/env bash
# The native dialog (q9-updater.exe) under Wine on a virtual X server.  The
# program's --selftest checks what the window shows (the title, the ports,
# a whole update against the virtual ARKO Q9 started by the Return key that
# this script presses, Rescan Device and the version check, which it clicks
# itself through the window messages a user's clicks produce).  This script
# checks the title as the X server sees it, opens the about box from
# the system menu and closes it with the mouse, then closes the dialog with
# a click on "Exit", as a user would; the program says where each of these
# is on the screen and checks what each click did.  A second run closes the
# dialog with the Escape key while the update waits for a silent device:
# the program must end at once, without a box.  A third run is the 21st
# updater: the refusal box instead of the dialog, closed with Return.
#
#   bash tests/win/native_dialog_test.sh BUILD_DIR [SCREENSHOT.png]
# With a second argument the dialog is photographed before it is closed, and
# the question before stopping an update (SCREENSHOT-question.png).
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
export Q9_EXE=$exe Q9_CLI=$build/cli/q9-updater-cli.exe Q9_WORK=$work Q9_SHOT=$shot

status=0
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -uo pipefail
    title="ARKO Q9 System v1.20 Updater"

    # An updater that has just closed its dialog may still be ending: waits
    # (a little) until number 1 is free again, so that the next is number 1.
    number_one_free() {
        [ -f "$Q9_CLI" ] || return 0
        for _ in $(seq 50); do
            wine "$Q9_CLI" ports --json </dev/null 2>/dev/null | grep -q "\"instance\":1[,}]" && return 0
            sleep 0.2
        done
    }

    # run NAME OPTIONS CLICKS...: the program in a Wine desktop of its own
    # (there is no window manager, so Wine draws the frame, the title bar
    # and its system menu button itself, as Windows does), then a click on
    # each place it names, or a key (Return, Escape) when it waits for one, in
    # order; "Exit" (a click) or "Escape" last.
    run() {
        local name=$1 options=$2
        shift 2
        local out=$Q9_WORK/$name.log
        log() { tr -d "\r" <"$out"; }
        number_one_free
        fail() { echo "native_dialog_test: $name: $*" >&2; log >&2; kill $pid 2>/dev/null; exit 1; }
        # shellcheck disable=SC2086
        wine explorer /desktop=q9test,480x360 "$Q9_EXE" $options >"$out" 2>&1 &
        pid=$!

        local id=
        for _ in $(seq 600); do
            id=$(xdotool search --name "^${title//./\\.}\$" 2>/dev/null | head -1 || true)
            [ -n "$id" ] && break
            kill -0 $pid 2>/dev/null || fail "the program ended before its window appeared"
            sleep 0.1
        done
        [ -n "$id" ] || fail "no window titled \"$title\""
        echo "$name: window $id \"$(xdotool getwindowname "$id")\""

        local what xy
        for what in "$@"; do
            if [ "$what" = Escape ] || [ "$what" = Return ]; then
                # The key, once the self-test waits for it, with the pointer
                # over the dialog (no window manager: the X keyboard focus
                # may follow the pointer).
                local ready="done, waiting for close"
                [ "$what" = Return ] && ready="press Return"
                for _ in $(seq 1200); do
                    log | grep -q "^selftest: $ready$" && break
                    kill -0 $pid 2>/dev/null || fail "the program ended before it waited for $what"
                    sleep 0.1
                done
                eval "$(xdotool getwindowgeometry --shell "$id")"
                xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2))
                xdotool key "$what"
                continue
            fi
            xy=
            for _ in $(seq 1200); do
                xy=$(log | sed -n "s/^selftest: $what at \([0-9]*\),\([0-9]*\)$/\1 \2/p" | tail -1)
                [ -n "$xy" ] && break
                [ "$what" != Exit ] && log | grep -q "waiting for close" && fail "the self-test gave up before $what"
                kill -0 $pid 2>/dev/null || fail "the program ended before it showed $what"
                sleep 0.1
            done
            [ -n "$xy" ] || fail "the self-test did not show $what"
            if [ "$what" = Exit ] && [ -n "$Q9_SHOT" ] && [ "$name" = update ]; then
                sleep 0.5   # let the last repaint land
                eval "$(xdotool getwindowgeometry --shell "$id")"
                import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$Q9_SHOT.raw.png"
            fi
            xdotool mousemove $xy click 1
        done

        for _ in $(seq 300); do
            log | grep -q "^selftest: \(passed\|failed\)$" && break
            sleep 0.1
        done
        log | grep -q "^selftest: passed$" || fail "the self-test failed or the click did not close the dialog"
        # Well before any reply time-out of the protocol: a woken worker ends at once.
        for _ in $(seq 100); do
            kill -0 $pid 2>/dev/null || break
            sleep 0.1
        done
        kill -0 $pid 2>/dev/null && fail "the program did not end after its dialog closed"
        log | sed "s/^/$name: /"
    }

    # follow NAME OPTIONS: the program asks for keys and clicks as it goes
    # ("key N KEYS", "click N x,y"; each once), then for a click on "Exit".
    follow() {   # NAME OPTIONS [DESKTOP SIZE]
        local name=$1 options=$2 size=${3:-480x360}
        local out=$Q9_WORK/$name.log
        log() { tr -d "\r" <"$out"; }
        number_one_free
        fail() { echo "native_dialog_test: $name: $*" >&2; log >&2; kill $pid 2>/dev/null; exit 1; }
        # shellcheck disable=SC2086
        wine explorer /desktop=q9test,"$size" "$Q9_EXE" $options >"$out" 2>&1 &
        pid=$!
        local id= done=0 n line xy
        for _ in $(seq 600); do
            id=$(xdotool search --name "^${title//./\\.}\$" 2>/dev/null | head -1 || true)
            [ -n "$id" ] && break
            kill -0 $pid 2>/dev/null || fail "the program ended before its window appeared"
            sleep 0.1
        done
        [ -n "$id" ] || fail "no window titled \"$title\""
        for _ in $(seq 3000); do
            log | grep -q "^selftest: \(passed\|failed\)$" && break
            kill -0 $pid 2>/dev/null || fail "the program ended before the self-test did"
            log | grep -q "done with failures" && fail "the self-test failed"
            if log | grep -q "waiting for close$"; then
                xy=$(log | sed -n "s/^selftest: Exit at \([0-9]*\),\([0-9]*\)$/\1 \2/p" | tail -1)
                # shellcheck disable=SC2086
                xdotool mousemove $xy click 1
                sleep 1
                continue
            fi
            n=$((done + 1))
            line=$(log | sed -n "s/^selftest: \(key\|click\) $n \(.*\)$/\1 \2/p" | head -1)
            if [ -z "$line" ]; then sleep 0.1; continue; fi
            eval "$(xdotool getwindowgeometry --shell "$id")"
            case $line in
                key\ *)
                    xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2))
                    # shellcheck disable=SC2086
                    for key in ${line#key }; do xdotool key "$key"; sleep 0.05; done ;;
                click\ *)
                    if [ -n "$Q9_SHOT" ] && [ "$name" = guard ] && [ "$n" = 7 ]; then
                        # The question over the dialog, as the Wine desktop shows them.
                        sleep 0.5
                        desk=$(xdotool search --name "Wine desktop" 2>/dev/null | head -1 || true)
                        [ -n "$desk" ] && import -window "$desk" "${Q9_SHOT%.png}-question.raw.png"
                    fi
                    xy=${line#click }
                    xdotool mousemove ${xy%,*} ${xy#*,} click 1 ;;
            esac
            done=$n
        done
        log | grep -q "^selftest: passed$" || fail "the self-test failed"
        for _ in $(seq 100); do
            kill -0 $pid 2>/dev/null || break
            sleep 0.1
        done
        kill -0 $pid 2>/dev/null && fail "the program did not end after its dialog closed"
        log | sed "s/^/$name: /"
    }

    if [ -n "${Q9_ONLY:-}" ]; then   # Q9_ONLY=guard: that session alone
        [ "$Q9_ONLY" = guard ] && follow guard "--virtual-device=erase-ms=1,write-ms=5 --selftest=guard"
        follow no-device "--selftest=no-device" 320x240
        exit 0
    fi
    run update "--virtual-device --selftest" Return "System menu" "About item" "About OK" Exit
    follow guard "--virtual-device=erase-ms=1,write-ms=5 --selftest=guard"
    follow no-device "--selftest=no-device" 320x240   # a screen smaller than the dialog: it scrolls
    run close-while-busy "--virtual-device=silent --selftest=close-while-busy" Escape
    run error-box "--virtual-device=update-mode=off --selftest=error-box" Return Escape

    # The 21st updater: twenty command-line updates hold the numbers 1 to 20
    # (each waits 30 s on its first erase); the dialog program shows the
    # refusal box, captioned with the program name, instead of its window,
    # and ends once Return has closed the box.
    [ -f "$Q9_CLI" ] || { echo "refused: skipped, $Q9_CLI is not built"; exit 0; }
    number_one_free
    holders=()
    trap "kill -KILL \${holders[*]} 2>/dev/null || true" EXIT
    for n in $(seq 1 20); do
        wine "$Q9_CLI" update --json --in 0 --out 0 --virtual-device=erase-ms=30000 \
            </dev/null >"$Q9_WORK/holder$n.out" 2>&1 &
        holders+=($!)
    done
    started=0
    for _ in $(seq 1200); do
        started=$(cat "$Q9_WORK"/holder*.out | grep -c "\"event\":\"start\"" || true)
        [ "$started" -ge 20 ] && break
        sleep 0.1
    done
    if [ "$started" -lt 20 ]; then
        echo "native_dialog_test: refused: only $started of 20 holders started" >&2
        grep -L "\"event\":\"start\"" "$Q9_WORK"/holder*.out | xargs tail -n 5 >&2
        exit 1
    fi
    wine explorer /desktop=q9test,480x360 "$Q9_EXE" --virtual-device </dev/null >"$Q9_WORK/refused.out" 2>&1 &
    pid=$!
    box=
    for _ in $(seq 600); do
        box=$(xdotool search --name "^q9-updater\$" 2>/dev/null | head -1 || true)
        [ -n "$box" ] && break
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$box" ] || { echo "native_dialog_test: refused: no box titled q9-updater" >&2; cat "$Q9_WORK/refused.out" >&2; exit 1; }
    if xdotool search --name "^${title//./\\.}" >/dev/null 2>&1; then
        echo "native_dialog_test: refused: the dialog appeared beside the refusal" >&2
        exit 1
    fi
    eval "$(xdotool getwindowgeometry --shell "$box")"
    xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 4))
    # The key once the new box has the keyboard; a second press if the
    # first came before Wine had handed it over.
    for attempt in 1 2; do
        for _ in $(seq 50); do
            [ "$(xdotool getwindowfocus 2>/dev/null)" = "$box" ] && break
            sleep 0.1
        done
        xdotool key Return
        for _ in $(seq 100); do
            kill -0 $pid 2>/dev/null || break
            sleep 0.1
        done
        kill -0 $pid 2>/dev/null || break
    done
    kill -0 $pid 2>/dev/null && { echo "native_dialog_test: refused: Return did not end the program" >&2; exit 1; }
    echo "refused: box \"q9-updater\" and no dialog; Return ended the program"
' || status=$?

if [ $status -eq 0 ] && [ -n "$shot" ]; then
    mkdir -p "$(dirname "$shot")"
    # Small and reproducible: no timestamps, a palette.
    convert "$shot.raw.png" -strip -define png:exclude-chunks=date,time PNG8:"$shot"
    rm -f "$shot.raw.png"
    if [ -f "${shot%.png}-question.raw.png" ]; then
        convert "${shot%.png}-question.raw.png" -strip -define png:exclude-chunks=date,time PNG8:"${shot%.png}-question.png"
        rm -f "${shot%.png}-question.raw.png"
        echo "screenshot: ${shot%.png}-question.png"
    fi
    echo "screenshot: $shot"
fi
exit $status
