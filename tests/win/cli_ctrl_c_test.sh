#!/usr/bin/env bash
# q9-updater-cli.exe on a terminal under Wine (a pseudo-terminal from
# `script`, which Wine turns into a console): the live line is drawn, and a
# real Ctrl-C typed during the first erase ends the update with status 130,
# as SIGINT does on Linux (the JSON run shows that the program itself
# ended the update, not the signal).
set -euo pipefail
build=${1:?usage: cli_ctrl_c_test.sh BUILD_DIR}
exe=$build/cli/q9-updater-cli.exe
[ -f "$exe" ] || { echo "skipped: $exe is not built"; exit 77; }
command -v script >/dev/null || { echo "skipped: no script(1)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Wine's console draws character by character between escape codes.
# Spaces may come out as cursor moves, so the texts looked for have none.
screen() { sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$work/screen" 2>/dev/null; }

# Runs an update whose first erase takes 30 s on the terminal, types Ctrl-C
# once TEXT shows, and prints the exit status.
interrupt() {
    local text=$1; shift
    rm -f "$work/screen" "$work/keys"
    mkfifo "$work/keys"
    timeout 60 script -qec "wine '$exe' update --in 0 --out 0 --virtual-device=erase-ms=30000 $*" "$work/screen" \
        <"$work/keys" >/dev/null 2>&1 &
    local cli=$!
    exec 3>"$work/keys"
    for _ in $(seq 1 300); do
        screen | grep -q "$text" && break
        sleep 0.1
    done
    printf '\003' >&3
    local rc=0
    wait "$cli" || rc=$?
    exec 3>&-
    echo "$rc"
}

rc=$(interrupt "Erasing")
[ "$rc" = 130 ] || { echo "FAILED: the live-line run exited $rc"; screen | tail -c 1000; exit 1; }

rc=$(interrupt '"1/12"' --json)
[ "$rc" = 130 ] || { echo "FAILED: the JSON run exited $rc"; screen | tail -c 1000; exit 1; }
screen | grep -q '"interrupted":true' || { echo "FAILED: no interrupted result"; screen | tail -c 1000; exit 1; }
echo "ok"
