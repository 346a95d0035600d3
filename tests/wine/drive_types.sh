#!/usr/bin/env bash
# Runs the drive-type cases of the dialog test in a Wine prefix of their own inside
# the build tree: d: a fixed disk, e: a CD-ROM, f: a network drive. Wine reads drive
# types when a wineserver starts, so this prefix's server is restarted after they are
# written; the shared prefix and its persistent server are left alone.
set -u
test_exe=$1
build_dir=$2
wine=${WINE:-wine}
export WINEPREFIX="$build_dir/wineprefix-drives" WINEARCH=${WINEARCH:-win32} WINEDEBUG=-all
# No menu entries on the Unix desktop for the group the tests create: winemenubuilder
# would write them into the user's own ~/.local/share and keep CTest's output pipe open.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

XVFB_PID=
cleanup() {
    wineserver -k 2>/dev/null
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
    return 0
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    . "$(dirname "$0")/../../scripts/xvfb.sh"
    start_xvfb
fi

if [ ! -f "$WINEPREFIX/.setup32-ready" ]; then
    rm -rf "$WINEPREFIX"
    "$wine" wineboot -i >/dev/null 2>&1
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    touch "$WINEPREFIX/.setup32-ready"
fi
for drive in d:hd e:cdrom f:network; do
    letter=${drive%%:*}
    mkdir -p "$WINEPREFIX/drive_c/drive_$letter"
    ln -sfn "$WINEPREFIX/drive_c/drive_$letter" "$WINEPREFIX/dosdevices/$letter:"
    "$wine" reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /d "${drive#*:}" /f >/dev/null 2>&1
done
wineserver -k 2>/dev/null
timeout 60 wineserver -w
wineserver -p
"$wine" cmd /c exit >/dev/null 2>&1
"$wine" "$test_exe" --gtest_filter='DriveTypeTest.*'
