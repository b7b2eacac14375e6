#!/usr/bin/env bash
# libFuzzer on the server's reading of raw request bytes and of the scripts'
# parameters, 40 s from a copy of the kept corpus; prints the inputs run. An
# input that breaks a promise is left, with the log, in the folder it names.
set -euo pipefail
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
out=$(mktemp -d /tmp/velka-fuzz.XXXXXX)
mkdir "$out/corpus"
cp tests/fuzz/corpus/* "$out/corpus/"
if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 build-fuzz/tests/fuzz/velka-fuzz \
    -max_total_time=40 -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/" \
    "$out/corpus" >"$out/fuzz.log" 2>&1; then
    echo "fuzz: $(awk '/number_of_executed_units/ {print $2}' "$out/fuzz.log") inputs in 40 s, corpus $(ls tests/fuzz/corpus | wc -l) inputs, no failure"
    rm -rf "$out"
else
    tail -n 40 "$out/fuzz.log" >&2
    echo "fuzz: FAILED, input and log in $out" >&2
    exit 1
fi
