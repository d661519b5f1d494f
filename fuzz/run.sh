#!/usr/bin/env bash
# Runs one fuzz target: first every input of regressions/<name>/ once, then libFuzzer for
# <seconds> on a scratch copy of corpus/<name>/ under <work dir>/<name>, so that the
# checked-in seeds stay as they are. Prints the executions and seconds of the run (from
# libFuzzer's final statistics) and any file it wrote for a finding; exits non-zero on a
# finding.
# usage: run.sh <fuzzer executable> <name> <seconds> <work dir>
set -uo pipefail

if (($# != 4)); then
    echo "usage: $0 <fuzzer executable> <name> <seconds> <work dir>" >&2
    exit 2
fi
fuzzer=$1
name=$2
seconds=$3
work=$4/$name
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Leaks are findings here, except the process-wide allocations of Qt itself
# (lsan.supp); UBSan stops at the first report.
# The allocator never hands freed memory back to the system: on a loaded machine that
# madvise() can stall past the time limit of one input and read as a hang.
asan_options=detect_leaks=1:allocator_release_to_os_interval_ms=-1
fuzzer_options=()
case $name in
settings)
    # Qt's QDataStream reserves room for a list's announced length before reading it:
    # a length near 2^32 asks malloc for up to 128 GB, which a real machine refuses or
    # only maps, and Qt then reads nothing. Here such a request fails too (instead of
    # being reported, or spending the run on the sanitizer's shadow of such mappings).
    asan_options+=:allocator_may_return_null=1:max_allocation_size_mb=64
    ;;
esac
export ASAN_OPTIONS=$asan_options
export LSAN_OPTIONS=suppressions=$here/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

rm -rf "$work"
mkdir -p "$work/corpus"
shopt -s nullglob
seeds=("$here/corpus/$name"/*)
((${#seeds[@]})) && cp "${seeds[@]}" "$work/corpus/"
regressions=("$here/regressions/$name"/*)

# A finding's report: libFuzzer's file for it and the end of the log with the
# sanitizer's or the property's message.
report() {
    local log=$1
    echo "fuzz_$name: FAILED"
    grep -E '^(==[0-9]+==ERROR|==fuzz==|SUMMARY:|.*runtime error:)' "$log" | head -n 20
    sed -n 's/.*Test unit written to \(.*\)$/fuzz_'"$name"': input kept in \1/p' "$log"
    echo "---- end of $log"
    tail -n 60 "$log"
}

# The fuzzer's standard input is empty: a profile naming /dev/stdin must not wait for
# a terminal.
# One run per regression input, so that the report names every one that fails again.
failed=()
for input in "${regressions[@]}"; do
    log=$work/regression-$(basename "$input").log
    "$fuzzer" "${fuzzer_options[@]}" "$input" >"$log" 2>&1 </dev/null || failed+=("$input")
done
if ((${#failed[@]})); then
    for input in "${failed[@]}"; do
        echo "fuzz_$name: regression input fails again: $input"
        grep -E '^(==[0-9]+==ERROR|==fuzz==|SUMMARY:|.*runtime error:)' "$work/regression-$(basename "$input").log" | head -n 6
    done
    report "$work/regression-$(basename "${failed[0]}").log"
    exit 1
fi

start=$SECONDS
"$fuzzer" "${fuzzer_options[@]}" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -artifact_prefix="$work/" \
    "$work/corpus" >"$work/fuzz.log" 2>&1 </dev/null
status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz.log" | tail -n 1)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/fuzz.log" | tail -n 1)
elapsed=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$work/fuzz.log" | tail -n 1)
[[ -n $elapsed ]] || elapsed=$((SECONDS - start))
echo "fuzz_$name: ${runs:-?} executions in $elapsed s (${rate:-?}/s), ${#regressions[@]} regression inputs replayed"
if ((status != 0)); then
    report "$work/fuzz.log"
    exit 1
fi
