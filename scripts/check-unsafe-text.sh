#!/bin/sh
# Fails when the installer or the packer copies or formats text without a bound: every
# fixed buffer is filled by snprintf (with its result checked), memcpy after a length
# check, or a platform call given the buffer's size.
root=$(cd "$(dirname "$0")/.." && pwd)
pattern='\<(strcpy|strcat|sprintf|vsprintf|wsprintfA?|wvsprintfA?|lstrcpyA?|lstrcatA?|gets|strncat|_mbscpy|_mbscat|StrCpyA?|StrCatA?)[[:space:]]*\('
found=$(grep -rnE "$pattern" "$root/format" "$root/runtime" "$root/engine" "$root/ui" "$root/shell" "$root/packer" \
    --include='*.cpp' --include='*.h')
# grep answers 1 for "nothing found"; 2 (a folder gone, say) must not pass as clean.
case $? in
    0) echo "error: unbounded text copy or format; use a bounded form:" >&2
       echo "$found" >&2
       exit 1 ;;
    1) ;;
    *) echo "error: cannot search the sources for unbounded text copies" >&2
       exit 1 ;;
esac
