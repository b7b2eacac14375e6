#!/usr/bin/env bash
# Package check: the .deb of the tested build, its declared dependencies, and
# its programs started from a temporary root it is unpacked into.
set -uo pipefail
: "${BUILD_DIR:?the build folder to package}"
work=$(mktemp -d "${TMPDIR:-/tmp}/velka-package.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
source "$(dirname "$0")/../lib.sh"
began=$SECONDS

(cd "$BUILD_DIR" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
debs=("$work"/out/*.deb)
[[ ${#debs[@]} == 1 && -f ${debs[0]} ]] || fail "expected one package, got: ${debs[*]}"
deb=${debs[0]}
echo "package: $(basename "$deb")"

# What dpkg-shlibdeps finds, and the plugins it cannot see.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for needed in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6httpserver6 libqt6sql6 libsodium23 \
    qt6-qpa-plugins libqt6sql6-sqlite; do
    [[ ", $depends," =~ ,\ $needed[\ ,] ]] || fail "Depends lacks $needed"
done
apt-get install --simulate --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "the dependencies cannot be met"; }

root="$work/root"
dpkg-deb -x "$deb" "$root"
for file in usr/bin/velka-live-assistant usr/bin/velka-live-server \
    usr/share/applications/velka-live-assistant.desktop usr/share/icons/hicolor/256x256/apps/velka-live-assistant.png; do
    [[ -s $root/$file ]] || fail "$file is not in the package"
done

"$root/usr/bin/velka-live-server" --help >"$work/help.txt" || fail "velka-live-server --help failed"
grep -q -- "--database" "$work/help.txt" && grep -q -- "--tls-cert" "$work/help.txt" || fail "unexpected --help"
# Serving needs the SQLite driver, a plugin: start it on a temporary database.
"$root/usr/bin/velka-live-server" --port 0 --database "$work/data/accounts.sqlite" --hash-cost minimum \
    >"$work/server.out" 2>"$work/server.err" &
pids+=($!)
poll 30 grep -q '^http://127.0.0.1:' "$work/server.out" || { cat "$work/server.err"; fail "the server did not start"; }
[[ -s $work/data/accounts.sqlite ]] || fail "the server made no database"

mkdir -p "$work/home"
HOME="$work/home" QT_QPA_PLATFORM=offscreen "$root/usr/bin/velka-live-assistant" >"$work/client.log" 2>&1 &
client=$!
pids+=("$client")
written() { grep -q '^server=' "$work/home/.VELKA/velka.ini" 2>/dev/null; }
poll 30 written || { cat "$work/client.log"; fail "the client wrote no settings file"; }
kill -0 "$client" 2>/dev/null || { cat "$work/client.log"; fail "the client did not keep running"; }

echo "package check passed in $((SECONDS - began)) s"
