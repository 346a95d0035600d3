#!/usr/bin/env bash
# Long fuzzing runs: builds each target with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer (clang), runs it for FUZZ_SECONDS (default 600) seconds
# from its corpus in tests/fuzz/corpus, merges what it found into that corpus and
# prints the number of executions. A finding stops the run and leaves crash-* files
# in build/fuzz.
#   bash scripts/fuzz.sh [TARGET...]   targets: szdd_expand scan_replay pathsplit ui_rules
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-600}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(szdd_expand scan_replay pathsplit ui_rules)
command -v clang++ >/dev/null || { echo "fuzz: clang++ is needed (apt-get install clang)" >&2; exit 1; }

out="$root/build/fuzz"
mkdir -p "$out"
flags=(-std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$root")
common=("$root/engine/payload.cpp" "$root/engine/szdd.cpp" "$root/engine/szdd_pack.cpp"
        "$root/tools/packer.cpp" "$root/tools/pe_section.cpp")
for t in "${targets[@]}"; do
    extra=()
    case $t in
        pathsplit) extra=("$root/engine/pathsplit.cpp") ;;
        ui_rules) extra=("$root/ui/rules.cpp") ;;
        szdd_expand|scan_replay) ;;
        *) echo "fuzz: unknown target $t" >&2; exit 2 ;;
    esac
    clang++ "${flags[@]}" "$root/tests/fuzz/${t}_fuzz.cpp" "${common[@]}" "${extra[@]}" -o "$out/$t"
done

for t in "${targets[@]}"; do
    corpus="$root/tests/fuzz/corpus/$t"
    work="$out/$t.corpus"
    rm -rf "$work"
    mkdir -p "$work"
    log="$out/$t.log"
    (cd "$out" && "./$t" -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 "$work" "$corpus") >"$log" 2>&1 \
        || { echo "fuzz: $t found a fault; see $log and $out/crash-*" >&2; tail -40 "$log" >&2; exit 1; }
    # Keep only inputs that add coverage to the committed corpus.
    (cd "$out" && "./$t" -merge=1 "$corpus" "$work") >>"$log" 2>&1
    runs=$(grep -o 'Done [0-9]* runs in [0-9]* second' "$log" | tail -1)
    echo "fuzz: $t: $runs(s), no finding; corpus $(ls "$corpus" | wc -l) inputs"
done
