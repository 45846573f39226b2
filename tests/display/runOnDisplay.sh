#!/usr/bin/env bash
# Runs a test with a display of its own, or with none:
#   runOnDisplay.sh xvfb|none PREFIX COMMAND [ARGS...]
# xvfb: a fresh 1024x768 Xvfb screen on a free display number, stopped
# afterwards. none: no DISPLAY at all.
#
# A wineserver keeps the display of the client that started it: one started
# without DISPLAY cannot give windows to a later client that has one. So the
# prefix's wineserver is stopped before the test and again after it, and these
# tests must not run beside others in the same prefix.
set -euo pipefail
mode=$1
prefix=$2
shift 2
export WINEPREFIX=$prefix

stopWineserver() {
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
}

xvfbPid=
cleanUp() {
    stopWineserver
    if [ -n "$xvfbPid" ]; then
        kill "$xvfbPid" 2>/dev/null || true
        wait "$xvfbPid" 2>/dev/null || true
    fi
}
trap cleanUp EXIT

case $mode in
xvfb)
    # Xvfb picks a free display itself and writes its number to the
    # descriptor; -br gives a black root window.
    numberFile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -br 3>"$numberFile" 2>/dev/null &
    xvfbPid=$!
    for _ in $(seq 100); do
        [ -s "$numberFile" ] && break
        kill -0 "$xvfbPid" 2>/dev/null || { echo "Xvfb did not start" >&2; exit 1; }
        sleep 0.1
    done
    number=$(head -n1 "$numberFile")
    rm -f "$numberFile"
    [ -n "$number" ] || { echo "Xvfb gave no display number" >&2; exit 1; }
    export DISPLAY=:$number
    ;;
none)
    unset DISPLAY
    ;;
*)
    echo "usage: runOnDisplay.sh xvfb|none PREFIX COMMAND [ARGS...]" >&2
    exit 2
    ;;
esac

stopWineserver
"$@"
