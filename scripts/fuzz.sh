#!/usr/bin/env bash
# Fuzzes the TOML reader natively with libFuzzer and the address and
# undefined-behaviour sanitizers:  scripts/fuzz.sh [SECONDS]  (default 600)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
"$root/scripts/build.sh" >/dev/null
native=$root/build/tests/native
mkdir -p "$native/fuzz-corpus"
exec "$native/tomlFuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$native/" "$native/fuzz-corpus" \
    "$root/tests/data/toml/valid" "$root/tests/data/toml/invalid"
