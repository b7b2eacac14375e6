#!/usr/bin/env bash
# Builds tests/fuzz/fuzz_targets.cpp with clang, libFuzzer, ASan and UBSan and
# runs it from a copy of the kept corpus (which is not written to).
#   tests/fuzz/run-fuzz.sh [seconds, default 40]
# An input that breaks a promise is left, with the log, in $VELKA_FUZZ_OUT
# (default: a temporary directory).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-40}
out=${VELKA_FUZZ_OUT:-$(mktemp -d /tmp/velka-fuzz.XXXXXX)}
mkdir -p "$out/corpus"
cp "$here"/corpus/* "$out/corpus/"
# shellcheck disable=SC2046
clang++ -std=c++17 -g -O1 -fPIC -fno-sanitize-recover=undefined -fsanitize=fuzzer,address,undefined -I"$here/../.." \
    "$here/fuzz_targets.cpp" "$here"/../../server/{requestparsing,requestscanner}.cpp \
    $(pkg-config --cflags --libs Qt6Core) -o "$out/fuzz"
if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 "$out/fuzz" -max_total_time="$seconds" \
    -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/" "$out/corpus" >"$out/fuzz.log" 2>&1; then
    echo "fuzz: $(awk '/number_of_executed_units/ {print $2}' "$out/fuzz.log") inputs in ${seconds} s," \
        "corpus $(ls "$out/corpus" | wc -l) inputs, no failure"
else
    tail -n 40 "$out/fuzz.log" >&2
    echo "fuzz: FAILED, input and log in $out" >&2
    exit 1
fi
