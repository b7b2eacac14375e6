#!/usr/bin/env bash
# Builds each fuzz target with clang, libFuzzer, ASan and UBSan, and runs it
# for a while from its kept corpus (which is not written to).
#   tests/fuzz/run-fuzz.sh [seconds per target, default 25] [target...]
# Targets: query (server parameters), scanner (raw request bytes), reply (client answer bodies).
# An input that breaks a promise is left in $VELKA_FUZZ_OUT (default: a temporary directory).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-25}
shift || true
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(query scanner reply)

out=${VELKA_FUZZ_OUT:-$(mktemp -d /tmp/velka-fuzz.XXXXXX)}
mkdir -p "$out"
qt=$(pkg-config --cflags --libs Qt6Core)

declare -A sources=(
    [query]="$root/server/requestparsing.cpp"
    [scanner]="$root/server/requestscanner.cpp"
    [reply]="$root/account/answers.cpp"
)
declare -A entries=([query]=fuzz_query [scanner]=fuzz_scanner [reply]=fuzz_reply)

status=0
for target in "${targets[@]}"; do
    binary="$out/fuzz_$target"
    # shellcheck disable=SC2086
    clang++ -std=c++17 -g -O1 -fPIC -DVELKA_LIBFUZZER -fno-sanitize-recover=undefined \
        -fsanitize=fuzzer,address,undefined -I"$root" -I"$here" \
        "$here/${entries[$target]}.cpp" ${sources[$target]} $qt -o "$binary"
    corpus="$out/corpus-$target"
    mkdir -p "$corpus"
    cp "$here/corpus/$target/"* "$corpus/"
    log="$out/$target.log"
    if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$binary" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$out/$target-" "$corpus" >"$log" 2>&1; then
        runs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
        echo "fuzz $target: $runs inputs run in ${seconds}s, corpus $(ls "$corpus" | wc -l) inputs, no failure"
    else
        echo "fuzz $target: FAILED, input and log in $out" >&2
        tail -n 40 "$log" >&2
        status=1
    fi
done
exit $status
