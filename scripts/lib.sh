# Shell helpers shared by the scripts, the shell suites and the CI steps; sourced, never run.
# Callers may define fail() and step() before; the X session and fail() use $work.
velka_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# fail MESSAGE: says so, with the end of every log the caller left in $work, and exits.
declare -F fail >/dev/null || fail() {
    local log
    echo "FAIL: $*"
    for log in "${work:-/nonexistent}"/*.{err,log}; do
        [[ -s $log ]] && { echo "-- $(basename "$log")"; tail -n 20 "$log"; }
    done
    exit 1
}
declare -F step >/dev/null || step() { echo "== $*"; }

# poll SECONDS COMMAND...: runs the command until it succeeds, for at most SECONDS.
poll() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.05
    done
}

listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# A port nothing listens on, below the kernel's range for outgoing connections, so
# that no client socket takes it between this choice and the server's start.
free_port() {
    local port low
    read -r low _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null && ((low > 20100)) || low=32768
    for port in $(shuf -i 20000-$((low - 1)) -n 50); do
        listening "$port" || { echo "$port"; return 0; }
    done
    return 1
}

# start_server LOG COMMAND...: the live server in the background, its access log
# appended to LOG; once it listens, its pid in $server_pid and the URL it printed
# in $server_url. Fails with the log's last line if it ends or stays silent.
start_server() {
    local log=$1 said
    shift
    said=$(mktemp)
    "$@" >"$said" 2>>"$log" &
    server_pid=$!
    poll 30 _server_up "$said"
    server_url=$(head -n 1 "$said")
    rm -f "$said"
    [[ $server_url == http* ]] && return 0
    kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    server_pid=""
    echo "the live server did not start: $(tail -n 1 "$log")" >&2
    return 1
}
_server_up() { [[ -s $1 ]] || ! kill -0 "$server_pid" 2>/dev/null; }

# stop_all PID...: ends each process that is still there and waits for it.
stop_all() {
    local pid
    for pid in "$@"; do
        { kill "$pid" && wait "$pid"; } 2>/dev/null || true # its status is that of the kill
    done
}

# release_build BUILD_DIR [TARGET...]: the programs as shipped, configured once;
# without targets only configured.
release_build() {
    local dir=$1
    shift
    [[ -f $dir/CMakeCache.txt ]] ||
        cmake -S "$velka_root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    (($# == 0)) || cmake --build "$dir" -j "$(nproc)" --target "$@"
}

# ini_get FILE SECTION KEY: a value of a Qt INI file as written (outer quotes
# removed; a key below the section keeps Qt's '\' separators); status 1 when absent.
ini_get() {
    [[ -f $1 ]] || return 1
    awk -v want="[$2]" -v key="$3" '
        function trim(s) { gsub(/^[ \t\r]+|[ \t\r]+$/, "", s); return s }
        /^[ \t]*\[/ { here = (tolower(trim($0)) == tolower(want)); next }
        here && index($0, "=") {
            i = index($0, "=")
            if (trim(substr($0, 1, i - 1)) != key) next
            v = trim(substr($0, i + 1))
            if (v ~ /^".*"$/) v = substr(v, 2, length(v) - 2)
            print v; found = 1; exit
        }
        END { exit !found }' "$1"
}

# ini_set FILE SECTION KEY VALUE: writes that one value, every other line kept as
# it is; the file keeps its owner and mode.
ini_set() {
    local tmp
    tmp=$(mktemp)
    awk -v want="[$2]" -v key="$3" -v value="$4" '
        function trim(s) { gsub(/^[ \t\r]+|[ \t\r]+$/, "", s); return s }
        /^[ \t]*\[/ {
            print; here = !done && tolower(trim($0)) == tolower(want)
            if (here) { print key "=" value; done = 1 }
            next
        }
        here && index($0, "=") && trim(substr($0, 1, index($0, "=") - 1)) == key { next }
        { print }
        END { if (!done) printf "%s%s\n%s=%s\n", (NR ? "\n" : ""), want, key, value }' "$1" 2>/dev/null >"$tmp"
    cat "$tmp" >"$1"
    rm -f "$tmp"
}

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
