# A private X display for the client on a screen; sourced by scripts/lib.sh.

# start_xvfb: a private X server on a free display; sets $xvfb_pid and DISPLAY.
# Skips (77) where there is none. -noreset: by default the server resets when its
# last client leaves, and a client that connects during the reset is turned away.
start_xvfb() {
    command -v Xvfb >/dev/null ||
        { echo "SKIP: Xvfb is not installed (bash scripts/install-deps.sh --test)"; exit 77; }
    mkdir -p -m 700 "$work/runtime"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.err" &
    xvfb_pid=$!
    poll 20 test -s "$work/display" || fail "Xvfb did not start"
    export DISPLAY=":$(head -n 1 "$work/display")" XDG_RUNTIME_DIR="$work/runtime"
}
