#!/usr/bin/env bash
# The README's run command (scripts/run.sh) with the programs of a build
# folder, under Xvfb and a temporary HOME: it serves the data folder it is
# given, opens the window against that server, stops the server when the
# window's program ends, and leaves a settings file of the user's alone unless
# asked.
#
#   run-command.sh <source dir> <build dir>
set -uo pipefail

source_dir=${1:?source dir}
build_dir=${2:?build dir}
run_sh="$source_dir/scripts/run.sh"

if ! command -v Xvfb >/dev/null; then
    echo "SKIP: Xvfb is not installed (apt-get install xvfb, or bash scripts/install-deps.sh --test)"
    exit 77
fi
command -v xdotool >/dev/null || { echo "FAIL: xdotool is missing: bash scripts/install-deps.sh --test"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/velka-run.XXXXXX")
xvfb_pid="" run_pid="" other_pid=""
cleanup() {
    stop_all $run_pid $other_pid $xvfb_pid
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    for log in "$work"/*.log; do [[ -s $log ]] && { echo "-- $(basename "$log")"; tail -n 20 "$log"; }; done
    exit 1
}
step() { echo "== $*"; }
source "$(dirname "$0")/xsession.sh"
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
closed() { ! listening "$1"; }
window_up() { [[ -n $(xdotool search --onlyvisible --name '^VELKA Live Assistant$' 2>/dev/null) ]]; }
gone() { ! kill -0 "$1" 2>/dev/null; }
# Below the kernel's range for outgoing connections, so that no other suite's
# client socket takes the port between this choice and the server's start.
free_port() {
    local p low
    read -r low _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null && ((low > 20100)) || low=32768
    for p in $(shuf -i 20000-$((low - 1)) -n 50); do closed "$p" && { echo "$p"; return; }; done
    return 1
}

# run <name> <args...>: scripts/run.sh in the background, as the user of $home.
# (Strict string checks off: see person.sh.)
run() {
    local name=$1; shift
    env -u VELKA_DATA_DIR -u VELKA_PORT -u QT_QPA_PLATFORM -u XDG_DATA_HOME HOME="$home" DISPLAY="$DISPLAY" \
        VELKA_BUILD_DIR="$build_dir" XDG_RUNTIME_DIR="$work/runtime" \
        ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0" \
        bash "$run_sh" --no-build "$@" >"$work/$name.log" 2>&1 &
    run_pid=$!
}
# The window is up, or run.sh has already given up (its log says why).
window_opened() {
    poll 30 window_or_ended && window_up
}
window_or_ended() { window_up || gone "$run_pid"; }
finished() { # finished <seconds>: waits for run.sh; its status in $status
    poll "$1" gone "$run_pid" || return 1
    wait "$run_pid"; status=$?; run_pid=""
}
# The person closes the window: its program ends, and with it run.sh.
close_client() {
    local win pid
    win=$(xdotool search --onlyvisible --name '^VELKA Live Assistant$' | head -n 1)
    pid=$(xdotool getwindowpid "$win") || return 1
    kill "$pid"
}

start_xvfb

step "a newcomer: data folder of their choice, server up while the window is open, down after"
home="$work/newcomer"
mkdir -p "$home"
port=$(free_port) || fail "no free port"
run newcomer --port "$port" --data-dir "$work/data"
window_opened || fail "the window did not open"
listening "$port" || fail "no server on port $port"
[[ -s $work/data/accounts.sqlite ]] || fail "no database in the data folder"
grep -qx "server=http://127.0.0.1:$port" "$home/.VELKA/velka.ini" || fail "the client is not pointed at port $port"
close_client || fail "cannot find the client's process"
finished 20 || fail "run.sh did not end with the client"
closed "$port" || fail "the server still runs after the client ended"

step "default data folder"
home="$work/defaults"
mkdir -p "$home"
run defaults --port "$port"
window_opened || fail "the window did not open"
[[ -s $home/.local/share/velka-live-server/accounts.sqlite ]] || fail "no database in the default data folder"
close_client && finished 20 || fail "run.sh did not end with the client"

step "a settings file pointing elsewhere is left alone"
home="$work/user"
mkdir -p "$home/.VELKA"
printf '[live]\ndirectory=VELKA/be\nid\\login=17\nid\\password=0123456789abcdef0123456789abcdef\nserver=https://live.example.test\n\n[updater]\nserver=https://updates.example.test\n' \
    >"$home/.VELKA/velka.ini"
cp "$home/.VELKA/velka.ini" "$work/original.ini"
run refused --port "$port" --data-dir "$work/data"
finished 20 || fail "run.sh did not end"
[[ $status == 1 ]] || fail "run.sh went on (status $status)"
grep -q -- "--use-local-server" "$work/refused.log" || fail "run.sh did not say what to do"
grep -q "https://live.example.test" "$work/refused.log" || fail "run.sh did not say where the client points"
cmp -s "$work/original.ini" "$home/.VELKA/velka.ini" || fail "the settings file changed"
closed "$port" || fail "a server was left running"

step "--use-local-server changes live/server alone, after a backup"
run rewritten --port "$port" --data-dir "$work/data" --use-local-server
window_opened || fail "the window did not open"
backup=$(ls "$home"/.VELKA/velka.ini.bak-* 2>/dev/null | head -n 1)
[[ -n $backup ]] && cmp -s "$backup" "$work/original.ini" || fail "no backup of the original file"
close_client && finished 20 || fail "run.sh did not end with the client"
# The client adds its other defaults when it starts; every line of the user's stays but the one.
while IFS= read -r line; do
    [[ $line == server=https://live.example.test ]] && continue
    grep -qxF -- "$line" "$home/.VELKA/velka.ini" || fail "line lost: $line"
done <"$work/original.ini"
grep -qx "server=http://127.0.0.1:$port" "$home/.VELKA/velka.ini" || fail "live/server not changed"
grep -qx "server=https://updates.example.test" "$home/.VELKA/velka.ini" || fail "updater/server changed"
grep -q "https://live.example.test -> http://127.0.0.1:$port" "$work/rewritten.log" || fail "the change was not told"

step "a busy port is told, nothing starts"
home="$work/busy"
mkdir -p "$home"
"$build_dir/server/velka-live-server" --port 0 --database "$work/other.sqlite" --hash-cost minimum \
    >"$work/other.out" 2>/dev/null &
other_pid=$!
poll 20 grep -q '^http' "$work/other.out" || fail "the other server did not start"
busy=$(sed -n 's|^http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/other.out")
run busy --port "$busy" --data-dir "$work/busy-data"
finished 20 || fail "run.sh did not end"
[[ $status == 1 ]] && grep -q "port $busy on 127.0.0.1 is already in use" "$work/busy.log" ||
    fail "the busy port was not told (status $status)"
[[ ! -e $work/busy-data/accounts.sqlite ]] || fail "a database was made anyway"

if grep -E "ERROR: [A-Za-z]+Sanitizer|runtime error:" "$work"/*.log; then
    fail "a sanitizer spoke"
fi
