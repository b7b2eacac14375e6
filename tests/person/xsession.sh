# Sourced by the X suites. Needs $work and fail(); poll() comes with it.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/poll.sh"

# stop_all PID...: ends each process that is still there and waits for it.
stop_all() {
    local pid
    for pid in "$@"; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    return 0
}

# start_xvfb: a private X server on a free display; sets xvfb_pid and DISPLAY.
# -noreset: by default the server resets when its last client leaves, and a
# client that connects during the reset is turned away.
start_xvfb() {
    mkdir -m 700 "$work/runtime"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.err" &
    xvfb_pid=$!
    poll 20 test -s "$work/display" || fail "Xvfb did not start"
    export DISPLAY=":$(head -n 1 "$work/display")"
}
