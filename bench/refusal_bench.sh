#!/usr/bin/env bash
# Refusal benchmark: wall time and peak memory of list, extract, balance and sign
# on a 1 GB file of zeros, which its first two bytes already show is no program.
# Target: under 0.5 s and 64 MB for each command.
# usage: bench/refusal_bench.sh MKSETUP
set -euo pipefail
mksetup=$(realpath "${1:?usage: refusal_bench.sh MKSETUP}")
work=$(mktemp -d /tmp/refusal_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
# Written out, not sparse: every byte the commands would read is on the disk.
head -c $((1024 * 1024 * 1024)) /dev/zero >zeros.bin
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 30 -subj '/CN=Ovra Bench' \
    -addext extendedKeyUsage=codeSigning >/dev/null 2>&1

printf "%-8s %9s %11s  %s\n" "command" "wall" "peak memory" "refusal"
for command in list extract balance sign; do
    case $command in
    list) args=(list zeros.bin) ;;
    extract) args=(extract zeros.bin x) ;;
    balance) args=(balance zeros.bin out.exe) ;;
    sign) args=(sign --cert cert.pem --key key.pem zeros.bin out.exe) ;;
    esac
    status=0
    /usr/bin/time -f "%e %M" -o time "$mksetup" "${args[@]}" >/dev/null 2>err || status=$?
    [ "$status" -ne 0 ] || { echo "$command accepted a file of zeros" >&2; exit 1; }
    # time writes "Command exited with non-zero status" first.
    read -r seconds kib < <(tail -n 1 time)
    printf "%-8s %7.2f s %8.1f MB  %s\n" "$command" "$seconds" "$(echo "$kib / 1024" | bc -l)" "$(head -n 1 err)"
done
