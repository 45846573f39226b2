#!/usr/bin/env bash
# Builds and runs the benchmarks (under Wine, and the Linux tool natively);
# each prints its own figures.
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
echo "== brand: one branded copy of the launcher with a four-image icon, median of ${1:-21} runs"
# The Linux build natively, launchertool.exe under Wine (its time includes
# Wine's start of a process).
brand_ms() {
    local out=$1
    shift
    local times=()
    for _ in $(seq "${ROUNDS:-21}"); do
        local start end
        start=$(date +%s%N)
        "$@" brand --icon "$build/tests/brand-four.ico" --version 1.4.0.2 --product Acme \
            "$launcher" "$out" >/dev/null
        end=$(date +%s%N)
        times+=($(((end - start) / 1000)))
    done
    printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((${#times[@]} + 1) / 2))p"
}
ROUNDS=${1:-21}
bench_dir=$(mktemp -d)
trap 'rm -rf "$bench_dir"' EXIT
launcher=$build/launcher.exe
linux_us=$(brand_ms "$bench_dir/Acme.exe" "$build/launchertool")
launcher="Z:${build//\//\\}\\launcher.exe"
wine_us=$(brand_ms "Z:${bench_dir//\//\\}\\AcmeW.exe" run "$build/launchertool.exe")
printf '%-40s %10s\n' "tool" "median µs"
printf '%-40s %10d\n' "launchertool (Linux, native)" "$linux_us" \
    "launchertool.exe (under Wine)" "$wine_us"
