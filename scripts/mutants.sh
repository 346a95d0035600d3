#!/usr/bin/env bash
# Runs the mutant table (tests/mutants/mutants.txt): each row's fault is put into a
# scratch copy of the sources, what it changes is rebuilt, the row's tests run, and the
# copy is restored. Prints a table: which test killed each mutant, or that it survived.
# Not part of scripts/test.sh: a full run rebuilds and reruns tests some seventy times.
#
#   mutants.sh [--table FILE] [--no-baseline] [NAME...]   every row, or the rows named
#
# The scratch copy and its build trees live in build/mutants (kept between runs, so a
# second run rebuilds only what changed). Before the rows, each test the chosen rows
# name runs once on the unchanged sources: a test that fails there could not tell a
# mutant from the code as it is, and the run stops. The table goes to stdout and to
# build/mutants/report.md; each row's build and test output to build/mutants/logs/.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
table=$root/tests/mutants/mutants.txt
baseline=1
chosen=()
while [ $# -gt 0 ]; do
    case $1 in
        --table) table=$2; shift 2 ;;
        --no-baseline) baseline=0; shift ;;
        -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "mutants: unknown option $1 (see --help)" >&2; exit 2 ;;
        *) chosen+=("$1"); shift ;;
    esac
done
[ -f "$table" ] || { echo "mutants: no table at $table" >&2; exit 2; }
command -v perl >/dev/null || { echo "mutants: perl is needed to apply the rows" >&2; exit 2; }

work=$root/build/mutants
src=$work/src
logs=$work/logs

# --- The table ---------------------------------------------------------------------
names=() files=() finds=() replaces=() rules=() trees=() tests=()
row=-1 line_no=0
fail_table() { echo "mutants: $table:$line_no: $1" >&2; exit 2; }
while IFS= read -r line || [ -n "$line" ]; do
    line_no=$((line_no + 1))
    case $line in ''|'#'*) continue ;; esac
    key=${line%% *}
    value=${line#"$key"}
    value=${value# }
    if [ "$key" = mutant ]; then
        row=$((row + 1))
        names[row]=$value files[row]= finds[row]= replaces[row]= rules[row]= trees[row]= tests[row]=
        continue
    fi
    [ $row -ge 0 ] || fail_table "'$key' before the first 'mutant'"
    case $key in
        file) files[row]=$value ;;
        find) finds[row]=$value ;;
        replace) replaces[row]=$value ;;
        rule) rules[row]=$value ;;
        tree) trees[row]=$value ;;
        test|ctest) tests[row]+="$key $value"$'\n' ;;
        end) ;;
        *) fail_table "unknown key '$key'" ;;
    esac
done <"$table"

# count_in FILE FIND: how often FIND (with \n as a line break) occurs in FILE.
count_in() {
    FIND=$2 perl -0777 -ne '$f = $ENV{FIND}; $f =~ s/\\n/\n/g; $c = () = /\Q$f\E/g; print $c' "$1"
}
# apply_to FILE FIND REPLACE: replaces the one occurrence.
apply_to() {
    FIND=$2 REPLACE=$3 perl -0777 -pi -e 'BEGIN { ($f, $r) = ($ENV{FIND}, $ENV{REPLACE}); s/\\n/\n/g for $f, $r }
        s/\Q$f\E/$r/' "$1"
}

selected=()
for i in "${!names[@]}"; do
    n=${names[i]}
    [ -n "${files[i]}" ] && [ -n "${finds[i]}" ] && [ -n "${rules[i]}" ] && [ -n "${tests[i]}" ] \
        || { echo "mutants: row $n lacks its file, find, rule or tests" >&2; exit 2; }
    case ${trees[i]} in native|wine) ;; *) echo "mutants: row $n: tree must be native or wine" >&2; exit 2 ;; esac
    [ -f "$root/${files[i]}" ] || { echo "mutants: row $n: no file ${files[i]}" >&2; exit 2; }
    found=$(count_in "$root/${files[i]}" "${finds[i]}")
    [ "$found" = 1 ] || { echo "mutants: row $n: its text occurs $found times in ${files[i]}, not once" >&2; exit 2; }
    if [ ${#chosen[@]} -eq 0 ]; then
        selected+=("$i")
    else
        for c in "${chosen[@]}"; do [ "$c" = "$n" ] && selected+=("$i"); done
    fi
done
[ ${#chosen[@]} -eq 0 ] || [ ${#selected[@]} -eq ${#chosen[@]} ] \
    || { echo "mutants: not every name given is a row of $table" >&2; exit 2; }

# --- The scratch copy and its trees -------------------------------------------------
started=$(date +%s)
mkdir -p "$src" "$logs"
rm -f "$logs"/*.log
# The sources as they are now, committed or not; new files included. Only a file whose
# content differs is copied, and it takes the time of the copy: kept with its own time it
# could be older than objects built from what it replaces, and would never be compiled.
rm -rf "$work/incoming"
mkdir -p "$work/incoming"
(cd "$root" && git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf -) \
    | tar -xf - -C "$work/incoming"
(cd "$work/incoming" && find . -type f -print0) | while IFS= read -r -d '' f; do
    cmp -s "$work/incoming/$f" "$src/$f" && continue
    mkdir -p "$(dirname "$src/$f")"
    cp --preserve=mode "$work/incoming/$f" "$src/$f.copy" && mv -f "$src/$f.copy" "$src/$f"
done
rm -rf "$work/incoming"
# Objects built from a mutant stay until their file is compiled again, and the copy
# above has just put each file back with its old time, older than those objects: the
# files changed since the trees were last brought back to the sources (build/mutants/stale)
# are built again.
if [ -f "$work/stale" ]; then
    while IFS= read -r f; do touch "$src/$f"; done <"$work/stale"
fi
echo "mutants: building the scratch copy's trees in $src/build (log: $logs/build.log)" >&2
if ! bash "$src/scripts/build.sh" >"$logs/build.log" 2>&1; then
    echo "mutants: the unchanged sources do not build; see $logs/build.log" >&2
    exit 1
fi

. "$src/scripts/wine-env.sh"
wine_tree "$src" || exit 1
wine_env "$WINE_TREE" "$WINE_TREE/wineprefix"
# A mutant may crash a program: without the debugger Wine would start for it, the crash
# ends the test instead of waiting for a debugger nobody attends.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winedbg.exe=d"
wine_display_until_exit
wine_prefix_make || exit 1
wine_server_start "$logs/wine-start.log" || exit 1
native=$src/build/native

tree_dir() { if [ "$1" = native ]; then echo "$native"; else echo "$WINE_TREE"; fi; }

# run_one TREE KIND PROGRAM [FILTER] >LOG: runs one test line of a row; its status.
run_one() {
    local tree=$1 kind=$2 program=$3 filter=${4:-} dir
    dir=$(tree_dir "$tree")
    if [ "$kind" = ctest ]; then
        timeout 1200 ctest --test-dir "$dir" -R "^$program\$" --output-on-failure
        return
    fi
    # The first failure decides; the cases after it would only cost time.
    local args=(--gtest_fail_fast)
    [ -n "$filter" ] && args+=(--gtest_filter="$filter")
    if [ "$tree" = native ]; then
        # Through CTest, so the program runs with the environment its test is registered
        # with (the sources, mksetup, the demo installer) and no list of it is kept here.
        GTEST_FILTER=${filter:-*} GTEST_FAIL_FAST=1 timeout 900 ctest --test-dir "$dir" -R "^$program\$" \
            --output-on-failure
    else
        (cd "$dir" && timeout 900 wine "./$program.exe" "${args[@]}")
    fi
}

# build_for ROW >LOG: rebuilds what the row's tests need in its tree.
build_for() {
    local i=$1 dir targets=() kind program rest
    dir=$(tree_dir "${trees[i]}")
    while read -r kind program rest; do
        [ -n "$kind" ] || continue
        # A CTest test may be a script over several programs: everything is brought up to date.
        [ "$kind" = ctest ] && { cmake --build "$dir" -j "$(nproc)"; return; }
        targets+=("$program")
    done <<<"${tests[i]}"
    [ "${trees[i]}" = native ] && targets+=(mksetup)
    cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"
}

# --- Baseline: every test named runs green on the unchanged sources ---------------------
if [ $baseline = 1 ]; then
    declare -A seen=()
    for i in "${selected[@]}"; do
        if ! build_for "$i" >>"$logs/baseline.log" 2>&1; then
            echo "mutants: the unchanged sources do not build for ${names[i]}; see $logs/baseline.log" >&2
            exit 1
        fi
        while read -r kind program filter; do
            [ -n "$kind" ] || continue
            key="${trees[i]} $kind $program $filter"
            [ -n "${seen[$key]:-}" ] && continue
            seen[$key]=1
            echo "mutants: baseline $key" >&2
            if ! run_one "${trees[i]}" "$kind" "$program" "$filter" >>"$logs/baseline.log" 2>&1; then
                echo "mutants: '$program $filter' fails on the unchanged sources; see $logs/baseline.log" >&2
                exit 1
            fi
        done <<<"${tests[i]}"
    done
fi

# --- The rows ------------------------------------------------------------------------------
report=$work/report.md
{
    echo "| mutant | rule | result | seconds |"
    echo "|---|---|---|---|"
} >"$report"
survived=0
for i in "${selected[@]}"; do
    n=${names[i]} file=$src/${files[i]} log=$logs/${names[i]}.log
    row_start=$(date +%s)
    cp "$file" "$work/original"
    echo "${files[i]}" >>"$work/stale"
    apply_to "$file" "${finds[i]}" "${replaces[i]}"
    if cmp -s "$file" "$work/original"; then
        result="NOT APPLIED (the row changes nothing)"
        survived=$((survived + 1))
    elif ! build_for "$i" >"$log" 2>&1; then
        result="DOES NOT BUILD (see logs/$n.log)"
        survived=$((survived + 1))
    else
        result="SURVIVED"
        while read -r kind program filter; do
            [ -n "$kind" ] || continue
            if ! run_one "${trees[i]}" "$kind" "$program" "$filter" >>"$log" 2>&1; then
                result="killed by $program${filter:+ $filter}"
                break
            fi
        done <<<"${tests[i]}"
        [ "$result" = SURVIVED ] && survived=$((survived + 1))
    fi
    # A fresh time on the restored file: the next build compiles it again.
    cat "$work/original" >"$file"
    touch "$file"
    seconds=$(($(date +%s) - row_start))
    printf '| %s | %s | %s | %s |\n' "$n" "${rules[i]}" "$result" "$seconds" >>"$report"
    printf '%-40s %-60s %5ss\n' "$n" "$result" "$seconds"
done
# The trees back to the unchanged sources, so no mutant's object outlives the run.
if cmake --build "$native" -j "$(nproc)" >"$logs/restore.log" 2>&1 \
    && cmake --build "$WINE_TREE" -j "$(nproc)" >>"$logs/restore.log" 2>&1; then
    rm -f "$work/stale"
fi
total=$(($(date +%s) - started))
echo "| | ${#selected[@]} mutants, $survived not killed | total $total s | |" >>"$report"
echo "mutants: ${#selected[@]} rows, $survived not killed, $total s in all; table in $report"
[ $survived -eq 0 ]
