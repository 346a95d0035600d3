#!/bin/sh
# Fails when the installer or the packer copies or formats text without a bound: every
# fixed buffer is filled by snprintf (with its result checked), memcpy after a length
# check, or a platform call given the buffer's size.
root=$(cd "$(dirname "$0")/.." && pwd)
pattern='\<(strcpy|strcat|sprintf|vsprintf|wsprintfA?|wvsprintfA?|lstrcpyA?|lstrcatA?|gets|strncat|_mbscpy|_mbscat|StrCpyA?|StrCatA?)[[:space:]]*\('
if found=$(grep -rnE "$pattern" "$root/engine" "$root/ui" "$root/shell" "$root/tools" --include='*.cpp' --include='*.h'); then
    echo "error: unbounded text copy or format; use a bounded form:" >&2
    echo "$found" >&2
    exit 1
fi
