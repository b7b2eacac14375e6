#!/usr/bin/env bash
# Regenerates the README's pictures — docs/window.png, docs/register.png and
# docs/signed-in.png — with the person-level journey: the real programs under
# Xvfb, driven with the keyboard and mouse.
#   bash scripts/install-deps.sh --test && bash scripts/screenshots.sh
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build_dir=${VELKA_BUILD_DIR:-$velka_root/build}
release_build "$build_dir" velka-live-server velka-live-assistant

shots=$(mktemp -d)
trap 'rm -rf "$shots"' EXIT
VELKA_SCREENSHOTS=$shots bash "$velka_root/tests/person/journey.sh" \
    "$build_dir/server/velka-live-server" "$build_dir/velka-live-assistant" ||
    { echo "screenshots.sh: the journey failed; docs/ left as it was" >&2; exit 1; }

# Without metadata, so an unchanged picture makes no change in git.
for pair in 01-window:window 02-register:register 04-signed-in:signed-in; do
    convert "$shots/${pair%%:*}.png" -strip "$velka_root/docs/${pair#*:}.png"
    echo "docs/${pair#*:}.png"
done
