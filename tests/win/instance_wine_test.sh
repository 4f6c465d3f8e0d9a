#!/usr/bin/env bash
# The instance rule with real Windows processes under Wine: twenty updates
# hold the numbers 1 to 20 (named mutexes), the twenty-first program is
# refused, and once the holders have ended the system has freed the numbers.
set -euo pipefail
build=${1:?usage: instance_wine_test.sh BUILD_DIR}
exe=$build/cli/q9-updater-cli.exe
[ -f "$exe" ] || { echo "skipped: $exe is not built"; exit 77; }
work=$(mktemp -d)
holders=()
cleanup() {
    for pid in "${holders[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }

# Each holder updates a virtual device whose first erase takes 30 s (the
# erase time-out is 60 s): it keeps its number for as long as it runs.
for n in $(seq 1 20); do
    wine "$exe" update --json --in 0 --out 0 --virtual-device=erase-ms=30000 </dev/null >"$work/holder$n.out" 2>&1 &
    holders+=($!)
done
for _ in $(seq 1 600); do
    started=$(cat "$work"/holder*.out | grep -c '"event":"start"' || true)
    [ "$started" -ge 20 ] && break
    sleep 0.1
done
[ "$started" -ge 20 ] || fail "only $started of 20 holders started: $(cat "$work"/holder*.out | head -20)"
numbers=$(cat "$work"/holder*.out | grep -o '"instance":[0-9]*' | cut -d: -f2 | sort -n | tr '\n' ' ')
[ "$numbers" = "$(seq 1 20 | tr '\n' ' ')" ] || fail "the holders took the numbers $numbers"

set +e
wine "$exe" ports </dev/null >"$work/refused.out" 2>"$work/refused.err"
rc=$?
set -e
[ "$rc" = 3 ] || fail "the 21st exited $rc"
[ "$(tr -d '\r' <"$work/refused.err")" = "It is forbidden to launch more than 20 instance of this application." ] ||
    fail "the 21st said: $(cat "$work/refused.err")"
[ ! -s "$work/refused.out" ] || fail "the 21st printed: $(cat "$work/refused.out")"

# The holders end without releasing anything themselves.
for pid in "${holders[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
{ wait; } 2>/dev/null || true
holders=()
wine "$exe" ports --json </dev/null >"$work/after.out" 2>&1 || fail "ports after the holders: $(cat "$work/after.out")"
grep -q '"instance":1[,}]' "$work/after.out" || fail "number 1 is not free again: $(cat "$work/after.out")"
echo "ok"
