#!/usr/bin/env bash
# Fuzzes natively with libFuzzer and the address and undefined-behaviour
# sanitizers:  scripts/fuzz.sh [SECONDS] [FUZZER]  (default 600, tomlFuzzer)
# FUZZER: tomlFuzzer (the TOML reader), programFuzzer (the program file
# reader as info uses it), iconFuzzer (the icon file reader) or
# brandRoundTripFuzzer (what brand writes reads back as laid out).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
fuzzer=${2:-tomlFuzzer}
case $fuzzer in
    tomlFuzzer) corpus=fuzz-corpus inputs=("$root/tests/data/toml/valid" "$root/tests/data/toml/invalid") ;;
    # A program file seed is a few kilobytes: let inputs grow past them.
    programFuzzer | brandRoundTripFuzzer) corpus=$fuzzer-corpus inputs=(-max_len=65536 "$root/tests/data/fuzz/programs") ;;
    iconFuzzer) corpus=$fuzzer-corpus inputs=(-max_len=65536 "$root/tests/data/fuzz/icons") ;;
    *) echo "no fuzzer $fuzzer" >&2; exit 2 ;;
esac
"$root/scripts/build.sh" >/dev/null
native=$root/build/host/native
mkdir -p "$native/$corpus"
exec "$native/$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$native/$fuzzer-" "$native/$corpus" "${inputs[@]}"
