# shellcheck shell=bash
# Sourced by every script that runs Windows programs: the one place that knows how Wine
# is set up. scripts/build.sh asks once which Windows tree this machine can run and
# records it in build/wine-tree; each Windows tree records the architecture of its
# prefix in TREE/wine-arch (cmake/mingw.cmake, from the triplet). Prefixes are made here
# and nowhere else.

# Whether 32-bit Wine starts on this machine: a kernel without 32-bit support stops its
# loader with "Exec format error". Only scripts/build.sh asks.
wine_can_run_32bit() {
    local loader
    for loader in /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine; do
        [ -x "$loader" ] && "$loader" --version >/dev/null 2>&1 && return 0
    done
    return 1
}

# Sets WINE_TREE to the Windows build tree whose programs run on this machine, as
# scripts/build.sh recorded it under ROOT/build.
wine_tree() {
    local root=$1 name
    name=$(cat "$root/build/wine-tree" 2>/dev/null)
    if [ -z "$name" ] || [ ! -f "$root/build/$name/wine-arch" ]; then
        echo "wine-env: no Windows tree recorded in $root/build/wine-tree; run scripts/build.sh first" >&2
        return 1
    fi
    WINE_TREE="$root/build/$name"
}

# Debian's wine and wine-stable commands always pick the 32-bit loader when it is
# installed, even where it cannot run; for a 64-bit tree they are pointed at the 64-bit
# loader through two small shims in the tree (wineboot and the other tools run
# wine-stable from PATH). A shim is put in place by renaming, so a run starting beside
# this one never reads half of it.
use_wine64_loader() {
    local bin="$1/wine64-bin" name tmp
    mkdir -p "$bin" || return 1
    for name in wine wine-stable; do
        [ -x "$bin/$name" ] && continue
        tmp=$(mktemp "$bin/.$name.XXXXXX") || return 1
        printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$tmp"
        chmod 755 "$tmp"
        mv -f "$tmp" "$bin/$name"
    done
    case ":$PATH:" in
        *":$bin:"*) ;;
        *) PATH="$bin:$PATH" ;;
    esac
    export WINELOADER=/usr/lib/wine/wine64 PATH
}

# Exports the environment in which the programs of the Windows tree TREE run in the
# prefix PREFIX: the tree's architecture (WINE_ARCH as well), quiet Wine, no Mono or
# Gecko, and no menu entries on the Unix desktop (winemenubuilder would write them for
# the installer's group into the user's own ~/.local/share and keep CTest's output pipe
# open). Whatever WINEPREFIX was set before is replaced, never used. Wine names Unix
# files in the locale's character set, so the locale is fixed to UTF-8: a prefix's
# non-ASCII file names (an accented directory) then mean the same in every run, and a
# caller in the C locale, where they cannot be made at all, gets the same results.
wine_env() {
    local tree=$1 prefix=$2
    WINE_ARCH=$(cat "$tree/wine-arch" 2>/dev/null)
    case $WINE_ARCH in
        win32) ;;
        win64) use_wine64_loader "$tree" || return 1 ;;
        *) echo "wine-env: $tree records no Wine architecture (wine-arch); configure it with cmake/mingw.cmake" >&2
           return 1 ;;
    esac
    export WINEPREFIX="$prefix" WINEARCH=$WINE_ARCH WINEDEBUG=-all LC_ALL=C.UTF-8
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
}

# Makes the prefix of wine_env, once: runs starting together wait for each other on a
# lock, and a prefix whose ready mark does not name its architecture (cut short while
# being made, or made for the other one) is made again.
wine_prefix_make() {
    local log="$WINEPREFIX.log"
    mkdir -p "$(dirname "$WINEPREFIX")" || return 1
    (
        flock 9
        [ "$(cat "$WINEPREFIX/.setup32-ready" 2>/dev/null)" = "$WINE_ARCH" ] && exit 0
        echo "wine-env: making the Wine prefix $WINEPREFIX ($WINE_ARCH)" >&2
        rm -rf -- "$WINEPREFIX"
        wineboot -i >"$log" 2>&1
        # Without a window manager every hidden window otherwise costs 2 s; Wine then
        # also draws the captions itself, so they show in the screenshots.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >>"$log" 2>&1
        managed=$?
        wineserver -w
        if [ ! -f "$WINEPREFIX/system.reg" ] || [ $managed -ne 0 ]; then
            echo "wine-env: cannot make the Wine prefix $WINEPREFIX; Wine said:" >&2
            cat "$log" >&2
            exit 1
        fi
        # The caption buttons are drawn with this font, as letters without it.
        cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
        echo "$WINE_ARCH" >"$WINEPREFIX/.setup32-ready"
    ) 9>"$WINEPREFIX.lock"
}

# Starts an Xvfb of the script's own when there is no display; XVFB_PID is its process
# id, or empty when a display was already set.
wine_display() {
    XVFB_PID=
    [ -n "${DISPLAY:-}" ] && return 0
    . "$(dirname "${BASH_SOURCE[0]}")/xvfb.sh"
    start_xvfb
    [ -n "$XVFB_PID" ]
}

# For a script that runs Wine programs until it ends: its display (wine_display) now, and
# wine_stop when it exits.
wine_display_until_exit() {
    XVFB_PID=
    trap wine_stop EXIT
    wine_display
}

# Starts the prefix's server afresh and keeps it up until wine_stop, so the programs of a
# run do not each start and stop their own (a fresh server also reads the drive types
# anew), then starts Wine's own services: started from inside a test they would inherit
# the caller's output pipe and, living on with the persistent server, never close it.
# Wine's output goes to LOG, and is shown when Wine does not start.
wine_server_start() {
    local log=$1
    wineserver -k 2>/dev/null || true
    timeout 60 wineserver -w || true
    wineserver -p || return 1
    if ! wine cmd /c exit >"$log" 2>&1; then
        echo "wine-env: Wine does not start in $WINEPREFIX:" >&2
        cat "$log" >&2
        return 1
    fi
}

# Stops the prefix's wineserver (nothing to do when none runs) and the script's own Xvfb,
# so no Wine program is left talking to a display that has gone.
wine_stop() {
    wineserver -k 2>/dev/null
    [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null
    return 0
}
