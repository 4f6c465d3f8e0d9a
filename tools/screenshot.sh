#!/usr/bin/env bash
# Takes a screenshot of the updater's dialog, started with the virtual
# ARKO Q9, under a virtual X server.  There is no window manager there, so
# the script draws a plain title bar with the window's own title above the
# dialog's client area.
#
#   bash tools/screenshot.sh BUILD_DIR OUTPUT.png
set -euo pipefail

build=${1:-build}
out=${2:-docs/dialog.png}
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
export Q9_EXE=$exe Q9_SHOT=$runtime/shot.png

xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -euo pipefail
    "$Q9_EXE" --virtual-device &
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
    import -window "$id" "$Q9_SHOT"
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
