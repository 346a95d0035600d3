#!/usr/bin/env bash
# The main job: builds everything, runs the codec on a sample, shows the demo
# installer's contents and checks it, then runs the demo installer for real from
# drive c: of a Wine prefix of its own (build/run/wineprefix), so that it proposes
# c:\ovra. With a display the user drives it; without one it is walked through under
# an Xvfb of its own and leaves a screenshot of each stage in build/run/screenshots.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
work=$(mktemp -d)
XVFB_PID=
own_prefix=
cleanup() {
    # Only this script's own prefix and display, never a WINEPREFIX of the user's.
    [ -n "$own_prefix" ] && wine_stop
    rm -rf "$work"
}
trap cleanup EXIT
sample="$root/resources/payload/guide.txt"
"$root/out/mksetup" compress "$sample" "$work/guide.tx_"
"$root/out/mksetup" expand "$work/guide.tx_" "$work/guide.txt"
cmp "$sample" "$work/guide.txt"
echo "codec: guide.txt $(stat -c %s "$sample") bytes -> $(stat -c %s "$work/guide.tx_") compressed -> expanded back byte for byte"
"$root/out/mksetup" list "$root/out/setup32.exe"

# The product is the 32-bit installer; where 32-bit programs cannot run, the same
# installer is packed from the 64-bit build of the program and runs in a 64-bit prefix.
. "$root/scripts/wine-env.sh"
wine_tree "$root"
run="$root/build/run"
mkdir -p "$run"
wine_env "$WINE_TREE" "$run/wineprefix"
own_prefix=$WINEPREFIX
if [ "$WINE_ARCH" = win32 ]; then
    cp "$root/out/setup32.exe" "$run/setup32.exe"
else
    echo "run: this machine cannot run 32-bit programs; the demo installer is packed from the 64-bit build" >&2
    "$root/out/mksetup" build --stub "$WINE_TREE/setup32-stub.exe" --out "$run/setup32.exe" "$root/out/payload" >/dev/null
fi

headless=
if [ -z "${DISPLAY:-}" ]; then
    headless=1
    wine_display
fi
wine_prefix_make
c="$WINEPREFIX/drive_c"
cp "$run/setup32.exe" "$c/setup32.exe"
walkthrough="$WINE_TREE/demo_walkthrough.exe"

if [ -z "$headless" ]; then
    echo "run: the demo installer c:\\setup32.exe is on your display ($DISPLAY); the script waits for it to end"
    set +e
    (cd "$c" && wine 'c:\setup32.exe' >"$run/installer.log" 2>&1)
    code=$?
    set -e
    echo "run: the installer ended with exit code $code"
else
    # A fresh installation each time, so the screenshots show the same complete run.
    rm -rf -- "$c/ovra" "$c/windows/ovra.ini"
    rm -rf -- "$c"/users/*/AppData/Roaming/Microsoft/Windows/'Start Menu'/Programs/Ovra
    shots="$run/screenshots"
    rm -rf -- "$shots"
    mkdir -p "$shots"
    echo "run: no display: the demo installer is walked through on an Xvfb of its own ($DISPLAY)"
    set +e
    timeout 600 wine "$walkthrough" run 'c:\setup32.exe' "$shots" >"$run/walkthrough.log" 2>&1
    code=$?
    set -e
    tr -d '\r' <"$run/walkthrough.log"
    if [ $code -ne 0 ]; then
        echo "run: the walk-through failed (exit code $code); screenshots so far in $shots" >&2
        exit 1
    fi
    echo "run: screenshots of each stage in $shots:"
    ls -l "$shots"
fi
timeout 120 wine "$walkthrough" list 'c:\ovra' >"$run/installed.log" 2>&1 || true
tr -d '\r' <"$run/installed.log"
[ -z "$headless" ] || [ "$code" -eq 0 ]
