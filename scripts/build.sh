#!/usr/bin/env bash
# Builds both trees from one source (native tools and tests; the i686 Windows target)
# and leaves the artifacts in out/: mksetup, setup32-stub.exe and the demo setup32.exe.
# On a machine that cannot run 32-bit programs it also builds build/target64, the same
# Windows sources for 64-bit Wine, so that the Windows tests still run for real.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
jobs=$(nproc)

cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$root/build.log" 2>&1 \
    || { cat "$root/build.log" >&2; exit 1; }
cmake --build "$root/build/native" -j "$jobs" >>"$root/build.log" 2>&1 || { cat "$root/build.log" >&2; exit 1; }

cmake -S "$root" -B "$root/build/target" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >>"$root/build.log" 2>&1 \
    || { cat "$root/build.log" >&2; exit 1; }
cmake --build "$root/build/target" -j "$jobs" >>"$root/build.log" 2>&1 || { cat "$root/build.log" >&2; exit 1; }

. "$root/scripts/wine-tree.sh"
choose_wine_tree "$root"
if [ "$WINE_TREE" != "$root/build/target" ]; then
    echo "build: this machine cannot run 32-bit programs; the Windows tests use a 64-bit build" >&2
    cmake -S "$root" -B "$WINE_TREE" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" >>"$root/build.log" 2>&1 \
        || { cat "$root/build.log" >&2; exit 1; }
    cmake --build "$WINE_TREE" -j "$jobs" >>"$root/build.log" 2>&1 || { cat "$root/build.log" >&2; exit 1; }
fi

mkdir -p "$root/out"
install -m 755 "$root/build/native/mksetup" "$root/out/mksetup"
install -m 644 "$root/build/target/setup32-stub.exe" "$root/out/setup32-stub.exe"
rm -rf "$root/out/payload"
mkdir -p "$root/out/payload"
cp "$root"/resources/payload/*.txt "$root"/resources/payload/*.ini "$root"/resources/payload/*.hlp "$root/out/payload/"
cp "$root/build/target/demo/ovra32.exe" "$root/build/target/demo/ovaux32.exe" "$root/out/payload/"
"$root/out/mksetup" build --stub "$root/out/setup32-stub.exe" --out "$root/out/setup32.exe" "$root/out/payload"
echo "build: out/mksetup, out/setup32-stub.exe, out/setup32.exe"
