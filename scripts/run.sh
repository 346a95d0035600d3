#!/usr/bin/env bash
# The main job: builds everything, runs the codec on a sample, shows the demo
# installer's contents and checks it, then runs the demo installer for real from
# drive c: of a Wine prefix of its own (build/run/wineprefix), so that it proposes
# c:\ovra. With a display the user drives it; without one it is walked through under
# an Xvfb of its own and leaves a screenshot of each stage in build/run/screenshots.
# Afterwards it lists what was installed.
#
#   run.sh [--installer FILE] [--no-build]
#
# --installer FILE runs a publisher's own installer the same way instead of the demo,
# and compares what it installed with what `mksetup extract FILE` gives. --no-build
# skips the build (the trees must have been built). SETUP32_RUN_DIR, when set, is the
# folder used instead of build/run, and SETUP32_RUN_TREE the Windows tree whose programs
# run instead of the one scripts/build.sh chose (the tests' own run, from their tree).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage() {
    echo "usage: run.sh [--installer FILE] [--no-build]" >&2
    exit 2
}
installer= build=1
while [ $# -gt 0 ]; do
    case $1 in
        --installer)
            [ $# -ge 2 ] || usage
            installer=$2
            shift 2 ;;
        --no-build) build=; shift ;;
        -h|--help) sed -n '2,15s/^# \{0,1\}//p' "$0"; exit 0 ;;
        *) echo "run: unknown argument '$1'" >&2; usage ;;
    esac
done
if [ -n "$installer" ]; then
    [ -f "$installer" ] || { echo "run: '$installer' is not a file" >&2; exit 1; }
    installer=$(cd "$(dirname "$installer")" && pwd)/$(basename "$installer")
fi
[ -z "$build" ] || bash "$root/scripts/build.sh"
mksetup="$root/out/mksetup"
[ -x "$mksetup" ] || { echo "run: $mksetup is missing: scripts/build.sh makes it" >&2; exit 1; }
work=$(mktemp -d)
XVFB_PID=
own_prefix=
cleanup() {
    # Only this script's own prefix and display, never a WINEPREFIX of the user's.
    [ -n "$own_prefix" ] && wine_stop
    rm -rf "$work"
}
trap cleanup EXIT

# repack FILE STUB OUT: FILE's payload, every byte from its first item's marker to
# its end, behind the installer program STUB instead of its own. The checksum covers
# only the payload, so it is the same: it goes into STUB's slot. STUB gets the one
# alignment byte the installer's scan may need after it; `mksetup list` judges both.
repack() {
    local file=$1 stub=$2 out=$3 listing first sum tag align
    listing=$("$mksetup" list "$file") || return 1
    first=$(sed -n 's/^program \([0-9]*\) bytes, .*/\1/p' <<<"$listing")
    sum=$(sed -n 's/^checksum 0x\([0-9A-F]\{8\}\), .*/\1/p' <<<"$listing")
    tag=$(grep -obUaF OvraSum1 "$stub" | cut -d: -f1 || true)
    if [ -z "$first" ] || [ -z "$sum" ] || [ "$(wc -w <<<"$tag")" -ne 1 ]; then
        echo "run: cannot repack '$file' behind $stub" >&2
        return 1
    fi
    for align in "" 0; do
        cp "$stub" "$out.new"
        printf "\\x${sum:6:2}\\x${sum:4:2}\\x${sum:2:2}\\x${sum:0:2}" |
            dd of="$out.new" bs=1 seek=$((tag + 8)) conv=notrunc status=none
        [ -z "$align" ] || printf '\0' >>"$out.new"
        tail -c +$((first + 1)) "$file" >>"$out.new"
        if "$mksetup" list "$out.new" >/dev/null 2>&1; then
            mv "$out.new" "$out"
            return 0
        fi
    done
    rm -f "$out.new"
    echo "run: '$file' behind $stub does not scan as an installer" >&2
    return 1
}

if [ -z "$installer" ]; then
    sample="$root/resources/payload/guide.txt"
    "$mksetup" compress "$sample" "$work/guide.tx_"
    "$mksetup" expand "$work/guide.tx_" "$work/guide.txt"
    cmp "$sample" "$work/guide.txt"
    echo "codec: guide.txt $(stat -c %s "$sample") bytes -> $(stat -c %s "$work/guide.tx_") compressed -> expanded back byte for byte"
    "$mksetup" list "$root/out/setup32.exe"
else
    echo "run: $installer:"
    "$mksetup" list "$installer" || { echo "run: '$installer' is not an installer that would run" >&2; exit 1; }
fi

# The product is the 32-bit installer; where 32-bit programs cannot run, the same
# installer is packed from the 64-bit build of the program and runs in a 64-bit prefix.
. "$root/scripts/wine-env.sh"
if [ -n "${SETUP32_RUN_TREE:-}" ]; then
    WINE_TREE=$SETUP32_RUN_TREE
else
    wine_tree "$root"
fi
run=${SETUP32_RUN_DIR:-$root/build/run}
mkdir -p "$run"
wine_env "$WINE_TREE" "$run/wineprefix"
own_prefix=$WINEPREFIX
if [ "$WINE_ARCH" = win32 ]; then
    cp "${installer:-$root/out/setup32.exe}" "$run/setup32.exe"
elif [ -z "$installer" ]; then
    echo "run: this machine cannot run 32-bit programs; the demo installer is packed from the 64-bit build" >&2
    "$mksetup" build --stub "$WINE_TREE/setup32-stub.exe" --out "$run/setup32.exe" "$root/out/payload" >/dev/null
else
    echo "run: this machine cannot run 32-bit programs; the installer runs as the 64-bit build of its program" \
         "with its payload unchanged, byte for byte" >&2
    repack "$installer" "$WINE_TREE/setup32-stub.exe" "$run/setup32.exe"
fi

headless=
if [ -z "${DISPLAY:-}" ]; then
    headless=1
    wine_display
fi
wine_prefix_make
c="$WINEPREFIX/drive_c"
cp "$run/setup32.exe" "$c/setup32.exe"
walkthrough="$WINE_TREE/demo_walkthrough.exe"
what=${installer:+the installer}
what=${what:-the demo installer}

if [ -z "$headless" ]; then
    echo "run: $what c:\\setup32.exe is on your display ($DISPLAY); the script waits for it to end"
    set +e
    (cd "$c" && wine 'c:\setup32.exe' >"$run/installer.log" 2>&1)
    code=$?
    set -e
    echo "run: the installer ended with exit code $code"
else
    # A fresh installation each time, so the screenshots show the same complete run.
    rm -rf -- "$c/ovra" "$c/windows/ovra.ini"
    rm -rf -- "$c"/users/*/AppData/Roaming/Microsoft/Windows/'Start Menu'/Programs/Ovra
    shots="$run/screenshots"
    rm -rf -- "$shots"
    mkdir -p "$shots"
    echo "run: no display: $what is walked through on an Xvfb of its own ($DISPLAY)"
    set +e
    timeout 600 wine "$walkthrough" run 'c:\setup32.exe' "$shots" >"$run/walkthrough.log" 2>&1
    code=$?
    set -e
    tr -d '\r' <"$run/walkthrough.log"
    if [ $code -ne 0 ]; then
        echo "run: the walk-through failed (exit code $code); screenshots so far in $shots" >&2
        exit 1
    fi
    echo "run: screenshots of each stage in $shots:"
    ls -l "$shots"
fi
timeout 120 wine "$walkthrough" list 'c:\ovra' >"$run/installed.log" 2>&1 || true
tr -d '\r' <"$run/installed.log"

# A publisher's installer: each installed file against the same file from
# `mksetup extract`, the packer's own reading of the installer.
if [ -n "$installer" ]; then
    "$mksetup" extract "$installer" "$work/extracted" >/dev/null
    if [ ! -d "$c/ovra" ]; then
        echo "run: nothing was installed in c:\\ovra (another folder chosen, or the installation ended early); nothing to compare"
        [ -z "$headless" ]
        exit
    fi
    differ=0
    for f in "$work"/extracted/*; do
        name=$(basename "$f")
        if cmp -s "$f" "$c/ovra/$name"; then
            echo "compare: $name installed as mksetup extract gives it ($(stat -c %s "$f") bytes)"
        else
            echo "compare: $name DIFFERS from what mksetup extract gives" >&2
            differ=1
        fi
    done
    [ $differ -eq 0 ] || { echo "run: the installation differs from the installer's contents" >&2; exit 1; }
    echo "run: every file installed in c:\\ovra is the one mksetup extract gives"
fi
[ -z "$headless" ] || [ "$code" -eq 0 ]
