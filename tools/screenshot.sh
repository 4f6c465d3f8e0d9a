#!/usr/bin/env bash
# Takes a screenshot of the updater's dialog, started with the virtual
# ARKO Q9, under a virtual X server.  There is no window manager there, so
# the script draws a plain title bar with the window's own title above the
# dialog's client area.
#
#   bash tools/screenshot.sh BUILD_DIR OUTPUT.png [question|no-device]
# question: an update is started with Return and Escape is pressed: the
# question before stopping it, over the dialog.  no-device: the dialog
# without the virtual device (and no MIDI device on the machine).
set -euo pipefail

build=${1:-build}
out=${2:-docs/dialog.png}
mode=${3:-}
exe=$build/app/qt/q9-updater
if [ ! -x "$exe" ]; then
    echo "screenshot: $exe is not built" >&2
    exit 1
fi
for tool in xvfb-run import xwininfo; do
    command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing" >&2; exit 1; }
done
mkdir -p "$(dirname "$out")"

runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
# A private lock folder: the dialog is instance 1 whatever else runs.
export XDG_RUNTIME_DIR=$runtime
export Q9_EXE=$exe Q9_SHOT=$runtime/shot.png Q9_MODE=$mode

xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -euo pipefail
    case $Q9_MODE in
        question) "$Q9_EXE" --virtual-device=erase-ms=2,write-ms=20 & ;;
        no-device) "$Q9_EXE" & ;;
        *) "$Q9_EXE" --virtual-device & ;;
    esac
    pid=$!
    trap "kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true" EXIT
    title="ARKO Q9 System v1.20 Updater"
    for _ in $(seq 100); do
        id=$(xwininfo -root -tree | awk -v t="\"$title\"" "index(\$0, t) { print \$1; exit }")
        [ -n "$id" ] && break
        sleep 0.1
    done
    if [ -z "$id" ]; then echo "screenshot: the dialog did not appear" >&2; exit 1; fi
    sleep 0.5   # let it paint
    if [ "$Q9_MODE" = question ]; then
        xdotool windowfocus --sync "$id" key Return
        sleep 3   # the update is writing
        xdotool windowfocus --sync "$id" key Escape
        sleep 1
        # The box and the dialog together (the box is a window of its own).
        # (Meanwhile the title of the dialog begins with the percentage of the update.)
        read -r x0 y0 x1 y1 < <(xwininfo -root -tree | awk -v t="$title\"" "index(\$0, t) { print \$(NF - 1) }" |
            awk -F"[x+]" "{ x = \$3; y = \$4; r = x + \$1; b = y + \$2;
                if (NR == 1 || x < x0) x0 = x; if (NR == 1 || y < y0) y0 = y;
                if (r > x1) x1 = r; if (b > y1) y1 = b }
                END { print x0, y0, x1, y1 }")
        import -window root -crop "$((x1 - x0))x$((y1 - y0))+$x0+$y0" +repage "$Q9_SHOT"
    else
        import -window "$id" "$Q9_SHOT"
    fi
    xwininfo -id "$id" | sed -n "s/^xwininfo: Window id: [^ ]* \"\(.*\)\"$/\1/p" > "$Q9_SHOT.title"
'
title=$(cat "$Q9_SHOT.title")
font=()
dejavu=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
[ -f "$dejavu" ] && font=(-font "$dejavu")
# Small and reproducible: no timestamps, a palette.
convert "$Q9_SHOT" -background "#3b4252" -gravity north -splice 0x24 \
    "${font[@]}" -pointsize 12 -fill white -annotate +0+5 "$title" \
    -bordercolor "#3b4252" -border 1 \
    -strip -define png:exclude-chunks=date,time PNG8:"$out"
echo "screenshot: $out"
