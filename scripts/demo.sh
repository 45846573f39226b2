#!/usr/bin/env bash
# Sets up the machine, builds, and runs an example installation under Wine:
# Demo.exe beside Demo.toml, starting a small Java application with the JDK
# of the set-up. Prints the diagnostic log and what the application received.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"

build=$root/build
prefix=$build/wineprefix
demo=$build/demo
wine_run() { "$root/scripts/wine-run" "$prefix" "$@"; }

# The application: one class in a jar that names it as its main class.
rm -rf "$demo"
mkdir -p "$demo/classes" "$demo/app"
javac -d "$demo/classes" "$root/examples/demo-app/DemoApp.java"
jar --create --file "$demo/app/demo.jar" --main-class DemoApp -C "$demo/classes" .
rm -rf "$demo/classes"

# The JDK's java, as Wine sees it through its Z: drive.
java_bin=$(readlink -f "$(command -v java)")
java_win="Z:${java_bin//\//\\}"

# The first run of the prefix creates it, so ask Wine for its C: drive first.
wine_run cmd /c exit 0 >/dev/null 2>&1 || true
drive_c=$prefix/drive_c
# The launcher creates no folder: an installer makes the log folder and the
# application's data and output folders.
logdir=$drive_c/ProgramData/TAVEX/Kestrion
datadir=$drive_c/ProgramData/LauncherDemo
mkdir -p "$logdir" "$datadir/log"
rm -f "$logdir/launcherDemo.log" "$datadir/demo-received.txt" "$datadir/log/"*_Demo.log

cp "$build/launcher.exe" "$demo/Demo.exe"
# A Linux java reads the jar's path as it stands, so the demo names it by its
# Linux path; on Windows it would read '$(moduleDir)\app\demo.jar'.
cat >"$demo/Demo.toml" <<TOML
# Written by scripts/demo.sh: lies beside Demo.exe and bears its name.
[env]
PATH = ['\$(moduleDir)\\jre\\bin']

[jre]
main_jar = '$demo/app/demo.jar'
options = ['-Xmx64m', '-Djava.awt.headless=true', '-Ddemo.data=\$(programData)\\LauncherDemo']

[app]
exec = '$java_win'
log_dir = '\$(programData)\\LauncherDemo\\log'
data_dir = '\$(programData)\\LauncherDemo'
TOML

echo "== $demo/Demo.toml"
cat "$demo/Demo.toml"
echo "== running Demo.exe --from-demo \"two words\" under Wine"
echo "   (Wine never redirects a Linux child's standard error: it shows here)"
status=0
wine_run "$demo/Demo.exe" --from-demo "two words" || status=$?
echo "== launcher exit code: $status"

# The launcher does not wait for the application; the demo does.
received=$datadir/demo-received.txt
for _ in $(seq 1 120); do
    [ -s "$received" ] && break
    sleep 0.5
done

echo "== diagnostic log ($logdir/launcherDemo.log)"
cat "$logdir/launcherDemo.log"
if [ ! -s "$received" ]; then
    echo "== the application wrote no $received within 60 s" >&2
    exit 1
fi
echo "== what the application received ($received)"
cat "$received"
for output in "$datadir/log/out_Demo.log" "$datadir/log/err_Demo.log"; do
    echo "== $output ($(stat -c %s "$output" 2>/dev/null || echo missing) bytes)"
    cat "$output" 2>/dev/null || true
done
