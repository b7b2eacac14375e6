#!/bin/sh
# Rebuilds resources/Icons/*.png and cubeRouge.ico from resources/Icons/draw_icons.cpp.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
icons="$root/resources/Icons"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if pkg-config --exists Qt6Gui 2>/dev/null; then
    qtflags=$(pkg-config --cflags --libs Qt6Gui)
else
    inc=/usr/include/x86_64-linux-gnu/qt6
    qtflags="-I$inc -I$inc/QtGui -I$inc/QtCore -lQt6Gui -lQt6Core"
fi

# shellcheck disable=SC2086
g++ -std=c++17 -O2 -fPIC -o "$tmp/draw_icons" "$icons/draw_icons.cpp" $qtflags
XDG_RUNTIME_DIR="$tmp" QT_QPA_PLATFORM=offscreen "$tmp/draw_icons" "$icons"

for f in cubeRouge.png Delete.png Check.png cubeRouge.ico; do
    file "$icons/$f"
done
