#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs; quiet when all are present.
#   scripts/install-deps.sh          build and run the client and the reference server
#   scripts/install-deps.sh --test   also what the test suites need
# The lists live in scripts/deps/: build.txt, and with --test every other file there.
set -euo pipefail
cd "$(dirname "$0")/deps"

lists=(build.txt)
if [[ "${1:-}" == "--test" ]]; then
    for f in *.txt; do [[ "$f" != build.txt ]] && lists+=("$f"); done
fi
mapfile -t packages < <(grep -hv '^\s*\(#\|$\)' "${lists[@]}" | sort -u)

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
