#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine; each prints its own figures.
#   scripts/bench.sh [ROUNDS]   (latency rounds per program, at least 21)
# The start-up latency runs in the 32-bit prefix and under WoW64 in the 64-bit
# one, where the launcher mostly runs, one after the other in the same run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" >/dev/null
build=$root/build
run() { "$root/scripts/wine-run" "$build/wineprefix" "$@"; }
run64() { "$root/scripts/wine-run" --win64 "$build/wineprefix64" "$@"; }
echo "== start-up latency: launcher against the bare-minimum baseline, 32-bit prefix"
run "$build/bench/startLatency.exe" "${1:-21}"
echo "== start-up latency: launcher against the bare-minimum baseline, WoW64 (64-bit prefix)"
run64 "$build/bench/startLatency.exe" "${1:-21}"
echo "== scale: configuration entries against the launcher's own time"
run "$build/bench/scaleBench.exe"
