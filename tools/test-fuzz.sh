#!/usr/bin/env bash
# Builds the libFuzzer programs in build-fuzz (preset "fuzz", clang) and
# runs each a few seconds from its committed seeds, as a check that no
# earlier finding has come back.
#   tools/test-fuzz.sh [SECONDS_PER_FUZZER]      (default 5)
# Exits non-zero if any fuzzer finds a crash, a leak, undefined behaviour,
# a time-out or a violated property. Every run starts from the committed
# seeds alone, so that runs compare; new inputs go to build-fuzz/corpus,
# never into the seeds, and a finding is kept in build-fuzz/findings.
# Longer campaigns: tests/fuzz/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-fuzz
seconds=${1:-5}
fuzzers=(fuzz_bitstream fuzz_rpc_reply fuzz_sim_request)
tools/install-deps.sh build fuzz

tools/build.sh fuzz

# A reply or a request is at most a few KiB; a single allocation beyond
# 64 MiB means a parser trusted a length it was given. Two seconds for one
# input is a hang: the in-process device never waits.
options=(-max_total_time="$seconds" -timeout=2 -malloc_limit_mb=64 -rss_limit_mb=1024
         -print_final_stats=1)
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
passed=0 failed=0
mkdir -p "$dir/findings"
for fuzzer in "${fuzzers[@]}"; do
    seeds=tests/fuzz/corpus/${fuzzer#fuzz_}
    work=$dir/corpus/${fuzzer#fuzz_}
    rm -rf "$work"
    mkdir -p "$work"
    log=$dir/findings/$fuzzer.log
    dictionary=()
    [ "$fuzzer" = fuzz_bitstream ] || dictionary=(-dict=tests/fuzz/link.dict)
    if "$dir/tests/fuzz/$fuzzer" "${options[@]}" "${dictionary[@]}" \
        -artifact_prefix="$dir/findings/$fuzzer-" "$work" "$seeds" >"$log" 2>&1; then
        passed=$((passed + 1))
        runs=$(grep -o 'number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$')
        echo "$fuzzer: $runs runs, no finding"
    else
        failed=$((failed + 1))
        echo "$fuzzer: FINDING (log: $log)"
        tail -n 40 "$log"
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
