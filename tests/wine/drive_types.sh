#!/usr/bin/env bash
# Runs the drive-type cases of the dialog test in a Wine prefix of their own inside
# the build tree: d: a fixed disk, e: a CD-ROM, f: a network drive. Wine reads drive
# types when a wineserver starts, so this prefix's server is restarted after they are
# written; the shared prefix and its persistent server are left alone.
#   drive_types.sh TEST_PROGRAM BUILD_DIR   (BUILD_DIR records the prefix's architecture)
set -u
test_exe=$1
build_dir=$2
. "$(dirname "$0")/../../scripts/wine-env.sh"
wine_env "$build_dir" "$build_dir/wineprefix-drives" || exit 1

wine_display_until_exit || exit 1
wine_prefix_make || exit 1
for drive in d:hd e:cdrom f:network; do
    letter=${drive%%:*}
    mkdir -p "$WINEPREFIX/drive_c/drive_$letter"
    ln -sfn "$WINEPREFIX/drive_c/drive_$letter" "$WINEPREFIX/dosdevices/$letter:"
    wine reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /d "${drive#*:}" /f >/dev/null 2>&1
done
wine_server_start "$build_dir/wine-start-drives.log" || exit 1
wine "$test_exe" --gtest_filter='DriveTypeTest.*'
