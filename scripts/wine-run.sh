#!/usr/bin/env bash
# Runs one Windows program under Wine for CTest: an isolated 32-bit prefix inside the
# build tree (made once, shared by later runs), quiet Wine, and an Xvfb display of its
# own when none is set. Stops what it started; passes the program's exit code on.
set -u
exe=$1; shift

if [ -z "${WINEPREFIX:-}" ]; then
    dir=$(cd "$(dirname "$exe")" && pwd)
    while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
    [ "$dir" = / ] && dir=$(cd "$(dirname "$exe")" && pwd)
    export WINEPREFIX="$dir/wineprefix"
fi
export WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

XVFB_PID=
cleanup() { [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null; }
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    . "$(dirname "$0")/xvfb.sh"
    start_xvfb
fi

# One prefix per build tree, made once; concurrent first runs wait for each other.
mkdir -p "$(dirname "$WINEPREFIX")"
(
    flock 9
    if [ ! -f "$WINEPREFIX/.setup32-ready" ]; then
        rm -rf "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1
        # Without a window manager every hidden window otherwise costs 2 s.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.setup32-ready"
    fi
) 9>"$WINEPREFIX.lock"

wine "$exe" "$@"
