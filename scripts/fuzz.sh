#!/usr/bin/env bash
# Runs the fuzz targets (fuzz/) of the sanitized build, building them first:
#   scripts/fuzz.sh                 every target for 60 s each
#   scripts/fuzz.sh 600             every target for 10 minutes each
#   scripts/fuzz.sh 60 profile merge   the ones named
# Each target first replays its inputs in fuzz/regressions/<name>/, then fuzzes a
# scratch copy of fuzz/corpus/<name>/ under build-san/fuzz-work/run/ with one job and
# one worker. Prints per target the executions and seconds and every input kept for a
# finding (crash-*, leak-*, timeout-*, oom-*); exits non-zero when any target failed.
# A finding, once fixed, goes into fuzz/regressions/<name>/ under a name that says what
# it shows.
set -uo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${CORRIVO_BUILD_DIR:-$top/build}-san

seconds=60
if (($#)) && [[ $1 =~ ^[0-9]+$ ]]; then
    seconds=$1
    shift
fi
names=("$@")
if ((${#names[@]} == 0)); then
    for source in "$top"/fuzz/fuzz_*.cpp; do
        name=$(basename "$source" .cpp)
        names+=("${name#fuzz_}")
    done
fi

targets=()
for name in "${names[@]}"; do
    if [[ ! -f $top/fuzz/fuzz_$name.cpp ]]; then
        echo "fuzz: no target \"$name\" (fuzz/fuzz_$name.cpp)" >&2
        exit 2
    fi
    targets+=("fuzz_$name")
done
"$top/scripts/build-san.sh" "${targets[@]}" || exit 1

failed=()
for name in "${names[@]}"; do
    bash "$top/fuzz/run.sh" "$build/fuzz/fuzz_$name" "$name" "$seconds" "$build/fuzz-work/run" || failed+=("$name")
done
if ((${#failed[@]})); then
    echo "fuzz: ${#failed[@]} of ${#names[@]} targets failed: ${failed[*]}"
    exit 1
fi
echo "fuzz: ${#names[@]} targets ran ${seconds} s each without a finding"
