#!/usr/bin/env bash
# Signing benchmark: wall time and peak memory of `osslsigncode sign` alone, of
# `mksetup sign` (the same signing, then the balance) and of `mksetup balance` on
# the demo installer and on an installer with a 20 MB payload item.
# usage: bench/sign_bench.sh MKSETUP STUB DEMO_INSTALLER PAYLOAD_DIR
set -euo pipefail
mksetup=${1:?usage: sign_bench.sh MKSETUP STUB DEMO_INSTALLER PAYLOAD_DIR}
stub=${2:?}
demo=${3:?}
payload=${4:?}
work=$(mktemp -d /tmp/sign_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 30 -subj '/CN=Ovra Bench' \
    -addext extendedKeyUsage=codeSigning >/dev/null 2>&1

# The large installer: the demo payload with a 20 MB main program of random bytes
# (stored nearly as it is: the signing cost, not the compressor's, is measured).
mkdir big
cp "$payload"/* big/
head -c $((20 * 1024 * 1024)) /dev/urandom >big/ovra32.exe
"$mksetup" build --stub "$stub" --out big.exe big >/dev/null

measure() {  # label, installer name, command...
    local label=$1 name=$2
    shift 2
    rm -f out.exe
    /usr/bin/time -f "%e %M" -o time "$@" >/dev/null 2>err || { echo "$label failed: $(cat err)" >&2; return 1; }
    read -r seconds kib <time
    printf "%-6s %10s bytes  %-22s %7.2f s %8.1f MB\n" "$name" "$(stat -c %s "$input")" "$label" "$seconds" \
        "$(echo "$kib / 1024" | bc -l)"
}

printf "%-6s %16s  %-22s %9s %11s\n" "file" "size" "command" "wall" "peak memory"
for input in "$demo" "$work/big.exe"; do
    name=demo
    [ "$input" = "$work/big.exe" ] && name=20MB
    measure "osslsigncode sign" "$name" osslsigncode sign -certs cert.pem -key key.pem -in "$input" -out out.exe
    cp out.exe signed-elsewhere.exe
    measure "mksetup sign" "$name" "$mksetup" sign --cert cert.pem --key key.pem "$input" out.exe
    measure "mksetup balance" "$name" "$mksetup" balance signed-elsewhere.exe out.exe
done
