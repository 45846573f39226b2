#!/usr/bin/env bash
# Sets up the machine, builds, and runs the launcher under Wine as an example
# installation would: Demo.exe beside Demo.toml. Prints the diagnostic log.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"

build=$root/build
prefix=$build/wineprefix
demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo"
cp "$build/launcher.exe" "$demo/Demo.exe"
cp "$root/examples/Demo.toml" "$demo/Demo.toml"

# The launcher never creates its log folder: an installer would.
logdir=$prefix/drive_c/ProgramData/TAVEX/Kestrion
# The first run of the prefix creates it, so ask Wine for the folder first.
"$root/scripts/wine-run" "$prefix" cmd /c exit 0 >/dev/null 2>&1 || true
mkdir -p "$logdir"
rm -f "$logdir/launcherDemo.log"

echo "== running $demo/Demo.exe under Wine"
"$root/scripts/wine-run" "$prefix" "$demo/Demo.exe" --from-demo
echo "== launcher exit code: $?"
echo "== diagnostic log ($logdir/launcherDemo.log)"
cat "$logdir/launcherDemo.log"
