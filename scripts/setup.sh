#!/usr/bin/env bash
# Installs every Debian package the project needs (idempotent; quiet when all is there).
#   setup.sh        what the build, the tests, run.sh and bench.sh need
#   setup.sh fuzz   that, and clang with its libFuzzer run-time for scripts/fuzz.sh
#   setup.sh guest  that, and the emulator and busybox of scripts/test-i686-in-guest.sh
set -euo pipefail

packages=(cmake ninja-build g++ googletest wine wine32:i386 wine64 g++-mingw-w64-i686
          g++-mingw-w64-x86-64-posix
          mingw-w64-tools xvfb xauth mscompress libmspack-dev imagemagick
          osslsigncode openssl man-db dpkg-dev clang-format)
case "${1:-}" in
    "") ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    guest) packages+=(qemu-system-x86 busybox-static) ;;
    *) echo "usage: setup.sh [fuzz|guest]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages (${missing[*]}); run this script as root" >&2
    exit 1
fi
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
