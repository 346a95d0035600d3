#!/usr/bin/env bash
# A whole installation with Wine's call trace on for the installer's process: every call
# made from the installer's own code (a return address inside its image) must go to
# KERNEL32, USER32, GDI32 or COMDLG32 (or the optional Ctl3d32.dll it loads by name on
# old shells), and none to a C run-time DLL. Wine's own DLLs
# import MSVCRT.DLL, so disabling it would stop any program with a window, this one or
# another; the trace shows instead what this program itself calls.
#   c_runtime_free_run.sh TEST_PROGRAM BUILD_DIR
set -u
test_exe=$1
build_dir=$2
out="$build_dir/c-runtime-free-run.out"
trace="$build_dir/c-runtime-free-run.trace"
SETUP32_TRACE_CALLS=1 bash "$(dirname "$0")/../../scripts/wine-run.sh" "$test_exe" \
    --gtest_filter='ProgramTest.TracedWholeInstallation' >"$out" 2>"$trace"
code=$?
tr -d '\r' <"$out" | grep -v '^$'
if [ $code -ne 0 ]; then
    echo "c_runtime_free_run: the traced installation failed (exit code $code)" >&2
    exit 1
fi
read -r pid base end < <(tr -d '\r' <"$out" | sed -n 's/^installer process \([0-9a-f]*\) image \([0-9a-f]*\)-\([0-9a-f]*\)$/\1 \2 \3/p')
if [ -z "${pid:-}" ]; then
    echo "c_runtime_free_run: the test named no installer process (was it skipped?)" >&2
    exit 1
fi
# Trace lines: PID:TID:Call DLL.FUNCTION(ARGUMENTS) ret=ADDRESS
calls=0
declare -A dlls=()
while IFS= read -r line; do
    address=${line##* ret=}
    [[ $address =~ ^[0-9a-f]+$ ]] || continue
    (( 16#$address >= 16#$base && 16#$address < 16#$end )) || continue
    callee=${line#*:Call }
    callee=${callee%%.*}
    callee=${callee,,}
    dlls[$callee]=$(( ${dlls[$callee]:-0} + 1 ))
    calls=$((calls + 1))
done < <(grep -a "^$pid:[0-9a-f]*:Call [A-Za-z0-9_]*\." "$trace")
status=0
for dll in "${!dlls[@]}"; do
    echo "c_runtime_free_run: ${dlls[$dll]} calls into $dll"
    case $dll in
        kernel32|user32|gdi32|comdlg32|ctl3d32) ;;
        *) echo "c_runtime_free_run: the installer called into $dll" >&2; status=1 ;;
    esac
done
if [ $calls -lt 100 ]; then
    echo "c_runtime_free_run: only $calls calls from the installer's code in the trace" >&2
    status=1
fi
[ $status -eq 0 ] && rm -f "$trace"
exit $status
