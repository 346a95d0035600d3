# Sourced by the scripts that run Windows programs: which build tree's programs Wine
# can run on this machine. The product is the i686 build; a machine whose kernel will
# not run 32-bit Linux programs (so 32-bit Wine cannot start) runs the tests on a
# 64-bit build of the same sources under 64-bit Wine instead.
wine_can_run_32bit() {
    local loader
    for loader in /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine; do
        [ -x "$loader" ] && "$loader" --version >/dev/null 2>&1 && return 0
    done
    return 1
}

# Sets WINE_TREE (the build tree whose Windows programs run here) and WINE_ARCH.
choose_wine_tree() {
    local root=$1
    if wine_can_run_32bit; then
        WINE_TREE="$root/build/target" WINE_ARCH=win32
    else
        WINE_TREE="$root/build/target64" WINE_ARCH=win64
    fi
}

# Debian's wine and wine-stable commands always pick the 32-bit loader when it is
# installed, even where it cannot run; for a 64-bit tree the commands are pointed at
# the 64-bit loader through two small shims in the tree (wineboot and the other
# tools run wine-stable from PATH).
use_wine64_loader() {
    local tree=$1 bin name
    bin="$tree/wine64-bin"
    mkdir -p "$bin"
    for name in wine wine-stable; do
        printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$bin/$name"
        chmod 755 "$bin/$name"
    done
    export WINELOADER=/usr/lib/wine/wine64 PATH="$bin:$PATH"
}

# For a script that runs Windows programs of TREE: exports the environment Wine runs
# in (the tree's own prefix, quiet, no Unix menu entries: winemenubuilder would write
# them for the test group into the user's own ~/.local/share and keep CTest's output
# pipe open), starts an Xvfb of its own when there is no display, and stops the
# prefix's server and that Xvfb when the script exits. Needs choose_wine_tree first.
start_wine_session() {
    local tree=$1
    [ "$WINE_ARCH" = win64 ] && use_wine64_loader "$tree"
    export WINEPREFIX="$tree/wineprefix" WINEARCH=$WINE_ARCH WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    XVFB_PID=
    trap stop_wine_session EXIT
    if [ -z "${DISPLAY:-}" ]; then
        . "$(dirname "${BASH_SOURCE[0]}")/xvfb.sh"
        start_xvfb
    fi
}

stop_wine_session() {
    # When no server is running for the prefix there is nothing to stop.
    wineserver -k 2>/dev/null || true
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
    return 0
}
