#!/usr/bin/env bash
# Builds both trees and runs every test: native ones directly (under sanitizers),
# Windows ones under Wine with one display and one persistent wineserver for the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"

status=0
ctest --test-dir "$root/build/native" --output-on-failure --timeout 600 -j "$(nproc)" || status=1

# Wine runs in the build tree's own prefix only; a WINEPREFIX of the user's is never used.
. "$root/scripts/wine-tree.sh"
choose_wine_tree "$root"
[ "$WINE_ARCH" = win32 ] || echo "test: this machine cannot run 32-bit programs; the Windows tests run the 64-bit build in $WINE_TREE" >&2
start_wine_session "$WINE_TREE"
# Make the prefix (once) through the wrapper, then keep its wineserver up for the run.
bash "$root/scripts/wine-run.sh" --prepare "$WINE_TREE"
timeout 60 wineserver -w || wineserver -k
wineserver -p
# Start Wine's own services now: started from inside a test they would inherit
# CTest's output pipe and, living on with the persistent server, never close it.
if ! wine cmd /c exit >"$WINE_TREE/wine-start.log" 2>&1; then
    echo "test: Wine does not start in $WINEPREFIX:" >&2
    cat "$WINE_TREE/wine-start.log" >&2
    exit 1
fi
# One at a time: the Wine tests share the prefix's c:\ovra.tmp and the Windows
# directory's ovra.ini, which a test running beside them would delete or replace.
ctest --test-dir "$WINE_TREE" --output-on-failure --timeout 600 || status=1
exit $status
