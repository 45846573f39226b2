#!/usr/bin/env bash
# The splash window as a user sees it, run under Wine:
#   splashDisplayTest.sh onScreen|withoutDisplay WINE_RUN PREFIX LAUNCHER_EXE PROBE_EXE WORK_DIR
# onScreen needs a 1024x768 display (runOnDisplay.sh xvfb) and checks a
# screenshot taken while the splash is up; withoutDisplay needs none
# (runOnDisplay.sh none). The probe stands in for the Java runtime: it writes
# javaw.record into its working directory when it has run.
set -uo pipefail
cases=$1
wineRun=$2
prefix=$3
launcherExe=$4
probeExe=$5
work=$6

logDir=$prefix/drive_c/ProgramData/TAVEX/Kestrion
failures=0
current=

# The Windows form of a path, through Wine's Z: drive.
windowsPath() {
    printf 'Z:%s' "${1//\//\\}"
}

nowMillisec() {
    echo $(($(date +%s%N) / 1000000))
}

fail() {
    echo "    FAILED: $*"
    failures=$((failures + 1))
}

expectEqual() {
    local what=$1 expected=$2 actual=$3
    [ "$expected" = "$actual" ] || fail "$what: expected '$expected', got '$actual'"
}

expectBetween() {
    local what=$1 low=$2 high=$3 actual=$4
    if [ "$actual" -lt "$low" ] || [ "$actual" -gt "$high" ]; then
        fail "$what: expected $low to $high, got $actual"
    fi
}

# An installation $1.exe in its own folder, with the probe as the Java runtime
# and a splash of $2 milliseconds; further lines for the [splash] table follow.
install() {
    name=$1
    local millisec=$2
    shift 2
    dir=$work/$name
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$launcherExe" "$dir/$name.exe"
    cp "$probeExe" "$dir/javaw.exe"
    {
        echo "[splash]"
        echo "millisec = $millisec"
        for line in "$@"; do echo "$line"; done
        echo "[jre]"
        echo "main_jar = 'app.jar'"
        echo "[app]"
        echo "exec = '$(windowsPath "$dir/javaw.exe")'"
        echo "data_dir = '$(windowsPath "$dir")'"
    } >"$dir/$name.toml"
    mkdir -p "$logDir"
    log=$logDir/launcher$name.log
    rm -f "$log"
    record=$dir/javaw.record
}

# Starts the installation's launcher in the background.
startLauncher() {
    startedAt=$(nowMillisec)
    "$wineRun" "$prefix" "$dir/$name.exe" >/dev/null 2>&1 &
    launcherPid=$!
}

# Waits up to 30 s for the probe's record, also after the launcher has ended
# (the child outlives it); sets childAt to when the record was seen.
waitForChild() {
    childAt=
    for _ in $(seq 600); do
        if [ -f "$record" ]; then
            childAt=$(nowMillisec)
            return 0
        fi
        sleep 0.05
    done
    fail "the Java runtime (probe) was not started"
    return 1
}

# Waits for the launcher to end; sets exitCode and endedAt.
waitForLauncher() {
    wait "$launcherPid"
    exitCode=$?
    endedAt=$(nowMillisec)
}

# The colour of one pixel of the screenshot as six hex digits.
pixel() {
    convert "$shot" -format "%[hex:p{$1,$2}]" info: | cut -c1-6
}

# How many colours a rectangle (WxH+X+Y) of the screenshot holds.
coloursIn() {
    convert "$shot" -crop "$1" +repage -format %k info:
}

# Takes the screenshot once the child has started and the window has had
# time to paint; checks that the splash was still up when it was taken.
screenshot() {
    shot=$work/$name.png
    sleep 0.7
    import -window root "$shot"
    kill -0 "$launcherPid" 2>/dev/null || fail "the splash had closed before the screenshot"
}

# The launcher stays about the splash time after it started the child, and
# ends with 0.
checkLifetime() {
    local millisec=$1
    waitForLauncher
    echo "    the launcher ended $((endedAt - childAt)) ms after the child was seen," \
        "$((endedAt - startedAt)) ms after it was started"
    expectEqual "exit code" 0 "$exitCode"
    expectBetween "milliseconds from the child's start to the launcher's end" \
        $((millisec - 1000)) $((millisec + 2500)) $((endedAt - childAt))
    [ $((endedAt - startedAt)) -ge "$millisec" ] ||
        fail "the launcher lived $((endedAt - startedAt)) ms, less than the splash time"
}

run() {
    current=$1
    echo "[ RUN      ] $current"
    local before=$failures
    "$2"
    if [ "$failures" -eq "$before" ]; then
        echo "[       OK ] $current"
    else
        echo "[  FAILED  ] $current"
    fi
}

imageCentredAtItsOwnSize() {
    install SplashImage 4000 "image = 'splash.png'"
    # Four opaque quarters in four colours, none black like the screen
    # around: a shifted, flipped or scaled picture cannot match.
    convert -size 300x150 xc:'#c03020' \
        -fill '#2050c0' -draw 'rectangle 150,0 299,74' \
        -fill '#20a040' -draw 'rectangle 0,75 149,149' \
        -fill '#e0c040' -draw 'rectangle 150,75 299,149' \
        PNG32:"$dir/splash.png"
    startLauncher
    waitForChild || return
    screenshot
    # (1024 - 300) / 2 = 362, (768 - 150) / 2 = 309.
    convert "$shot" -crop 300x150+362+309 +repage PNG32:"$work/$name-window.png"
    differing=$(compare -metric AE "$work/$name-window.png" "$dir/splash.png" null: 2>&1)
    expectEqual "pixels of the window that differ from the image" 0 "$differing"
    expectEqual "pixel left of the window" 000000 "$(pixel 361 309)"
    expectEqual "pixel right of the window" 000000 "$(pixel 662 458)"
    expectEqual "pixel above the window" 000000 "$(pixel 362 308)"
    expectEqual "pixel below the window" 000000 "$(pixel 661 459)"
    checkLifetime 4000
}

defaultWindowInOneFlatColour() {
    install SplashPlain 3000
    # No image is configured, so a picture named "(null)" beside the launcher
    # is neither opened nor shown.
    convert -size 300x150 xc:'#c03020' PNG32:"$dir/(null)"
    startLauncher
    waitForChild || return
    screenshot
    # (1024 - 400) / 2 = 312, (768 - 200) / 2 = 284.
    expectEqual "colours in the 400x200 window" 1 "$(coloursIn 400x200+312+284)"
    expectEqual "colours in the window with a ring of one pixel around it" 2 \
        "$(coloursIn 402x202+311+283)"
    [ "$(pixel 312 284)" != 000000 ] || fail "the window is as black as the screen around it"
    checkLifetime 3000
    ! grep -q 'initImage' "$log" || fail "an image was looked for: $(grep initImage "$log")"
}

applicationStartsWithoutDisplay() {
    install SplashHeadless 3000
    startLauncher
    waitForLauncher
    waitForChild || return
    expectEqual "exit code" 0 "$exitCode"
    # Without a window there is nothing to wait for.
    [ $((endedAt - startedAt)) -lt 3000 ] ||
        fail "the launcher waited $((endedAt - startedAt)) ms without a splash"
    # Wine sets no error code here: the line says so rather than repeat a code
    # an earlier call left behind.
    grep -q -e ' entryAndSplash:[0-9]*:showSplash err:[1-9][0-9]* no splash window: CreateWindowEx ' \
        -e ' entryAndSplash:[0-9]*:showSplash no splash window: CreateWindowEx failed without an error code$' \
        "$log" || fail "no log line for the window that could not be made: $(cat "$log")"
}

mkdir -p "$work"
case $cases in
onScreen)
    run SplashOnScreen.ImageCentredAtItsOwnSize imageCentredAtItsOwnSize
    run SplashOnScreen.DefaultWindowInOneFlatColour defaultWindowInOneFlatColour
    ;;
withoutDisplay)
    run SplashWithoutDisplay.ApplicationStillStartsAndTheLogSaysWhy applicationStartsWithoutDisplay
    ;;
*)
    echo "unknown cases: $cases" >&2
    exit 2
    ;;
esac
[ "$failures" -eq 0 ]
