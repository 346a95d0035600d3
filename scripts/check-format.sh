#!/bin/sh
# Fails when a C++ source of the project differs from what clang-format makes of it with
# the checkout's .clang-format, so indentation and wrapping never drift; with --fix it
# formats them in place instead. Debian 12's clang-format (14) is the reference: another
# version may wrap a few lines differently.
#   check-format.sh [--fix]
root=$(cd "$(dirname "$0")/.." && pwd)
if ! command -v clang-format >/dev/null 2>&1; then
    echo "error: clang-format is missing; scripts/setup.sh installs it" >&2
    exit 1
fi
files=$(find "$root/format" "$root/runtime" "$root/engine" "$root/ui" "$root/shell" "$root/packer" \
    "$root/resources" "$root/tests" "$root/bench" -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
[ -n "$files" ] || { echo "error: no sources found under $root" >&2; exit 1; }
case ${1:-} in
    --fix) echo "$files" | xargs clang-format -i --style=file; exit $? ;;
    "") ;;
    *) echo "check-format: unknown option $1 (usage: check-format.sh [--fix])" >&2; exit 2 ;;
esac
if ! echo "$files" | xargs clang-format --dry-run --Werror --style=file; then
    echo "error: the sources above are not formatted; bash scripts/check-format.sh --fix formats them" >&2
    exit 1
fi
