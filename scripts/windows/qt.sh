#!/usr/bin/env bash
# Puts Qt 6.4.2 for 64-bit Windows (MinGW-w64, posix threads) in a cache folder
# and prints that folder's path, the CMAKE_PREFIX_PATH of a Windows build:
#   scripts/windows/qt.sh [--from TARBALL|FOLDER] [--build] [FOLDER]
# FOLDER defaults to $VELKA_QT_WINDOWS, else ~/.cache/velka/qt6-mingw-6.4.2.
# A Qt already there is used as it is. Otherwise a ready copy is unpacked into
# it: the one given with --from, or ../shared/qt6-mingw/*.tar.xz beside the
# project. Otherwise, or with --build, Qt is built from Debian's own source of
# qt6-base, with Debian's patches and ours: 1,079 steps, about 24 minutes on 2
# cores, 81 MB installed. Building needs root (a deb-src line for apt) and
# scripts/deps/windows.txt installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
version=6.4.2
from=""
build=false
while [[ $# -gt 0 ]]; do
    case $1 in
    --from) from=$2; shift 2 ;;
    --build) build=true; shift ;;
    -h | --help) sed -n '2,11s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) dest=$1; shift ;;
    esac
done
dest=${dest:-${VELKA_QT_WINDOWS:-${XDG_CACHE_HOME:-$HOME/.cache}/velka/qt6-mingw-$version}}
dest=$(realpath -m "$dest")
say() { echo "qt.sh: $*" >&2; }

ready() { grep -qs "PACKAGE_VERSION \"$version\"" "$1/lib/cmake/Qt6/Qt6ConfigVersionImpl.cmake" && [[ -f $1/bin/Qt6Core.dll ]]; }
if ready "$dest" && ! $build; then
    echo "$dest"
    exit 0
fi
if [[ -z $from && -d $root/../shared/qt6-mingw ]] && ! $build; then
    from=$(find "$root/../shared/qt6-mingw" -maxdepth 1 -name "qt6-mingw-$version-*.tar.xz" -print -quit)
fi

# Everything goes to a folder beside the cache first and takes its place once
# complete, so an interrupted run never leaves a half Qt that looks ready.
mkdir -p "$(dirname "$dest")"
work=$(mktemp -d "$dest.work.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [[ -n $from ]] && ! $build; then
    say "unpacking $from"
    mkdir "$work/qt"
    if [[ -d $from ]]; then
        cp -a "$from/." "$work/qt"
    else
        tar -xJf "$from" -C "$work/qt" --strip-components=1
    fi
    ready "$work/qt" || { say "$from holds no Qt $version for Windows"; exit 1; }
else
    began=$SECONDS
    sudo=""
    [[ $(id -u) -ne 0 ]] && sudo=sudo
    # apt-get source needs the archive's source lines, which Debian leaves out.
    if ! grep -rqs '^\(Types: deb-src\|deb-src \)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        say "adding the deb-src lines of the Debian archive"
        if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
            sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
                $sudo tee /etc/apt/sources.list.d/velka-deb-src.sources >/dev/null
        else
            sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $sudo tee /etc/apt/sources.list.d/velka-deb-src.list >/dev/null
        fi
        $sudo apt-get update -qq
    fi
    # The same Debian revision as the host's Qt tools, which the cross build runs.
    revision=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)
    [[ $revision == "$version"+* ]] || { say "qt6-base-dev-tools is $revision, not $version"; exit 1; }
    say "fetching qt6-base $revision (Debian's patches are applied as it unpacks)"
    (cd "$work" && apt-get source -qq "qt6-base=$revision") >&2
    src=$(find "$work" -maxdepth 1 -type d -name 'qt6-base-*' -print -quit)
    for patch in "$root"/scripts/windows/qt-patches/*.patch; do
        patch -d "$src" -p1 --quiet <"$patch"
    done
    # The modules and plugins the client and its suites use, nothing else.
    cmake -S "$src" -B "$work/build" -G Ninja \
        --toolchain "$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DCMAKE_INSTALL_PREFIX="$work/qt" \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
        -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF -DFEATURE_opengl=OFF -DFEATURE_dbus=OFF \
        -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF -DFEATURE_tabletevent=OFF -DFEATURE_direct2d=OFF \
        -DFEATURE_freetype=OFF -DFEATURE_jpeg=OFF -DFEATURE_openssl=OFF -DFEATURE_schannel=ON \
        -DFEATURE_zstd=OFF -DFEATURE_brotli=OFF -DFEATURE_libproxy=OFF -DFEATURE_gssapi=OFF \
        -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_pcre2=OFF \
        -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_libb2=OFF \
        -DFEATURE_system_textmarkdownreader=OFF >"$work/configure.log" 2>&1 ||
        { tail -40 "$work/configure.log" >&2; say "configuring Qt failed"; exit 1; }
    say "building Qt (about 24 minutes on 2 cores)"
    ninja -C "$work/build" -j "$(nproc)" install >"$work/build.log" 2>&1 ||
        { tail -40 "$work/build.log" >&2; say "building Qt failed"; exit 1; }
    ready "$work/qt" || { say "the build installed no Qt $version"; exit 1; }
    say "built in $(((SECONDS - began) / 60)) min $(((SECONDS - began) % 60)) s"
fi

# Only a Qt of ours, or nothing, gives way: the folder may be one the user named.
if [[ -n $(ls -A "$dest" 2>/dev/null) ]] && ! ready "$dest"; then
    say "$dest holds something other than a Qt $version for Windows: left as it is"
    exit 1
fi
rm -rf "$dest"
mv "$work/qt" "$dest"
echo "$dest"
