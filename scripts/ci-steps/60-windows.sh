#!/usr/bin/env bash
# Windows: the client cross-built with MinGW-w64 against the cached Qt for Windows
# (unpacked or built when missing), its manifest, its suites under Wine (https
# against Linux servers started here), the zip and the installer, the zip run
# from a folder of its own, a silent install for the user alone over an older
# version, its entry in the installed programs, its client reaching the live
# server and making the person's journey, then a silent uninstall that leaves
# the user's settings; an install for all users too.
# Everything under Wine runs in a private prefix.
set -uo pipefail
: "${BUILD_DIR:?the tested build, whose live server the client talks to}"
work=$(mktemp -d "${TMPDIR:-/tmp}/velka-windows.XXXXXX")
xvfb_pid="" server_pid="" tls_pid=""
cleanup() {
    [[ -n ${WINEPREFIX:-} ]] && wineserver --kill 2>/dev/null
    stop_all $server_pid $tls_pid $xvfb_pid
    rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/../lib.sh"
source "$velka_root/scripts/windows/lib.sh"
began=$SECONDS
for tool in x86_64-w64-mingw32-g++-posix wine wineserver makensis Xvfb unzip wrestool; do
    command -v "$tool" >/dev/null || fail "$tool is missing: bash scripts/install-deps.sh --test"
done
server_bin="$BUILD_DIR/server/velka-live-server"
[[ -x $server_bin ]] || fail "no live server in $BUILD_DIR"

echo "== cross build"
build="$velka_root/build-windows"
windows_build "$build"
build_done=$SECONDS

# manifest_has EXE TEXT...: the manifest Windows reads from EXE says each TEXT.
manifest_has() {
    local manifest want
    manifest=$(wrestool -x --raw -t 24 "$1") && [[ -n $manifest ]] || fail "$(basename "$1") carries no manifest"
    shift
    for want in "$@"; do
        grep -qF -- "$want" <<<"$manifest" || fail "its manifest does not say $want: $manifest"
    done
    echo "   its manifest says $*"
}
echo "== the manifest of the executable"
(($(wrestool -l -t 24 "$build/velka-live-assistant.exe" | wc -l) == 1)) || fail "expected one manifest in the executable"
# Windows 7, 8, 8.1 and 10/11; no elevation; DPI awareness per monitor, as Qt sets it.
manifest_has "$build/velka-live-assistant.exe" 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
    1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a 'level="asInvoker"' '>PerMonitorV2<' '>true/pm<'
# Nothing Wine runs from here on reaches the real home.
export HOME="$work/home"
mkdir -p "$HOME"

echo "== the client's suites under Wine"
start_xvfb
wine_prefix "$work/prefix"
wine_window_manager no
# The live server the clients reach from here on, and for the https suite one
# serving TLS with the test certificate, both Linux programs.
start_server "$work/server.err" "$server_bin" --port 0 --database "$work/accounts.sqlite" --create-database --hash-cost minimum \
    --registrations-per-hour 0 || fail "no live server"
base=${server_url%/VELKA/be/}
plain_pid=$server_pid
start_server "$work/tls.err" "$server_bin" --port 0 --database "$work/tls.sqlite" --create-database --hash-cost minimum \
    --registrations-per-hour 0 --tls-cert "$velka_root/tests/tls/data/tls-cert.pem" --tls-key "$velka_root/tests/tls/data/tls-key.pem" ||
    fail "no live server over TLS"
tls_pid=$server_pid server_pid=$plain_pid
[[ $server_url == https://* ]] || fail "the TLS server serves $server_url"
VELKA_TEST_HTTPS_URL=${server_url%/VELKA/be/} VELKA_TEST_HTTP_URL=$base \
    ctest --test-dir "$build" --output-on-failure --no-tests=error || fail "a suite failed under Wine"
stop_all $tls_pid
tls_pid=""
suites=$(ctest --test-dir "$build" -N | sed -n 's/^Total Tests: //p')
((suites == 4)) || fail "expected the 3 client suites and the https one, found $suites"

echo "== packages"
(cd "$build" && cpack -B "$work/packages") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
# The same installer as an older version would make it (quicker to pack), to upgrade from.
(cd "$build" && cpack -G NSIS -D CPACK_PACKAGE_VERSION=1.0.0 -D CPACK_NSIS_COMPRESSOR=zlib -B "$work/older") >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack for the older version"; }
older=$(echo "$work"/older/velka-live-assistant-*-win64.exe)
zip=$(echo "$work"/packages/velka-live-assistant-*-win64.zip)
installer=$(echo "$work"/packages/velka-live-assistant-*-win64.exe)
[[ -f $zip && -f $installer ]] || fail "expected a zip and an installer: $(ls "$work/packages")"
echo "   $(basename "$zip") $(($(stat -c %s "$zip") / 1024)) KiB, $(basename "$installer") $(($(stat -c %s "$installer") / 1024)) KiB"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
strings -el "$build/velka-live-assistant.exe" | grep -qx "$version" || fail "the executable carries no version resource"
echo "   the installer, for no elevation:"
manifest_has "$installer" 'level="asInvoker"'

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

uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\VELKA Live Assistant'
# entry HKCU|HKLM: the installed programs' entry of the client, one "name value" a line.
entry() { wine reg query "$1\\$uninstall_key" 2>/dev/null | tr -d '\r' | awk '$2 ~ /^REG_/ { v = $3; for (i = 4; i <= NF; i++) v = v " " $i; print $1, v }'; }
value() { entry "$1" | sed -n "s/^$2 //p"; }

echo "== silent install for the user, over an older version"
wine "$older" /S || fail "the older installer failed"
[[ $(value HKCU DisplayVersion) == 1.0.0 ]] || fail "the older version is not installed: $(entry HKCU)"
mkdir -p "$wine_home/.VELKA"
printf '[live]\r\nserver=http://kept.example\r\n' >"$wine_home/.VELKA/velka.ini"
cp "$wine_home/.VELKA/velka.ini" "$work/velka.ini"
wine "$installer" /S || fail "the installer failed"
cmp -s "$work/velka.ini" "$wine_home/.VELKA/velka.ini" || fail "the upgrade changed the user's velka.ini"
installed="$wine_home/AppData/Local/Programs/VELKA Live Assistant"
echo "   $(entry HKCU | tr '\n' ';')"
[[ $(value HKCU DisplayName) == "VELKA Live Assistant" && $(value HKCU DisplayVersion) == "$version" &&
    $(value HKCU Publisher) == VELKA && $(value HKCU DisplayIcon) == *'\velka-live-assistant.exe,0' &&
    $(value HKCU UninstallString) == *'\Uninstall.exe"' && $(value HKCU QuietUninstallString) == *'\Uninstall.exe" /S' &&
    $(($(value HKCU EstimatedSize))) -gt 10000 ]] || fail "an incomplete entry in the installed programs: $(entry HKCU)"
[[ -z $(entry HKLM) ]] || fail "an install for the user alone wrote to HKLM: $(entry HKLM)"
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
left=$(find "$installed" "$shortcut" 2>/dev/null)
[[ -z $left && -z $(entry HKCU) ]] || fail "left behind: $left $(entry HKCU)"
[[ $(grep -c = "$wine_home/.VELKA/velka.ini") == 11 ]] || fail "the user's velka.ini did not stay"

echo "== silent install for all users, and its uninstall"
wine "$installer" /S /AllUsers || fail "the installer failed for all users"
[[ -f "$WINEPREFIX/drive_c/Program Files/VELKA Live Assistant/velka-live-assistant.exe" && $(value HKLM DisplayVersion) == "$version" &&
    -z $(entry HKCU) ]] || fail "not installed for all users: $(entry HKLM)"
eval "wine $(value HKLM QuietUninstallString)" || fail "the uninstaller failed for all users"
wineserver --wait
[[ ! -e "$WINEPREFIX/drive_c/Program Files/VELKA Live Assistant" && -z $(entry HKLM) ]] || fail "the uninstall for all users left its program or entry"

echo "Windows step passed in $((SECONDS - began)) s (cross build $((build_done - began)) s)"
