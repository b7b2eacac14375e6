#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every suite, then builds
# again under AddressSanitizer + UndefinedBehaviorSanitizer and runs them once
# more (the presets of CMakePresets.json); then each extra step in
# scripts/ci-steps/, in name order.
set -euo pipefail
cd "$(dirname "$0")/.."

for preset in warnings asan; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    ctest --preset "$preset" -j "$(nproc)"
done

# Extra steps get the tested build in BUILD_DIR.
export BUILD_DIR="$PWD/build-test"
for step in scripts/ci-steps/*.sh; do
    echo "== $step"
    bash "$step"
done
