# shellcheck shell=bash
# Sourced by the scripts that build a CMake tree of this checkout (build.sh, fuzz.sh):
# how a tree is configured and built, and how its progress and failure are said.
# ROOT must be the checkout.

# build_tree NAME [CMAKE ARGS...] [-- BUILD ARGS...]: configures and builds build/NAME
# (with BUILD ARGS such as --target T); the output goes to build/NAME.log, which is
# shown on failure. A cold tree takes minutes with every compiler line in the log, so
# the start and the end of each are said, with the time taken.
build_tree() {
    local name=$1 log="$root/build/$1.log" started=$SECONDS configure=() build=()
    shift
    while [ $# -gt 0 ] && [ "$1" != -- ]; do configure+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    build=("$@")
    mkdir -p "$root/build"
    echo "build: build/$name started at $(date +%H:%M:%S) (log build/$name.log)"
    if ! { cmake -S "$root" -B "$root/build/$name" -G Ninja "${configure[@]}" \
           && cmake --build "$root/build/$name" -j "$(nproc)" "${build[@]}"; } >"$log" 2>&1; then
        cat "$log" >&2
        echo "build: build/$name failed after $(elapsed $started); its log is $log" >&2
        exit 1
    fi
    echo "build: build/$name done in $(elapsed $started) (log build/$name.log)"
}

# elapsed START: the time since START (a value of $SECONDS) as 4m07s or 12s.
elapsed() {
    local s=$((SECONDS - $1))
    if [ $s -ge 60 ]; then printf '%dm%02ds' $((s / 60)) $((s % 60)); else printf '%ds' $s; fi
}
