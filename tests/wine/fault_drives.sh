#!/usr/bin/env bash
# Runs the fault cases that need real drives, in a Wine prefix of their own inside the
# build tree: d: a 300 KB tmpfs that a large file fills, r: a tmpfs mounted read-only
# after an empty directory and an earlier installation were put on it. Mounting needs
# root. Whatever happens, both are unmounted and their links removed again.
#   fault_drives.sh TEST_PROGRAM BUILD_DIR   (BUILD_DIR records the prefix's architecture)
set -u
test_exe=$1
build_dir=$2
. "$(dirname "$0")/../../scripts/wine-env.sh"
wine_env "$build_dir" "$build_dir/wineprefix-faults" || exit 1
mounts="$build_dir/fault-drives"
full="$mounts/full" readonly="$mounts/readonly"

XVFB_PID=
cleanup() {
    wine_stop
    for dir in "$full" "$readonly"; do
        mountpoint -q "$dir" && umount "$dir"
    done
    rm -f "$WINEPREFIX/dosdevices/d:" "$WINEPREFIX/dosdevices/r:"
    rm -rf "$mounts"
    return 0
}
trap cleanup EXIT
if [ "$(id -u)" != 0 ]; then
    echo "fault_drives: mounting the test drives needs root" >&2
    exit 1
fi
wine_display || exit 1
wine_prefix_make || exit 1

mkdir -p "$full" "$readonly"
mount -t tmpfs -o size=300k,mode=0777 setup32-full "$full" || exit 1
mount -t tmpfs -o size=300k,mode=0777 setup32-readonly "$readonly" || exit 1
mkdir "$readonly/fresh" "$readonly/old"
for name in ovra32.exe ovaux32.exe ovra.hlp netintro.hlp guide.txt changes.txt \
    ovra.ini macros.ini menus.ini hosts.ini links.ini; do
    printf "the user's own %s" "$name" >"$readonly/old/$name"
done
printf "the user's notes" >"$readonly/old/notes.txt"
mount -o remount,ro "$readonly" || exit 1
ln -sfn "$full" "$WINEPREFIX/dosdevices/d:"
ln -sfn "$readonly" "$WINEPREFIX/dosdevices/r:"
wine reg add 'HKLM\Software\Wine\Drives' /v d: /d hd /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Wine\Drives' /v r: /d hd /f >/dev/null 2>&1
# Drive types are read when a wineserver starts.
wine_server_start "$build_dir/wine-start-faults.log" || exit 1
wine "$test_exe" --gtest_filter='MountedDriveTest.*'
