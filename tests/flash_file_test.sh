#!/usr/bin/env bash
# The command-line updater against the built-in virtual device with a flash
# file: verify after an update and after one changed byte, a killed run
# followed by a normal one, two runs on one file, creators of one missing
# file at once, a read-only file, and output that cannot be written.
#
# Usage: flash_file_test.sh BUILD_DIR     (exit 77: skipped)
set -u

build=${1:?usage: flash_file_test.sh BUILD_DIR}
cli=$build/cli/q9-updater-cli
[ -x "$cli" ] || { echo "SKIP: $cli is not built"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
run() { "$cli" --virtual-device="flash=$1${3:+,$3}" "$2" ${4:-}; }

# A factory flash file, and what a clean update makes of it.
"$cli" --virtual-device="flash=$work/factory.flash" ports >/dev/null || fail "no factory flash file"
cp "$work/factory.flash" "$work/clean.flash"
run "$work/clean.flash" update "" --no-version >/dev/null 2>&1 || fail "clean update"
run "$work/clean.flash" verify >/dev/null 2>&1 || fail "verify after a clean update"
run "$work/factory.flash" verify >/dev/null 2>&1 && fail "verify passed on a factory flash"

# One byte changed: verify names its address.
cp "$work/clean.flash" "$work/changed.flash"
printf '\x00' | dd of="$work/changed.flash" bs=1 seek=$((0x066064)) conv=notrunc status=none
out=$(run "$work/changed.flash" verify 2>&1); rc=$?
[ $rc -eq 1 ] || fail "verify of a changed byte: exit $rc"
grep -q "0x066064" <<<"$out" || fail "verify does not name 0x066064: $out"
json=$("$cli" --json --virtual-device="flash=$work/changed.flash" verify 2>/dev/null)
grep -q '"firstDifference":"0x066064"' <<<"$json" || fail "no firstDifference in: $json"

# update --verify.
cp "$work/factory.flash" "$work/both.flash"
run "$work/both.flash" update "" "--no-version --verify" >/dev/null 2>&1 || fail "update --verify"
cmp -s "$work/both.flash" "$work/clean.flash" || fail "update --verify left another flash"

# Killed at several moments, then a normal update: the file is whole and clean.
for delay in 0.05 0.3 0.7 1.2; do
    cp "$work/factory.flash" "$work/killed.flash"
    "$cli" --virtual-device="flash=$work/killed.flash,link=1048576" update --no-version >/dev/null 2>&1 &
    pid=$!
    sleep "$delay"
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    [ "$(stat -c %s "$work/killed.flash")" -eq 4194304 ] || fail "flash file cut short after kill -9 at $delay s"
    out=$(run "$work/killed.flash" update "" --no-version 2>&1) || fail "update after kill -9 at $delay s: $out"
    cmp -s "$work/killed.flash" "$work/clean.flash" || fail "flash after kill -9 at $delay s differs"
done

# Two runs on one file: the second refuses at once, naming the file.
cp "$work/factory.flash" "$work/shared.flash"
"$cli" --virtual-device="flash=$work/shared.flash,link=65536" verify >/dev/null 2>&1 &
first=$!
sleep 0.5
out=$(run "$work/shared.flash" verify 2>&1); rc=$?
kill -TERM "$first" 2>/dev/null; wait "$first" 2>/dev/null
[ $rc -eq 1 ] || fail "second run on one flash file: exit $rc"
grep -q "shared.flash is in use" <<<"$out" || fail "second run does not name the file: $out"

# Creators of one missing file at once: one makes it, the others find it in
# use; none fails to create it, and no temporary file is left behind.
for round in 1 2 3; do
    rm -f "$work/new.flash"
    for i in 1 2 3 4; do run "$work/new.flash" ports >/dev/null 2>"$work/create$i.err" & done
    wait
    out=$(cat "$work"/create*.err | grep -v "new.flash is in use by another virtual device")
    [ -z "$out" ] || fail "creators at once, round $round: $out"
    cmp -s "$work/new.flash" "$work/factory.flash" || fail "creators at once, round $round: not a factory flash"
    compgen -G "$work/new.flash.*" >/dev/null && fail "creators at once, round $round: left $(ls "$work"/new.flash.*)"
done

# Owner and mode are kept; a read-only file is refused.
chmod 640 "$work/shared.flash"
run "$work/shared.flash" update "" --no-version >/dev/null 2>&1 || fail "update of a mode 640 file"
[ "$(stat -c %a "$work/shared.flash")" = 640 ] || fail "mode not kept: $(stat -c %a "$work/shared.flash")"
chmod 444 "$work/shared.flash"
out=$(run "$work/shared.flash" update "" --no-version 2>&1); rc=$?
[ $rc -eq 1 ] || fail "read-only flash file: exit $rc"
grep -q "read-only" <<<"$out" || fail "no message for a read-only file: $out"

# A path with a comma, escaped.
cp "$work/factory.flash" "$work/a,b.flash"
"$cli" --virtual-device="flash=$work/a\\,b.flash" update --no-version >/dev/null 2>&1 || fail "flash path with a comma"
cmp -s "$work/a,b.flash" "$work/clean.flash" || fail "flash path with a comma: not updated"

# Output that cannot be written.
if [ -w /dev/full ]; then
    run "$work/shared.flash" ports "" "--trace /dev/full" >/dev/null 2>&1
    "$cli" --virtual-device --trace /dev/full update --no-version >/dev/null 2>&1 && fail "--trace /dev/full: exit 0"
    "$cli" plan >/dev/full 2>/dev/null && fail "plan to a full standard output: exit 0"
fi
out=$("$cli" frobnicate 2>&1); rc=$?
[ $rc -eq 2 ] && grep -q "unknown command: frobnicate" <<<"$out" || fail "unknown command: $rc $out"
echo "PASS"
