#!/bin/sh
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer) and
# runs each for a fixed time, starting from the seed corpus under fuzz/corpus/. Prints each
# target's executions and findings; fails when any target made a finding.
#   scripts/fuzz.sh          30 seconds per target (the CI smoke run)
#   scripts/fuzz.sh 600      ten minutes per target
# Inputs that the fuzzer finds are kept in build-fuzz/corpus/<target>/ (the checked-in seeds
# stay as they are); a finding is saved as build-fuzz/findings/<target>-crash-... .
set -eu
seconds=${1:-30}
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

targets="tables settings holidays system_msg logweb date_scan text_reader text_mode"
mkdir -p build-fuzz/findings
summary=""
failed=0
for t in $targets; do
    work="build-fuzz/corpus/$t"
    mkdir -p "$work"
    log="build-fuzz/$t.log"
    printf '\n==== %s_fuzz: %s s\n' "$t" "$seconds"
    set +e
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "build-fuzz/fuzz/${t}_fuzz" -max_total_time="$seconds" -timeout=10 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$t-" \
        "$work" "fuzz/corpus/$t" >"$log" 2>&1
    status=$?
    set -e
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    findings=$(find build-fuzz/findings -name "$t-*" -type f | wc -l)
    if [ "$status" -ne 0 ] && [ "$findings" -eq 0 ]; then
        findings=1 # stopped by something the fuzzer did not save as an input
    fi
    tail -n 3 "$log"
    line=$(printf '%-12s executions: %10s   findings: %s' "$t" "${execs:-?}" "$findings")
    echo "$line"
    summary="$summary$line
"
    if [ "$findings" -ne 0 ]; then
        failed=1
        grep -E 'ERROR|runtime error|broken property' "$log" | head -n 5 || true
    fi
done
printf '\n==== Fuzzing summary (%s s per target)\n%s' "$seconds" "$summary"
exit "$failed"
