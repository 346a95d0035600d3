#!/usr/bin/env bash
# Runs one Windows program under Wine for CTest: the prefix of the program's build tree
# (made once, shared by later runs; its architecture is the one the tree records), quiet
# Wine, and an Xvfb display of its own when none is set. Stops what it started; passes
# the program's exit code on.
#
#   wine-run.sh PROGRAM [ARGS...]   run PROGRAM, which lives in a CMake build tree
#
# The only prefix this script creates, deletes or runs in is BUILD_DIR/wineprefix: the
# tests write and delete files in the prefix (c:\ovra.tmp, ovra.ini in the Windows
# directory), so a prefix of the user's own is refused, never used or deleted.
set -u
. "$(dirname "$0")/wine-env.sh"

# The nearest directory at or above $1 that holds a CMakeCache.txt, or nothing.
build_tree_of() {
    local dir
    dir=$(cd "$1" 2>/dev/null && pwd -P) || return 0
    while [ "$dir" != / ]; do
        [ -f "$dir/CMakeCache.txt" ] && { printf '%s\n' "$dir"; return 0; }
        dir=$(dirname "$dir")
    done
}

[ $# -ge 1 ] || { echo "usage: wine-run.sh PROGRAM [ARGS...]" >&2; exit 2; }
exe=$1; shift
tree=$(build_tree_of "$(dirname "$exe")")
[ -n "$tree" ] || { echo "wine-run: $exe is not inside a CMake build tree, so it has no Wine prefix of its own" >&2; exit 2; }
own="$tree/wineprefix"

if [ -n "${WINEPREFIX:-}" ] && [ "$(realpath -m -- "$WINEPREFIX")" != "$own" ]; then
    echo "wine-run: refusing WINEPREFIX=$WINEPREFIX: the tests write and delete files in their" \
         "prefix, so they run only in the build tree's own prefix $own; unset WINEPREFIX" >&2
    exit 2
fi
wine_env "$tree" "$own" || exit 2

XVFB_PID=
trap '[ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null' EXIT
wine_display || exit 1
wine_prefix_make || exit 1
wine "$exe" "$@"
