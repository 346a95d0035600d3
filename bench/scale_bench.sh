#!/usr/bin/env bash
# Scale benchmark for mksetup: wall time and peak memory (maximum resident set)
# of build, list, extract, compress and expand on payloads of 1, 20 and 200 MB
# (text-like data, one large item and ten small ones). "stored" builds again with the
# large item already compressed, so that it is kept as it is: the packer's own memory,
# apart from the compressor's.
# usage: bench/scale_bench.sh MKSETUP STUB [SIZES_MB...]   (default sizes: 1 20 200)
set -euo pipefail
mksetup=${1:?usage: scale_bench.sh MKSETUP STUB [SIZES_MB...]}
stub=${2:?usage: scale_bench.sh MKSETUP STUB [SIZES_MB...]}
shift 2
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1 20 200)
work=$(mktemp -d /tmp/scale_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Text-like bytes: words drawn at random, so the data compresses about as text does.
make_text() {
    awk -v n="$2" 'BEGIN {
        srand(7); split("the installer reads its payload items and checks sums ovra chat server channel host nick 0 1 2 3 4 5 6 7 8 9 [menus] = \n", w, " ");
        s = 0; line = "";
        while (s < n) {
            line = line w[int(rand() * 30) + 1] " ";
            if (length(line) > 4096 || s + length(line) >= n) {
                if (s + length(line) > n) line = substr(line, 1, n - s);
                printf "%s", line; s += length(line); line = "";
            }
        }
    }' > "$1"
}

measure() {  # name, command...
    local name=$1
    shift
    /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>"$work/err" || { echo "$name failed: $(cat "$work/err")" >&2; return 1; }
    read -r seconds kib < "$work/time"
    printf "%6s MB  %-8s %9.2f s %10.1f MB\n" "$size" "$name" "$seconds" "$(echo "$kib / 1024" | bc -l)"
}

printf "%9s  %-8s %11s %13s\n" "payload" "command" "wall" "peak memory"
for size in "${sizes[@]}"; do
    rm -rf "$work/payload" "$work/x"
    mkdir -p "$work/payload"
    bytes=$((size * 1000000))
    make_text "$work/payload/ovra32.exe" "$((bytes - 10 * 4096))"
    for name in ovaux32.exe ovra.hlp netintro.hlp guide.txt changes.txt ovra.ini macros.ini menus.ini hosts.ini links.ini; do
        make_text "$work/payload/$name" 4096
    done
    measure build "$mksetup" build --stub "$stub" --out "$work/setup.exe" "$work/payload"
    measure list "$mksetup" list "$work/setup.exe"
    measure extract "$mksetup" extract "$work/setup.exe" "$work/x"
    measure compress "$mksetup" compress "$work/payload/ovra32.exe" "$work/item"
    measure expand "$mksetup" expand "$work/item" "$work/item.back"
    cmp -s "$work/item.back" "$work/payload/ovra32.exe" || { echo "expand gave different bytes" >&2; exit 1; }
    cmp -s "$work/x/ovra32.exe" "$work/payload/ovra32.exe" || { echo "extract gave different bytes" >&2; exit 1; }
    rm -rf "$work/stored"
    cp -r "$work/payload" "$work/stored"
    cp "$work/item" "$work/stored/ovra32.exe"
    measure stored "$mksetup" build --stub "$stub" --out "$work/setup.exe" "$work/stored"
    rm -rf "$work/setup.exe" "$work/item" "$work/item.back" "$work/stored"
done
