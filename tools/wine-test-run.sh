#!/usr/bin/env bash
# Runs one GoogleTest program for ctest under Wine:
#   wine-test-run.sh EMULATOR... PROGRAM [ARGUMENTS...]
# A start that Wine itself fails (the program never printed GoogleTest's
# first line, "Running main() from ...") is tried again, at most twice, and
# the output says so; a program that started is never run again, whatever
# its result.
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for attempt in 1 2 3; do
    "$@" >"$out" 2>&1
    status=$?
    if [ "$status" -eq 0 ] || grep -q '^Running main() from' "$out" || [ "$attempt" -eq 3 ]; then
        cat "$out"
        exit "$status"
    fi
    echo "wine-test-run: Wine did not start the program (status $status, attempt $attempt of 3):"
    cat "$out"
    sleep 1
done
