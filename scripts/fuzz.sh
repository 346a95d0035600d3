#!/usr/bin/env bash
# Long fuzzing runs: configures and builds the fuzzing tree build/fuzz (the native tree
# with clang and SETUP32_FUZZ: libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer),
# runs each fuzz target it built for FUZZ_SECONDS (default 600) seconds from its corpus
# in tests/fuzz/corpus, merges what it found into that corpus and prints the number of
# executions. A finding stops the run and leaves crash-* files in build/fuzz/findings.
# Logs: build/fuzz.log (the build), build/fuzz/logs/TARGET.log (each run).
#   bash scripts/fuzz.sh [TARGET...]   every target of tests/fuzz/fuzz.cmake by default
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-600}
bash "$root/scripts/setup.sh" fuzz

tree="$root/build/fuzz"
. "$root/scripts/build-tree.sh"
build_tree fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DSETUP32_FUZZ=ON -- --target fuzz_targets

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for exe in "$tree"/fuzz/*; do
        [ -f "$exe" ] && [ -x "$exe" ] && targets+=("$(basename "$exe")")
    done
fi
[ ${#targets[@]} -gt 0 ] || { echo "fuzz: $tree built no fuzz target" >&2; exit 1; }

logs="$tree/logs" findings="$tree/findings"
mkdir -p "$logs" "$findings"
for t in "${targets[@]}"; do
    exe="$tree/fuzz/$t"
    corpus="$root/tests/fuzz/corpus/$t"
    [ -x "$exe" ] || { echo "fuzz: unknown target $t (built: $(ls "$tree/fuzz" | tr '\n' ' '))" >&2; exit 2; }
    [ -d "$corpus" ] || { echo "fuzz: $t has no corpus $corpus" >&2; exit 2; }
    work="$tree/$t.corpus"
    rm -rf "$work"
    mkdir -p "$work"
    log="$logs/$t.log"
    "$exe" -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 \
        -artifact_prefix="$findings/" "$work" "$corpus" >"$log" 2>&1 \
        || { tail -40 "$log" >&2; echo "fuzz: $t found a fault; see $log and $findings/" >&2; exit 1; }
    # Keep only inputs that add coverage to the committed corpus.
    "$exe" -merge=1 -artifact_prefix="$findings/" "$corpus" "$work" >>"$log" 2>&1 \
        || { tail -40 "$log" >&2; echo "fuzz: merging $t's new inputs failed; see $log" >&2; exit 1; }
    runs=$(grep -o 'Done [0-9]* runs in [0-9]* second' "$log" | tail -1)
    echo "fuzz: $t: $runs(s), no finding; corpus $(ls "$corpus" | wc -l) inputs"
done
