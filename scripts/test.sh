#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every suite, then builds
# again under AddressSanitizer + UndefinedBehaviorSanitizer and runs them once
# more; then each extra step in scripts/ci-steps/, in name order.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

run_suites() {
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

run_suites build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKA_WARNINGS_AS_ERRORS=ON

(
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
    run_suites build-asan -DCMAKE_BUILD_TYPE=Debug -DVELKA_SANITIZE=ON -DVELKA_WARNINGS_AS_ERRORS=ON
)

# Extra steps get the tested build in BUILD_DIR.
export BUILD_DIR="$PWD/build-test"
for step in scripts/ci-steps/*.sh; do
    [[ -e "$step" ]] || continue
    echo "== $step"
    bash "$step"
done
