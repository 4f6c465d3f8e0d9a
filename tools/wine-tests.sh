#!/usr/bin/env bash
# Runs the tests of a Windows build folder under Wine:
#   tools/wine-tests.sh BUILD_DIR [ctest arguments...]
# The Wine prefix of the folder is created once (wineboot -i); a persistent
# wineserver runs for the whole test run (otherwise every program start
# pays for a server start and its 3 s linger) and is stopped afterwards.
set -euo pipefail
build=$(cd "${1:?usage: wine-tests.sh BUILD_DIR [ctest arguments...]}" && pwd)
shift
export WINEPREFIX=$build/wine WINEDEBUG=-all WINEDLLOVERRIDES=winealsa.drv=d

# Wine's helper processes keep whatever they inherit open: never a pipe.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i </dev/null >/dev/null 2>&1
fi
wineserver -p </dev/null >/dev/null 2>&1 || true   # one may run already
wine cmd /c exit </dev/null >/dev/null 2>&1 || true   # brings up Wine's services, detached from ctest
trap 'wineserver -k </dev/null >/dev/null 2>&1 || true' EXIT

start=$(date +%s%N)
status=0
ctest --test-dir "$build" --output-on-failure "$@" || status=$?
end=$(date +%s%N)
echo "Windows tests under Wine: $(( (end - start) / 1000000 )) ms"
exit $status
