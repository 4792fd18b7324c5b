#!/usr/bin/env bash
# Proves the test suite's worth: plants one-line faults in a copy of the
# working tree, one at a time, rebuilds and runs the tests against each. A
# fault that no test catches is reported as SURVIVED, one whose text is not
# found once as NOT PLANTED and one that breaks the build as DOES NOT BUILD;
# any of these makes the exit status 1.
#   tools/plant-faults.sh [FAULTS_FILE] [SCRATCH_DIR]
# FAULTS_FILE (default tools/planted-faults.tsv) lists FILE, TEXT,
# REPLACEMENT and a description, tab-separated; TEXT must occur exactly once.
# The table printed names the test functions that failed; every failing row
# of fault N is kept in SCRATCH_DIR/caught/N.
#
# Each fault costs one compile and the test programs up to the first that
# fails, not the whole suite: the programs most likely to catch a fault in
# its file run first, the others only while it survives, and a program the
# fault does not change (its build has nothing to do) is passed over, since
# it passed unchanged before any fault was planted. Faults are planted file
# by file, and compiles go through ccache, so that putting a file back costs
# almost nothing.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
faults=$(realpath "${1:-$top/tools/planted-faults.tsv}")
scratch=${2:-$(mktemp -d /tmp/quorvia-faults.XXXXXX)}
src=$scratch/src
build=$scratch/build
started=$SECONDS

"$top/scripts/install-missing.sh" ninja-build ccache
rm -rf "$src"
mkdir -p "$src"
(cd "$top" && git ls-files -z -co --exclude-standard | tar --null -T - -cf -) | tar -xmf - -C "$src"
if [ ! -f "$build/CMakeCache.txt" ]; then
    configure=(-DQUORVIA_BUILD_BENCH=OFF)
    command -v ninja >/dev/null && configure+=(-G Ninja)
    command -v ccache >/dev/null && configure+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    cmake -S "$src" -B "$build" "${configure[@]}" >/dev/null
fi
ninja=
grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$build/CMakeCache.txt" && ninja=1
cmake --build "$build" -j2 >"$scratch/build.log" 2>&1 || {
    echo "the tree does not build without a planted fault (see $scratch/build.log)" >&2
    exit 2
}
(cd "$build" && ctest -j2 --timeout 120 >/dev/null) || {
    echo "the suite fails without a planted fault" >&2
    exit 2
}
mapfile -t all_tests < <(cd "$build" && ctest -N | sed -nE 's/^ *Test +#[0-9]+: ([^ ]+).*/\1/p')

# The test programs in the order they are run against a fault in FILE: those
# that exercise the file's code most directly first, then every other one.
test_order() {
    local first
    case "$1" in
        source/converter/batch*) first="tst_quorviaconvert tst_mainwindow tst_convertfile" ;;
        source/converter/resampler* | source/converter/windowfunction* | \
            source/converter/kerneldsp* | source/converter/ratestage*)
            first="tst_resampler tst_convertfile tst_wavefiles" ;;
        source/converter/* | source/platform/* | source/words/*)
            first="tst_convertfile tst_quorviaconvert tst_wavefiles" ;;
        source/wave/* | source/common/*) first="tst_wavefiles tst_convertfile tst_quorviaconvert" ;;
        source/cli/*) first="tst_quorviaconvert" ;;
        source/app/*) first="tst_mainwindow" ;;
        *) first="" ;;
    esac
    local t
    for t in $first "${all_tests[@]}"; do
        echo "$t"
    done | awk '!seen[$0]++'
}

# True when building TARGET would change nothing (only a Ninja build can
# tell; with another generator every program is built and run). Only for
# what the build reads: a test may read other files of the tree as it runs.
unchanged() {
    case "$2" in
        *.cpp | *.h | */CMakeLists.txt | CMakeLists.txt | *.cmake) ;;
        *) return 1 ;;
    esac
    [ -n "$ninja" ] && ninja -C "$build" -n "$1" 2>/dev/null | grep -q '^ninja: no work to do'
}

total=0
caught_count=0
survived=()
bad=()
mkdir -p "$scratch/caught"
echo "| Fault | File | Caught by |"
echo "|---|---|---|"
# Numbered as in the file (its lines), planted grouped by file.
while IFS=$'\t' read -r file n text replacement what; do
    total=$((total + 1))
    cp "$src/$file" "$scratch/original"
    if ! python3 - "$src/$file" "$text" "$replacement" <<'PY'; then
import sys
path, text, replacement = sys.argv[1:]
source = open(path).read()
if source.count(text) != 1:
    sys.exit(1)
open(path, "w").write(source.replace(text, replacement))
PY
        echo "| $what | $file | NOT PLANTED: text not found once |"
        bad+=("$n")
        continue
    fi
    line=$(grep -nF -- "$replacement" "$src/$file" | head -n 1 | cut -d: -f1)
    caught=SURVIVED
    built=()
    for t in $(test_order "$file"); do
        unchanged "$t" "$file" && continue
        built+=(--target "$t")
        if ! cmake --build "$build" -j2 --target "$t" >"$scratch/build.log" 2>&1; then
            caught="DOES NOT BUILD"
            break
        fi
        if ! (cd "$build" && ctest -R "^$t\$" --timeout 120 --output-on-failure \
            >"$scratch/test.log" 2>&1); then
            grep -E '^FAIL!  :|\*\*\*(Exception|Timeout)' "$scratch/test.log" |
                sed -E 's/^FAIL!  : ([^(]+\([^)]*\)).*/\1/; s/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) .*\*\*\*([A-Za-z]+).*/\1 (\2)/' \
                    >"$scratch/caught/$n"
            caught=$(sed -E 's/\(.*//' "$scratch/caught/$n" | sort -u | paste -sd ';' | sed 's/;/; /g')
            [ -n "$caught" ] || caught="$t (failed; see $scratch/test.log)"
            caught_count=$((caught_count + 1))
            break
        fi
    done
    case "$caught" in
        SURVIVED) survived+=("$n") ;;
        "DOES NOT BUILD") bad+=("$n") ;;
    esac
    echo "| $what | $file:$line | $caught |"
    cp "$scratch/original" "$src/$file"
    # Back to the tree the suite passed on, so that "nothing to do" keeps
    # meaning "not changed by the fault".
    ((${#built[@]} == 0)) || cmake --build "$build" -j2 "${built[@]}" >/dev/null
done < <(awk -F'\t' '!/^#/ && NF { print $1 "\t" NR "\t" $0 }' "$faults" | sort -s -t$'\t' -k1,1 |
    cut -f1,2,4-)
echo
echo "$total faults: $caught_count caught; survived (lines): ${survived[*]:-none};" \
    "not planted or does not build (lines): ${bad[*]:-none};" \
    "$(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
((${#survived[@]} + ${#bad[@]} == 0))
