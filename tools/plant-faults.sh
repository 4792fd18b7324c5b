#!/usr/bin/env bash
# Proves the test suite's worth: plants one-line faults in a copy of the
# working tree, one at a time, rebuilds and runs the suite against each. A
# fault that no test catches is reported as SURVIVED and the exit status is 1.
#   tools/plant-faults.sh [FAULTS_FILE] [SCRATCH_DIR]
# FAULTS_FILE (default tools/planted-faults.tsv) lists FILE, TEXT,
# REPLACEMENT and a description, tab-separated; TEXT must occur exactly once.
# The table printed names the test functions that failed; every failing row
# of fault N is kept in SCRATCH_DIR/caught/N.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
faults=$(realpath "${1:-$top/tools/planted-faults.tsv}")
scratch=${2:-$(mktemp -d /tmp/quorvia-faults.XXXXXX)}
src=$scratch/src
build=$scratch/build

rm -rf "$src"
mkdir -p "$src"
(cd "$top" && git ls-files -z -co --exclude-standard | tar --null -T - -cf -) | tar -xmf - -C "$src"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$src" -B "$build" -DQUORVIA_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j2 >/dev/null
(cd "$build" && ctest -j2 --timeout 120 >/dev/null) || {
    echo "the suite fails without a planted fault" >&2
    exit 2
}

survived=0
n=0
mkdir -p "$scratch/caught"
echo "| Fault | File | Caught by |"
echo "|---|---|---|"
while IFS=$'\t' read -r file text replacement what; do
    [[ -z "$file" || "$file" == \#* ]] && continue
    n=$((n + 1))
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
        survived=1
        continue
    fi
    line=$(grep -nF -- "$replacement" "$src/$file" | head -n 1 | cut -d: -f1)
    if ! cmake --build "$build" -j2 >"$scratch/build.log" 2>&1; then
        caught="does not compile"
    elif (cd "$build" && ctest -j2 --timeout 120 --output-on-failure >"$scratch/test.log" 2>&1); then
        caught="SURVIVED"
        survived=1
    else
        grep -E '^FAIL!  :|\*\*\*(Exception|Timeout)' "$scratch/test.log" |
            sed -E 's/^FAIL!  : ([^(]+\([^)]*\)).*/\1/; s/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) .*\*\*\*([A-Za-z]+).*/\1 (\2)/' \
            >"$scratch/caught/$n"
        caught=$(sed -E 's/\(.*//' "$scratch/caught/$n" | sort -u | paste -sd ';' | sed 's/;/; /g')
        [ -n "$caught" ] || caught="(failed; see $scratch/test.log)"
    fi
    echo "| $what | $file:$line | $caught |"
    cp "$scratch/original" "$src/$file"
done <"$faults"
cmake --build "$build" -j2 >/dev/null
exit $survived
