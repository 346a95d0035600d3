#!/usr/bin/env bash
# A publisher's own installer through `scripts/run.sh --installer`: a payload of this
# test's own (one item made by the classic compressor, kept as it is) packed with the
# shipped installer program, run without a display, walked through with screenshots.
# What it installed must be the payload, the payload it ran must be the installer's own
# byte for byte, and a file that is no installer is refused before Wine starts.
#   run_installer.sh SOURCE_DIR BUILD_DIR
set -u
source=$1 build=$2
mksetup="$source/out/mksetup" stub="$source/out/setup32-stub.exe"
[ -x "$mksetup" ] || { echo "run_installer: $mksetup is missing: scripts/build.sh makes it" >&2; exit 1; }
work=$(mktemp -d "$build/run-installer.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
# The run's own folder and prefix, kept between runs so that the prefix is made once.
run="$build/run-installer"

mkdir -p "$work/payload"
names=(ovra32.exe ovaux32.exe ovra.hlp netintro.hlp guide.txt changes.txt ovra.ini macros.ini menus.ini hosts.ini links.ini)
for name in "${names[@]}"; do
    { echo "[$name] of the run_installer test"; seq 1 $((${#name} * 40)); } >"$work/payload/$name"
done
if command -v mscompress >/dev/null 2>&1; then
    cp "$work/payload/guide.txt" "$work/guide.txt"
    mscompress "$work/guide.txt" && mv "$work/guide.txt_" "$work/payload-guide.tx_"
fi
mkdir -p "$work/in"
cp "$work"/payload/* "$work/in/"
[ -f "$work/payload-guide.tx_" ] && cp "$work/payload-guide.tx_" "$work/in/guide.txt"
"$mksetup" build --quiet --stub "$stub" --out "$work/mine.exe" "$work/in" || { fail "the test's installer was not built"; exit 1; }

env -u DISPLAY SETUP32_RUN_DIR="$run" SETUP32_RUN_TREE="$build" timeout 900 bash "$source/scripts/run.sh" --no-build --installer "$work/mine.exe" \
    >"$work/run.log" 2>&1
code=$?
cat "$work/run.log"
[ $code -eq 0 ] || fail "run.sh --installer exited with $code"

# The payload it ran is the installer's own, from the first item's marker to the end.
first() { "$mksetup" list "$1" | sed -n 's/^program \([0-9]*\) bytes, .*/\1/p'; }
mine=$(first "$work/mine.exe") ran=$(first "$run/setup32.exe")
if [ -z "$mine" ] || [ -z "$ran" ]; then
    fail "the installer it ran does not list"
elif ! cmp -s <(tail -c +$((mine + 1)) "$work/mine.exe") <(tail -c +$((ran + 1)) "$run/setup32.exe"); then
    fail "the payload it ran differs from the installer's"
fi
if [ "$(cat "$build/wine-arch")" = win64 ]; then
    grep -q "cannot run 32-bit programs; the installer runs as the 64-bit build of its program with its payload unchanged" \
        "$work/run.log" || fail "the repacking is not said"
fi
for shot in 1-idle.png 2-installing.png 3-success.png; do
    [ -s "$run/screenshots/$shot" ] || fail "no screenshot $shot"
done
# Installed as the test's payload, and compared with extract by the script.
for name in "${names[@]}"; do
    cmp -s "$work/payload/$name" "$run/wineprefix/drive_c/ovra/$name" || fail "$name is not installed as given"
done
[ "$(grep -c '^compare: .* installed as mksetup extract gives it' "$work/run.log")" -eq 11 ] \
    || fail "not every file is compared with mksetup extract"
grep -q '^run: every file installed in c:\\ovra is the one mksetup extract gives$' "$work/run.log" \
    || fail "the comparison's result is not said"

# A file that is no installer: refused, one exit, no Wine run.
env -u DISPLAY SETUP32_RUN_DIR="$work/none" SETUP32_RUN_TREE="$build" bash "$source/scripts/run.sh" --no-build --installer "$work/payload/guide.txt" \
    >"$work/refused.log" 2>&1
[ $? -eq 1 ] || fail "a file that is no installer was not refused: $(cat "$work/refused.log")"
grep -q "is not an installer that would run" "$work/refused.log" || fail "refusal: $(cat "$work/refused.log")"
[ ! -e "$work/none" ] || fail "the refused run made a run folder"

[ $failures -eq 0 ] && echo "run_installer: the publisher's installer ran here and installed its own payload"
exit $((failures > 0))
