#!/usr/bin/env bash
# Builds the trees and runs the benchmarks; they print their figures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
"$root/build/native/size_bench" "$root/out/setup32-stub.exe"
"$root/build/native/szdd_bench"
# The demo installer as a payload item: an item that holds eleven markers.
"$root/build/native/marker_bench" "$root/out/setup32.exe"
# The packer's time and peak memory as the payload grows (BENCH_SCALE_MB: 1 20 200).
# shellcheck disable=SC2086
bash "$root/bench/scale_bench.sh" "$root/out/mksetup" "$root/out/setup32-stub.exe" ${BENCH_SCALE_MB:-1 20 200}
# Refusing a 1 GB file that is no program: every command decides from its headers.
bash "$root/bench/refusal_bench.sh" "$root/out/mksetup"
# Signing: osslsigncode alone against mksetup sign and balance.
bash "$root/bench/sign_bench.sh" "$root/out/mksetup" "$root/out/setup32-stub.exe" "$root/out/setup32.exe" "$root/out/payload"

# The Windows benchmarks share one display and the tree's own prefix; both are
# stopped at the end, so no Wine program is left talking to a display that has gone.
. "$root/scripts/wine-env.sh"
wine_tree "$root"
wine_env "$WINE_TREE" "$WINE_TREE/wineprefix"
wine_display_until_exit
bash "$root/scripts/wine-run.sh" "$WINE_TREE/scan_bench.exe"
# The whole installer program, from the click on "&Install" to its success message.
# Its times depend on what else the machine is doing.
echo "load average before the installation runs: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) processors"
bash "$root/scripts/wine-run.sh" "$WINE_TREE/install_bench.exe"
# Single changed bytes over the whole payload, and swaps the checksum cannot see.
SETUP32_SWEEP=full bash "$root/scripts/wine-run.sh" "$WINE_TREE/corruption_sweep.exe"
