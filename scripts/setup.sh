#!/usr/bin/env bash
# Installs every Debian package the project needs (idempotent; quiet when all is there).
set -euo pipefail

packages=(cmake ninja-build g++ googletest wine wine32:i386 wine64 g++-mingw-w64-i686
          g++-mingw-w64-x86-64-posix
          mingw-w64-tools xvfb xauth mscompress libmspack-dev imagemagick
          osslsigncode openssl man-db dpkg-dev)

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
