#!/usr/bin/env bash
# Regenerates the README's pictures — docs/window.png, docs/register.png and
# docs/signed-in.png — with the person-level journey: the real programs under
# Xvfb, driven with the keyboard and mouse. With --windows, the Windows client
# cross-built and run under Wine makes docs/windows-*.png instead.
#   bash scripts/install-deps.sh --test && bash scripts/screenshots.sh [--windows]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build_dir=${VELKA_BUILD_DIR:-$velka_root/build}
release_build "$build_dir" velka-live-server velka-live-assistant

work=$(mktemp -d)
trap '[[ -n ${WINEPREFIX:-} ]] && wineserver --kill; rm -rf "$work"' EXIT
shots="$work/shots"
client=("$build_dir/velka-live-assistant")
pictures=(01-window:window 02-register:register 04-signed-in:signed-in)
if [[ ${1:-} == --windows ]]; then
    source "$velka_root/scripts/windows/lib.sh"
    windows_build "$velka_root/build-windows"
    export HOME="$work/home" # Wine's, never the real one
    wine_prefix "$work/prefix"
    export VELKA_CLIENT_INI="$wine_home/.VELKA/velka.ini"
    client=(wine "$velka_root/build-windows/velka-live-assistant.exe")
    pictures=(02-register:windows-register 03-registration-successful:windows-registration-successful
        05-sign-in-typed:windows-sign-in 06-signed-in-by-hand:windows-signed-in 08-connection-error:windows-connection-error)
fi
VELKA_SCREENSHOTS=$shots bash "$velka_root/tests/person/journey.sh" "$build_dir/server/velka-live-server" "${client[@]}" ||
    { echo "screenshots.sh: the journey failed; docs/ left as it was" >&2; exit 1; }

# Without metadata, so an unchanged picture makes no change in git.
for pair in "${pictures[@]}"; do
    convert "$shots/${pair%%:*}.png" -strip "$velka_root/docs/${pair#*:}.png"
    echo "docs/${pair#*:}.png"
done
