#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine; each prints its own figures.
#   scripts/bench.sh [ROUNDS]   (latency rounds per program, at least 21)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" >/dev/null
build=$root/build
run() { "$root/scripts/wine-run" "$build/wineprefix" "$@"; }
echo "== start-up latency: launcher against the bare-minimum baseline"
run "$build/bench/startLatency.exe" "${1:-21}"
echo "== scale: configuration entries against the launcher's own time"
run "$build/bench/scaleBench.exe"
