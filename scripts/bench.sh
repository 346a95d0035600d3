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
bash "$root/scripts/wine-run.sh" "$WINE_TREE/scan_bench.exe"
SETUP32_SWEEP=full bash "$root/scripts/wine-run.sh" "$WINE_TREE/corruption_sweep.exe"
