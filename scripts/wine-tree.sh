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
