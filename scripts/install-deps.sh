#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs; quiet when all are present.
#   scripts/install-deps.sh          build and run the client and the reference server
#   scripts/install-deps.sh --test   also what the test suites need
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins
    qt6-httpserver-dev qt6-websockets-dev libqt6sql6-sqlite
    libsodium-dev
)
if [[ "${1:-}" == "--test" ]]; then
    packages+=(xvfb xauth xdotool x11-utils imagemagick)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
