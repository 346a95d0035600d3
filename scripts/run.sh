#!/usr/bin/env bash
# The main job: builds everything, runs the codec on a sample, then shows the demo
# installer's contents and checks it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sample="$root/resources/payload/guide.txt"
"$root/out/mksetup" compress "$sample" "$work/guide.tx_"
"$root/out/mksetup" expand "$work/guide.tx_" "$work/guide.txt"
cmp "$sample" "$work/guide.txt"
echo "codec: guide.txt $(stat -c %s "$sample") bytes -> $(stat -c %s "$work/guide.tx_") compressed -> expanded back byte for byte"
"$root/out/mksetup" list "$root/out/setup32.exe"
