#!/usr/bin/env bash
# Builds both trees and runs every test: native ones directly (under sanitizers),
# Windows ones under Wine with one display and one persistent wineserver for the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"

export WINEPREFIX="$root/build/target/wineprefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
xvfb_pid=
cleanup() {
    wineserver -k 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    return 0
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    for n in $(seq 60 89); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        xvfb_pid=$!
        for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
        if kill -0 "$xvfb_pid" 2>/dev/null; then export DISPLAY=":$n"; break; fi
        xvfb_pid=
    done
fi
# Make the prefix (once) through the wrapper, then keep its wineserver up for the run.
bash "$root/scripts/wine-run.sh" cmd /c exit >/dev/null 2>&1 || true
wineserver -p
status=0
ctest --test-dir "$root/build/native" --output-on-failure -j "$(nproc)" || status=1
ctest --test-dir "$root/build/target" --output-on-failure || status=1
exit $status
