#!/usr/bin/env bash
# Windows: the client cross-built with MinGW-w64 against the cached Qt for Windows
# (unpacked or built when missing), its suites under Wine, the zip and the
# installer, the zip run from a folder of its own, a silent install whose client
# reaches the live server and makes the person's journey, then a silent uninstall
# that leaves the user's settings. Everything under Wine runs in a private prefix.
set -uo pipefail
: "${BUILD_DIR:?the tested build, whose live server the client talks to}"
work=$(mktemp -d "${TMPDIR:-/tmp}/velka-windows.XXXXXX")
xvfb_pid="" server_pid=""
cleanup() {
    [[ -n ${WINEPREFIX:-} ]] && wineserver --kill 2>/dev/null
    stop_all $server_pid $xvfb_pid
    rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/../lib.sh"
source "$velka_root/scripts/windows/lib.sh"
began=$SECONDS
for tool in x86_64-w64-mingw32-g++-posix wine wineserver makensis Xvfb unzip; do
    command -v "$tool" >/dev/null || fail "$tool is missing: bash scripts/install-deps.sh --test"
done
server_bin="$BUILD_DIR/server/velka-live-server"
[[ -x $server_bin ]] || fail "no live server in $BUILD_DIR"

echo "== cross build"
build="$velka_root/build-windows"
windows_build "$build"
build_done=$SECONDS
# Nothing Wine runs from here on reaches the real home.
export HOME="$work/home"
mkdir -p "$HOME"

echo "== the client's suites under Wine"
start_xvfb
wine_prefix "$work/prefix"
wine_window_manager no
ctest --test-dir "$build" --output-on-failure --no-tests=error || fail "a suite failed under Wine"
suites=$(ctest --test-dir "$build" -N | sed -n 's/^Total Tests: //p')
((suites == 3)) || fail "expected the 3 client suites, found $suites"

echo "== packages"
(cd "$build" && cpack -B "$work/packages") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
zip=$(echo "$work"/packages/velka-live-assistant-*-win64.zip)
installer=$(echo "$work"/packages/velka-live-assistant-*-win64.exe)
[[ -f $zip && -f $installer ]] || fail "expected a zip and an installer: $(ls "$work/packages")"
echo "   $(basename "$zip") $(($(stat -c %s "$zip") / 1024)) KiB, $(basename "$installer") $(($(stat -c %s "$installer") / 1024)) KiB"
strings -el "$build/velka-live-assistant.exe" | grep -qx "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ||
    fail "the executable carries no version resource"

start_server "$work/server.err" "$server_bin" --port 0 --database "$work/accounts.sqlite" --create-database --hash-cost minimum ||
    fail "no live server"
base=${server_url%/VELKA/be/}
# reaches_server EXE: started with an account stored, the client signs in at once:
# its request reaches the server, and it has written the rest of its eleven keys.
reaches_server() {
    local before pid ok=0
    before=$(grep -c "GET /VELKA/be/login.php " "$work/server.err")
    mkdir -p "$wine_home/.VELKA"
    printf '[live]\r\nserver=%s\r\nid\\login=7\r\nid\\password=%s\r\n' "$base" "$(printf pw | md5sum | cut -c1-32)" \
        >"$wine_home/.VELKA/velka.ini"
    wine "$1" >>"$work/client.log" 2>&1 &
    pid=$!
    poll 60 eval '(($(grep -c "GET /VELKA/be/login.php " "$work/server.err") > before))' || ok=1
    poll 30 eval '(($(grep -c = "$wine_home/.VELKA/velka.ini") == 11))' || ok=1
    stop_all "$pid"
    return $ok
}

echo "== the zip, unpacked to a folder of its own"
portable="$WINEPREFIX/drive_c/Portable VELKA"
mkdir -p "$portable"
unzip -q "$zip" -d "$portable"
reaches_server "$(echo "$portable"/*/velka-live-assistant.exe)" || fail "the client from the zip did not reach the server"

echo "== silent install"
wine "$installer" /S || fail "the installer failed"
installed="$WINEPREFIX/drive_c/Program Files/VELKA Live Assistant"
for file in velka-live-assistant.exe Qt6Core.dll libstdc++-6.dll platforms/qwindows.dll styles/qwindowsvistastyle.dll \
    tls/qschannelbackend.dll Uninstall.exe; do
    [[ -f "$installed/$file" ]] || fail "$file is not installed"
done
shortcut=$(find "$WINEPREFIX/drive_c" -path '*Start Menu*' -name 'VELKA Live Assistant.lnk' -print -quit)
[[ -n $shortcut ]] || fail "no Start-menu entry"
reaches_server "$installed/velka-live-assistant.exe" || fail "the installed client did not reach the server"
stop_all "$server_pid"
server_pid=""

echo "== the person's journey, with the installed client"
# The journey starts its own X server, and its client must start from nothing.
wineserver --kill
rm -rf "$wine_home/.VELKA"
wine_window_manager yes
VELKA_CLIENT_INI="$wine_home/.VELKA/velka.ini" VELKA_SCREENSHOTS="${VELKA_WINDOWS_SCREENSHOTS:-$work/shots}" \
    bash "$velka_root/tests/person/journey.sh" "$server_bin" wine "$installed/velka-live-assistant.exe" ||
    fail "the journey failed under Wine"

echo "== silent uninstall"
wine "$installed/Uninstall.exe" /S || fail "the uninstaller failed"
# It copies itself away and runs from there: wait for every process of the prefix.
wineserver --wait
left=$(find "$installed" "$(dirname "$shortcut")" 2>/dev/null)
[[ -z $left ]] || fail "left behind: $left"
[[ $(grep -c = "$wine_home/.VELKA/velka.ini") == 11 ]] || fail "the user's velka.ini did not stay"

echo "Windows step passed in $((SECONDS - began)) s (cross build $((build_done - began)) s)"
