#!/usr/bin/env bash
# Regenerates the README's pictures — docs/window.png, docs/register.png and
# docs/signed-in.png — with the person-level suite: the real programs under
# Xvfb, driven with the keyboard and mouse. Builds like scripts/run.sh does.
#   bash scripts/install-deps.sh --test && bash scripts/screenshots.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${VELKA_BUILD_DIR:-$root/build}

if [[ ! -f $build_dir/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
fi
cmake --build "$build_dir" -j "$(nproc)" --target velka-live-server velka-live-assistant

shots=$(mktemp -d)
trap 'rm -rf "$shots"' EXIT
status=0
VELKA_SCREENSHOTS=$shots bash "$root/tests/person/person.sh" \
    "$build_dir/server/velka-live-server" "$build_dir/velka-live-assistant" || status=$?
((status == 0)) || { echo "screenshots.sh: the person-level run failed (status $status); docs/ left as it was" >&2; exit 1; }

# Without metadata, so an unchanged picture makes no change in git.
for pair in 01-window:window 02-register:register 04-signed-in:signed-in; do
    convert "$shots/${pair%%:*}.png" -strip "$root/docs/${pair#*:}.png"
    echo "docs/${pair#*:}.png"
done
