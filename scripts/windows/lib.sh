# Shell helpers for the Windows client, sourced after scripts/lib.sh: its cross
# build, and a private Wine to run it in. Callers define fail() and $work.

# windows_build DIR: the client and its suites cross-built for 64-bit Windows with
# MinGW-w64, against the Qt that scripts/windows/qt.sh keeps (unpacked or built
# the first time).
windows_build() {
    local dir=$1 qt
    qt=$(bash "$velka_root/scripts/windows/qt.sh") || fail "no Qt for Windows (scripts/windows/qt.sh)"
    # A folder configured with another Qt would keep finding that one.
    [[ $(sed -n 's/^CMAKE_PREFIX_PATH:[A-Z]*=//p' "$dir/CMakeCache.txt" 2>/dev/null) == "$qt" ]] ||
        rm -f "$dir/CMakeCache.txt"
    cmake -S "$velka_root" -B "$dir" -G Ninja --toolchain "$velka_root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_PREFIX_PATH="$qt" -DCMAKE_BUILD_TYPE=Release -DVELKA_BUILD_SERVER=OFF \
        -DVELKA_WARNINGS_AS_ERRORS=ON >"$work/windows-configure.log" 2>&1 ||
        { tail -n 20 "$work/windows-configure.log"; fail "configuring the Windows build failed"; }
    cmake --build "$dir" -j "$(nproc)" || fail "the Windows build failed"
}

# wine_prefix DIR: a Wine prefix of its own in DIR, exported as WINEPREFIX; its
# user's profile, the home of Windows programs, in $wine_home. Made without
# Wine's offers to fetch Mono and Gecko, without entries in the desktop's menus,
# and with its shell folders under DIR rather than the real home.
wine_prefix() {
    export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    mkdir -p "$1.home"
    HOME="$1.home" wineboot --init >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; fail "wineboot failed"; }
    wineserver --wait
    wine_home=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public -print -quit)
    [[ -n $wine_home ]] || fail "the prefix has no user profile"
    # Qt asks for Windows' dialog font, which Wine maps to a Tahoma of its own
    # that leaves the text in line edits unpainted: DejaVu Sans stands in.
    [[ -f /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf ]] || fail "DejaVu Sans is missing: bash scripts/install-deps.sh --test"
    local face
    for face in "MS Shell Dlg" "MS Shell Dlg 2"; do
        wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' /v "$face" /d "DejaVu Sans" /f \
            >/dev/null 2>&1 || fail "could not set the prefix's fonts"
    done
}

# wine_window_manager yes|no: with no window manager on the display, Wine waits 2 s
# for one each time it hides a window it leaves to the manager. Windows it manages
# itself ("no") skip that wait, but carry a frame of Wine's own around the client
# area, which shifts window coordinates: the journey, which clicks, says "yes".
wine_window_manager() {
    local managed=Y
    [[ $1 == no ]] && managed=N
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d "$managed" /f >/dev/null 2>&1 ||
        fail "could not set Wine's window management"
}
