#!/usr/bin/env bash
# Sets up the machine, builds, and runs an example installation under Wine:
# Demo.exe beside Demo.toml, starting a small Java desktop application with
# the JDK of the set-up. Checks the installation first, then prints the
# diagnostic log and what the application received.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"

build=$root/build
prefix=$build/wineprefix
demo=$build/demo
wine_run() { "$root/scripts/wine-run" "$prefix" "$@"; }

# ==== Display =================================================================
# The application is a window, and the second run shows a splash: both go to
# the display in DISPLAY, or to an Xvfb screen that the demo starts. Without
# either the application only writes what it received.
xvfb_pid=
stop_display() {
    WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
    fi
}
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    echo "== display: $DISPLAY"
elif command -v Xvfb >/dev/null; then
    display_number=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -br 3>"$display_number" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$display_number" ] && break
        sleep 0.1
    done
    export DISPLAY=:$(head -n1 "$display_number")
    rm -f "$display_number"
    echo "== display: a 1024x768 Xvfb screen of its own ($DISPLAY)"
else
    unset DISPLAY
    echo "== no display and no Xvfb: no window, no splash"
fi
trap stop_display EXIT
# A wineserver started without a display cannot give windows to a program
# that has one: start afresh.
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
WINEPREFIX=$prefix wineserver -w 2>/dev/null || true

# The application: one class in a jar that names it as its main class.
rm -rf "$demo"
mkdir -p "$demo/classes" "$demo/app"
javac -d "$demo/classes" "$root/examples/demo-app/DemoApp.java"
jar --create --file "$demo/app/demo.jar" --main-class DemoApp -C "$demo/classes" .
rm -rf "$demo/classes"

# The JDK's java, by its Linux path.
java_bin=$(readlink -f "$(command -v java)")

# The first run of the prefix creates it, so ask Wine for its C: drive first.
wine_run cmd /c exit 0 >/dev/null 2>&1 || true
drive_c=$prefix/drive_c
# The launcher creates no folder: an installer makes the log folder and the
# application's data and output folders.
logdir=$drive_c/ProgramData/TAVEX/Kestrion
datadir=$drive_c/ProgramData/LauncherDemo
mkdir -p "$logdir" "$datadir/log"
rm -f "$logdir/launcherDemo.log" "$datadir/demo-received.txt" "$datadir/log/"*_Demo.log

# Demo.exe is the launcher branded as the deployer's own: an icon drawn here
# and a version record of its own, written by the Linux build of the tool, as
# on a build machine without Windows.
convert -size 256x256 radial-gradient:'#ffd040-#b03000' \( -clone 0 -resize 16x16 \) \
    \( -clone 0 -resize 32x32 \) \( -clone 0 -resize 48x48 \) \( -clone 0 \) -delete 0 -depth 8 "$demo/Demo.ico"
"$build/launchertool" brand --icon "$demo/Demo.ico" \
    --version 1.0.0.0 --product "Demo Stüdio" --description "The launcher's demo" \
    --company "Demo Company" --copyright "© 2026 Demo Company" \
    "$build/launcher.exe" "$demo/Demo.exe"
echo "== launchertool info Demo.exe"
"$build/launchertool" info "$demo/Demo.exe"

# ==== The Java runtime under Wine ==============================================
# For this demo under Wine only. The JDK here is a Linux program, which Wine
# starts natively with exactly the launcher's filtered environment, so it
# would find no display to open its window on. The demo therefore starts it
# through Linux's env, which puts DISPLAY into the environment first: exec
# names env, and the first options are DISPLAY=... and the JDK's java. A
# Linux java also reads the jar's path as it stands, so the demo names it by
# its Linux path. On Windows: exec = '$(moduleDir)\jre\bin\javaw.exe' and
# main_jar = '$(moduleDir)\app\demo.jar'.
runtime_options="'$java_bin', "
if [ -n "${DISPLAY:-}" ]; then
    runtime_options="'DISPLAY=$DISPLAY', $runtime_options"
fi
cat >"$demo/Demo.toml" <<TOML
# Written by scripts/demo.sh: lies beside Demo.exe and bears its name.
[env]
PATH = ['\$(moduleDir)\\jre\\bin']

[jre]
main_jar = '$demo/app/demo.jar'
options = [$runtime_options'-Xmx64m', '-Ddemo.seconds=6', '-Ddemo.data=\$(programData)\\LauncherDemo']

[app]
exec = 'Z:\\usr\\bin\\env'
log_dir = '\$(programData)\\LauncherDemo\\log'
data_dir = '\$(programData)\\LauncherDemo'
TOML

echo "== $demo/Demo.toml"
cat "$demo/Demo.toml"

# ==== Check the installation ==================================================
# launchertool check reads Demo.toml as the launcher will and reports every
# problem, starting nothing and writing nothing.
echo "== launchertool check Demo.exe"
check_status=0
wine_run "$build/launchertool.exe" check "Z:${demo//\//\\}\\Demo.exe" || check_status=$?
echo "== launchertool check exit code: $check_status"
echo "   Both errors come from the Wine-only runtime set-up above, not from the"
echo "   installation: runtime-missing because exec names Linux's env, which Wine"
echo "   starts but Windows would not (no Windows program), and jar-missing because"
echo "   the Linux java is given the jar by its Linux path, which is no Windows path."
echo "   With javaw.exe and '\$(moduleDir)\\app\\demo.jar' as on Windows, the check is clean."
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

# ==== Splash window ===========================================================
# With a display, Demo.exe runs once more with a splash image, and a
# screenshot taken while the splash is up shows it beside the application's
# window.
splash_seconds=3
screenshot=$demo/splash-screenshot.png
if [ -z "${DISPLAY:-}" ]; then
    exit 0
fi
# The first run's window closes by itself; the screenshot shows the second's.
for _ in $(seq 1 60); do
    pgrep -f "$demo/app/demo.jar" >/dev/null || break
    sleep 0.5
done

# Our own picture: a blue gradient with a white "start" triangle.
convert -size 400x200 gradient:'#3a7bd5-#1c3f7a' \
    -fill white -draw 'polygon 170,55 170,145 250,100' PNG32:"$demo/splash.png"
cat >>"$demo/Demo.toml" <<TOML

# Added for the splash run: splash.png beside Demo.exe, for $splash_seconds
# seconds at most. until_window would close it when the application's window
# shows; under Wine the Linux Java runtime gives the launcher no handle to
# watch, so the splash falls back to its time (the log says so).
[splash]
image = 'splash.png'
millisec = ${splash_seconds}000
until_window = true
TOML
rm -f "$received"

echo "== running Demo.exe with a splash of $splash_seconds s"
started=$(date +%s%N)
wine_run "$demo/Demo.exe" --from-demo "with splash" &
launcher_pid=$!
# The application starts while the splash is up; the picture is taken then.
for _ in $(seq 1 60); do
    [ -s "$received" ] && break
    sleep 0.25
done
sleep 0.5
import -window root "$screenshot"
splash_status=0
wait "$launcher_pid" || splash_status=$?
ended=$(date +%s%N)
echo "== launcher exit code: $splash_status, after $(((ended - started) / 1000000)) ms"
if [ -s "$received" ]; then
    echo "== the application started while the splash was up"
else
    echo "== the application wrote no $received while the splash was up" >&2
fi
echo "== screenshot of the splash: $screenshot"
echo "== how the splash ended (until_window):"
grep -h -e "splash lasts" -e "splash closed" "$logdir/launcherDemo.log" || true
