#!/usr/bin/env bash
# The Windows build of mksetup under Wine against the native one on the demo
# payload: build, list, extract, compress and expand give the same bytes, leave no
# temporary files, and a refusal gives the same one-line message.
#   mksetup_windows.sh WINDOWS_MKSETUP SOURCE_DIR
set -u
windows_tool=$1 source=$2
native="$source/out/mksetup" stub="$source/out/setup32-stub.exe" payload="$source/out/payload"
[ -x "$native" ] || { echo "mksetup_windows: $native is missing: scripts/build.sh makes it" >&2; exit 1; }
run_wine="$source/scripts/wine-run.sh"
work=$(mktemp -d "$(dirname "$windows_tool")/mksetup-windows.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

# Both tools run in the same folder on relative names, so that their messages
# name the same files. The Windows one's text output ends its lines with CR LF.
mkdir -p "$work/n" "$work/w"
cp -r "$payload" "$work/n/payload"
cp -r "$payload" "$work/w/payload"
cp "$stub" "$work/n/stub.exe"
cp "$stub" "$work/w/stub.exe"
both() {  # label, arguments...
    local label=$1
    shift
    (cd "$work/n" && "$native" "$@" >"$work/$label.n.out" 2>"$work/$label.n.err"; echo $? >"$work/$label.n.rc")
    (cd "$work/w" && timeout 120 bash "$run_wine" "$windows_tool" "$@" >"$work/$label.w.raw" 2>"$work/$label.w.rawerr"
     echo $? >"$work/$label.w.rc")
    tr -d '\r' <"$work/$label.w.raw" >"$work/$label.w.out"
    tr -d '\r' <"$work/$label.w.rawerr" >"$work/$label.w.err"
    cmp -s "$work/$label.n.rc" "$work/$label.w.rc" || fail "$label: exit $(cat "$work/$label.n.rc") natively, $(cat "$work/$label.w.rc") on Windows"
    cmp -s "$work/$label.n.out" "$work/$label.w.out" || fail "$label: output differs: $(diff "$work/$label.n.out" "$work/$label.w.out")"
    cmp -s "$work/$label.n.err" "$work/$label.w.err" || fail "$label: errors differ: $(diff "$work/$label.n.err" "$work/$label.w.err")"
}
same_file() {  # relative name
    cmp -s "$work/n/$1" "$work/w/$1" || fail "$1 differs between the two tools"
}

both build build --stub stub.exe --out setup.exe payload
same_file setup.exe
cmp -s "$work/n/setup.exe" "$source/out/setup32.exe" || fail "the native build differs from out/setup32.exe"
both list list setup.exe
both extract extract setup.exe x
for f in "$payload"/*; do
    same_file "x/$(basename "$f")"
    cmp -s "$work/w/x/$(basename "$f")" "$f" || fail "extracted $(basename "$f") differs from the payload"
done
both compress compress payload/guide.txt guide.tx_
same_file guide.tx_
both expand expand guide.tx_ guide.back
same_file guide.back
both refusal compress missing.txt out.bin
[ "$(wc -l <"$work/refusal.w.err")" -eq 1 ] || fail "refusal: not one line: $(cat "$work/refusal.w.err")"
[ "$(cat "$work/refusal.w.rc")" != 0 ] || fail "refusal: exit 0"

leftovers=$(find "$work/n" "$work/w" -name '*.partial-*')
[ -z "$leftovers" ] || fail "temporary files left: $leftovers"
[ ! -e "$work/w/out.bin" ] || fail "the refusal left an output"
[ $failures -eq 0 ] && echo "mksetup_windows: the Windows tool gives the native tool's bytes and messages"
exit $((failures > 0))
