#!/usr/bin/env bash
# Builds both trees and runs the benchmarks; they print their figures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
. "$root/scripts/wine-tree.sh"
choose_wine_tree "$root"
[ "$WINE_ARCH" = win64 ] && use_wine64_loader "$WINE_TREE"
"$root/build/native/size_bench" "$root/out/setup32-stub.exe"
"$root/build/native/szdd_bench"
"$root/build/native/marker_bench"
# The packer's time and peak memory as the payload grows (BENCH_SCALE_MB: 1 20 200).
# shellcheck disable=SC2086
bash "$root/bench/scale_bench.sh" "$root/out/mksetup" "$root/out/setup32-stub.exe" ${BENCH_SCALE_MB:-1 20 200}

# The Windows benchmarks share one display and the tree's own prefix; both are
# stopped at the end, so no Wine program is left talking to a display that has gone.
export WINEPREFIX="$WINE_TREE/wineprefix" WINEARCH=$WINE_ARCH WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
XVFB_PID=
cleanup() {
    wineserver -k 2>/dev/null || true
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
    return 0
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    . "$root/scripts/xvfb.sh"
    start_xvfb
fi
bash "$root/scripts/wine-run.sh" "$WINE_TREE/scan_bench.exe"
# The whole installer program, from the click on "&Install" to its success message.
# Its times depend on what else the machine is doing.
echo "load average before the installation runs: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) processors"
bash "$root/scripts/wine-run.sh" "$WINE_TREE/install_bench.exe"
# Single changed bytes over the whole payload, and swaps the checksum cannot see.
SETUP32_SWEEP=full bash "$root/scripts/wine-run.sh" "$WINE_TREE/corruption_sweep.exe"
