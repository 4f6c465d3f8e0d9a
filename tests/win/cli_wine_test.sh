#!/usr/bin/env bash
# q9-updater-cli.exe under Wine, end to end against the built-in virtual
# device: the system's (empty) MIDI lists with nothing printed, an update
# with one line per row, a version check whose trace is byte for byte the
# Linux program's (time stamps aside), and the usage exit code.
set -euo pipefail
build=${1:?usage: cli_wine_test.sh BUILD_DIR}
exe=$build/cli/q9-updater-cli.exe
[ -f "$exe" ] || { echo "skipped: $exe is not built"; exit 77; }
linux_cli=$build/../build/cli/q9-updater-cli   # the Linux build beside it, when there is one
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

# Wine's helpers keep inherited descriptors open: files only, never pipes.
run() { local name=$1; shift; set +e; wine "$exe" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err"; echo $? >"$work/$name.rc"; set -e; }

# winmm under Wine here: no devices, and neither Wine nor the program says anything else.
run ports ports
[ "$(cat "$work/ports.rc")" = 0 ] || fail "ports exited $(cat "$work/ports.rc")"
[ ! -s "$work/ports.err" ] || fail "ports printed on stderr: $(cat "$work/ports.err")"
tr -d '\r' <"$work/ports.out" | grep -qx "  No MIDI input devices." || fail "ports: $(cat "$work/ports.out")"
tr -d '\r' <"$work/ports.out" | grep -qx "  No MIDI output devices." || fail "ports: $(cat "$work/ports.out")"

# An update into a file: no escape codes, one line per plan row, the final versions.
run update update --virtual-device=link=4194304,erase-ms=1,write-ms=0
[ "$(cat "$work/update.rc")" = 0 ] || fail "update exited $(cat "$work/update.rc"): $(cat "$work/update.err")"
! grep -q $'\e' "$work/update.out" || fail "update wrote escape codes into a file"
rows=$(tr -d '\r' <"$work/update.out" | grep -cE '^ *[0-9]+/12 ')
[ "$rows" = 12 ] || fail "update showed $rows rows: $(cat "$work/update.out")"
tr -d '\r' <"$work/update.out" | grep -q "^SYSTEM:"$'\t\t'"1.20" || fail "no versions after the update"

# The trace: LF line ends, and the same messages as on Linux.
run version version --virtual-device --trace "$work/trace.txt"
[ "$(cat "$work/version.rc")" = 0 ] || fail "version exited $(cat "$work/version.rc")"
! grep -q $'\r' "$work/trace.txt" || fail "the trace has CR LF line ends"
head -1 "$work/trace.txt" | grep -qE '^> [0-9]+\.[0-9]{6} F0 7E 00 06 01 F7$' || fail "trace: $(head -1 "$work/trace.txt")"
if [ -x "$linux_cli" ]; then
    "$linux_cli" version --virtual-device --trace "$work/linux-trace.txt" >/dev/null
    cut -d' ' -f1,3- "$work/trace.txt" >"$work/a"
    cut -d' ' -f1,3- "$work/linux-trace.txt" >"$work/b"
    cmp "$work/a" "$work/b" || fail "the traces differ: $(diff "$work/a" "$work/b" | head -5)"
else
    echo "note: no Linux build beside $build, the trace is not compared"
fi

# Usage errors exit with 2.
run usage update --no-such-option
[ "$(cat "$work/usage.rc")" = 2 ] || fail "a usage error exited $(cat "$work/usage.rc")"
echo "ok"
