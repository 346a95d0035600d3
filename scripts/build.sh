#!/usr/bin/env bash
# Builds the trees from one source (native tools and tests; the i686 Windows target)
# and leaves the artifacts in out/: mksetup, setup32-stub.exe and the demo setup32.exe.
# On a machine that cannot run 32-bit programs it also builds build/target64, the same
# Windows sources for 64-bit Wine, so that the Windows tests still run for real. Which
# Windows tree runs here is decided once, now, and recorded in build/wine-tree.
# Each tree's configure and build output goes to build/TREE.log.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"

. "$root/scripts/build-tree.sh"

build_tree native -DCMAKE_BUILD_TYPE=RelWithDebInfo
build_tree target -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw.cmake" \
    -DMINGW_TRIPLET=i686-w64-mingw32

. "$root/scripts/wine-env.sh"
wine_tree=target
if ! wine_can_run_32bit; then
    echo "build: this machine cannot run 32-bit programs; the Windows tests use a 64-bit build" >&2
    wine_tree=target64
    build_tree target64 -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw.cmake" \
        -DMINGW_TRIPLET=x86_64-w64-mingw32
fi
echo "$wine_tree" >"$root/build/wine-tree"

mkdir -p "$root/out"
install -m 755 "$root/build/native/mksetup" "$root/out/mksetup"
install -m 644 "$root/build/target/setup32-stub.exe" "$root/out/setup32-stub.exe"
rm -rf "$root/out/payload"
mkdir -p "$root/out/payload"
cp "$root"/resources/payload/*.txt "$root"/resources/payload/*.ini "$root"/resources/payload/*.hlp "$root/out/payload/"
cp "$root/build/target/demo/ovra32.exe" "$root/build/target/demo/ovaux32.exe" "$root/out/payload/"
"$root/out/mksetup" build --stub "$root/out/setup32-stub.exe" --out "$root/out/setup32.exe" "$root/out/payload"
echo "build: out/mksetup, out/setup32-stub.exe, out/setup32.exe"
