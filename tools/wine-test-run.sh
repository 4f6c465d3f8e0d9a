#!/usr/bin/env bash
# Runs one GoogleTest program for ctest under Wine:
#   wine-test-run.sh EMULATOR... PROGRAM [ARGUMENTS...]
# A start that Wine itself fails (the program never printed GoogleTest's
# first line, "Running main() from ...") is tried again, at most twice, and
# the output says so; a program that started is never run again, whatever
# its result.
#
# Once a Windows program has ended, wineserver gives its Unix process one
# second to go and then kills it (SIGKILL); on a loaded machine that can
# come after GoogleTest printed a full pass.  The kill is reported by the
# emulator ("cmake -E env" prints "Subprocess killed", a bare wine exits
# 137).  Such a run counts by GoogleTest's own verdict: every test passed and
# none failed.  What the program did after its verdict is not seen then.
out=$(mktemp)
trap 'rm -f "$out"' EXIT

passed_then_killed() {
    { [ "$1" -eq 137 ] || tail -n 1 "$out" | grep -qx 'Subprocess killed'; } &&
        grep -q '^\[  PASSED  \] [0-9]' "$out" && ! grep -q '^\[  FAILED  \] ' "$out"
}

for attempt in 1 2 3; do
    "$@" >"$out" 2>&1
    status=$?
    if [ "$status" -ne 0 ] && passed_then_killed "$status"; then
        cat "$out"
        echo "wine-test-run: every test passed; Wine killed the process after it ended (status $status)"
        exit 0
    fi
    if [ "$status" -eq 0 ] || grep -q '^Running main() from' "$out" || [ "$attempt" -eq 3 ]; then
        cat "$out"
        exit "$status"
    fi
    echo "wine-test-run: Wine did not start the program (status $status, attempt $attempt of 3):"
    cat "$out"
    sleep 1
done
