#!/usr/bin/env bash
# Runs one Windows program under Wine for CTest: an isolated prefix (32-bit, or 64-bit
# for a tree built for 64-bit Windows) inside the
# build tree (made once, shared by later runs), quiet Wine, and an Xvfb display of its
# own when none is set. Stops what it started; passes the program's exit code on.
#
#   wine-run.sh PROGRAM [ARGS...]   run PROGRAM, which lives in a CMake build tree
#   wine-run.sh --prepare BUILD_DIR make BUILD_DIR's prefix (if needed) and stop
#
# The only prefix this script creates, deletes or runs in is BUILD_DIR/wineprefix: the
# tests write and delete files in the prefix (c:\ovra.tmp, ovra.ini in the Windows
# directory), so a prefix of the user's own is refused, never used or deleted.
set -u

# The nearest directory at or above $1 that holds a CMakeCache.txt, or nothing.
build_tree_of() {
    local dir
    dir=$(cd "$1" 2>/dev/null && pwd -P) || return 0
    while [ "$dir" != / ]; do
        [ -f "$dir/CMakeCache.txt" ] && { printf '%s\n' "$dir"; return 0; }
        dir=$(dirname "$dir")
    done
}

prepare_only=
if [ "${1:-}" = --prepare ]; then
    [ $# -eq 2 ] || { echo "usage: wine-run.sh --prepare BUILD_DIR" >&2; exit 2; }
    prepare_only=1
    tree=$(build_tree_of "$2")
    [ -n "$tree" ] || { echo "wine-run: $2 is not a CMake build tree" >&2; exit 2; }
else
    [ $# -ge 1 ] || { echo "usage: wine-run.sh PROGRAM [ARGS...]" >&2; exit 2; }
    exe=$1; shift
    tree=$(build_tree_of "$(dirname "$exe")")
    [ -n "$tree" ] || { echo "wine-run: $exe is not inside a CMake build tree, so it has no Wine prefix of its own" >&2; exit 2; }
fi
own="$tree/wineprefix"

if [ -n "${WINEPREFIX:-}" ] && [ "$(realpath -m -- "$WINEPREFIX")" != "$own" ]; then
    echo "wine-run: refusing WINEPREFIX=$WINEPREFIX: the tests write and delete files in their" \
         "prefix, so they run only in the build tree's own prefix $own; unset WINEPREFIX" >&2
    exit 2
fi
# A tree built for 64-bit Windows runs in a 64-bit prefix.
arch=win32
if grep -q 'x86_64-w64-mingw32' "$tree/CMakeCache.txt"; then
    arch=win64
    . "$(dirname "$0")/wine-tree.sh"
    use_wine64_loader "$tree"
fi
export WINEPREFIX="$own" WINEARCH=$arch WINEDEBUG=-all
# winemenubuilder is off: it would put the test group on the Unix desktop.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"

XVFB_PID=
cleanup() { [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null; }
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    . "$(dirname "$0")/xvfb.sh"
    start_xvfb
fi

# One prefix per build tree, made once; concurrent first runs wait for each other.
# A prefix without its ready mark was cut short while being made: it is made again.
(
    flock 9
    if [ ! -f "$own/.setup32-ready" ]; then
        rm -rf -- "$own"
        wineboot -i >"$own.log" 2>&1
        # Without a window manager every hidden window otherwise costs 2 s.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >>"$own.log" 2>&1
        wineserver -w
        if [ ! -f "$own/system.reg" ]; then
            echo "wine-run: cannot make the Wine prefix $own; Wine said:" >&2
            cat "$own.log" >&2
            exit 1
        fi
        touch "$own/.setup32-ready"
    fi
) 9>"$own.lock" || exit 1

[ -n "$prepare_only" ] && exit 0
wine "$exe" "$@"
