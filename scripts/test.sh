#!/usr/bin/env bash
# Builds the trees and runs every test: native ones directly (under sanitizers), Windows
# ones under Wine with one display and one persistent wineserver for the run (plain
# `ctest --test-dir build/target64` works too, only slower: each program then starts
# its own server), then, on a machine that cannot run 32-bit programs, the i686 tree's
# in an emulated guest.
#
#   test.sh              every test
#   test.sh --no-guest   every test but the i686 tree's run in the emulated guest
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
guest=yes
case "${1:-}" in
    "") ;;
    --no-guest) guest=no ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test: unknown option $1 (try --help)" >&2; exit 2 ;;
esac
bash "$root/scripts/build.sh"

status=0
ctest --test-dir "$root/build/native" --output-on-failure --timeout 600 -j "$(nproc)" || status=1

# Wine runs in the build tree's own prefix only; a WINEPREFIX of the user's is never used.
. "$root/scripts/wine-env.sh"
wine_tree "$root"
wine_env "$WINE_TREE" "$WINE_TREE/wineprefix"
[ "$WINE_ARCH" = win32 ] || echo "test: this machine cannot run 32-bit programs; the Windows tests run the 64-bit build in $WINE_TREE" >&2
wine_display_until_exit
wine_prefix_make
wine_server_start "$WINE_TREE/wine-start.log"
# One at a time: the Wine tests share the prefix's c:\ovra.tmp and the Windows
# directory's ovra.ini, which a test running beside them would delete or replace.
ctest --test-dir "$WINE_TREE" --output-on-failure --timeout 600 || status=1

# The product is the i686 build. Where it cannot run here, the host's Wine results come
# from the x86_64 build, and the i686 tree's tests run in an emulated 64-bit guest.
if [ "$WINE_TREE" != "$root/build/target" ] && [ $guest = yes ]; then
    wine_stop
    trap - EXIT
    echo "test: the i686 tree's Wine tests, in an emulated guest (scripts/test-i686-in-guest.sh)" >&2
    bash "$root/scripts/test-i686-in-guest.sh" || status=1
fi
exit $status
