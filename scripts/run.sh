#!/usr/bin/env bash
# The main job: builds everything, then shows the demo installer's contents and checks it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
"$root/out/mksetup" list "$root/out/setup32.exe"
