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

started_xvfb=
cleanup() { [ -n "$started_xvfb" ] && kill "$started_xvfb" 2>/dev/null; }
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    for n in $(seq 90 140); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        started_xvfb=$!
        for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
        if kill -0 "$started_xvfb" 2>/dev/null; then export DISPLAY=":$n"; break; fi
        started_xvfb=
    done
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
