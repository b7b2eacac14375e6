#!/usr/bin/env bash
# The README's run command with a build folder's programs, under Xvfb and a temporary
# HOME: the data folder, the server stopped with the window's program, a settings file
# of the user's left alone unless asked, a busy port.
#   run-command.sh <source dir> <build dir>
set -uo pipefail
source_dir=${1:?source dir}
build_dir=${2:?build dir}
work=$(mktemp -d "${TMPDIR:-/tmp}/velka-run.XXXXXX")
xvfb_pid="" run_pid="" server_pid="" status=""
trap 'stop_all $run_pid $server_pid $xvfb_pid; rm -rf "$work"' EXIT
source "$source_dir/scripts/lib.sh"

# run <name> <args...>: scripts/run.sh in the background, as the user of $home.
# (Strict string checks off: see journey.sh.)
run() {
    local name=$1
    shift
    mkdir -p "$home"
    env -u VELKA_DATA_DIR -u VELKA_PORT -u QT_QPA_PLATFORM -u XDG_DATA_HOME HOME="$home" VELKA_BUILD_DIR="$build_dir" \
        ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0" \
        bash "$source_dir/scripts/run.sh" --no-build "$@" >"$work/$name.log" 2>&1 &
    run_pid=$!
}
window() { xdotool search --onlyvisible --name '^VELKA Live Assistant$' 2>/dev/null | head -n 1; }
window_or_ended() { [[ -n $(window) ]] || ! kill -0 "$run_pid" 2>/dev/null; }
window_opened() { poll 60 window_or_ended && [[ -n $(window) ]]; }
# ended [close]: run.sh has ended (after the person closed the window); its status in $status.
ended() {
    [[ ${1:-} != close ]] || kill "$(xdotool getwindowpid "$(window)")" || return 1
    poll 20 eval '! kill -0 "$run_pid" 2>/dev/null' || return 1
    wait "$run_pid"
    status=$?
    run_pid=""
}

start_xvfb
port=$(free_port) || fail "no free port"

step "a newcomer: the default data folder, the server up while the window is open, down after"
home="$work/newcomer"
run newcomer --port "$port"
window_opened || fail "the window did not open"
listening "$port" && [[ -s $home/.local/share/velka-live-server/accounts.sqlite ]] || fail "no server on $port with its database"
[[ $(ini_get "$home/.VELKA/velka.ini" live server) == "http://127.0.0.1:$port" ]] || fail "the client is not pointed at $port"
ended close || fail "run.sh did not end with the client"
! listening "$port" || fail "the server still runs after the client ended"

step "a settings file pointing elsewhere is left alone, or changed in live/server alone; a data folder of one's own"
home="$work/user"
mkdir -p "$home/.VELKA"
printf '[live]\ndirectory=VELKA/be\nid\\login=17\nserver=https://live.example.test\n\n[updater]\nserver=https://updates.example.test\n' \
    | tee "$work/original.ini" >"$home/.VELKA/velka.ini"
run refused --port "$port" --data-dir "$work/data"
ended && [[ $status == 1 ]] || fail "run.sh went on (status $status)"
grep -q -- "--use-local-server" "$work/refused.log" && grep -q "https://live.example.test" "$work/refused.log" ||
    fail "run.sh did not say where the client points and what to do"
cmp -s "$work/original.ini" "$home/.VELKA/velka.ini" && ! listening "$port" || fail "the file changed, or a server runs"
run rewritten --port "$port" --data-dir "$work/data" --use-local-server
window_opened && [[ -s $work/data/accounts.sqlite ]] || fail "the window did not open, or no database in the data folder"
cmp -s "$home"/.VELKA/velka.ini.bak-* "$work/original.ini" || fail "no backup of the original file"
ended close || fail "run.sh did not end with the client"
[[ $(ini_get "$home/.VELKA/velka.ini" live server) == "http://127.0.0.1:$port" &&
    $(ini_get "$home/.VELKA/velka.ini" updater server) == https://updates.example.test &&
    $(ini_get "$home/.VELKA/velka.ini" live 'id\login') == 17 ]] || fail "not live/server alone changed"
grep -q "https://live.example.test -> http://127.0.0.1:$port" "$work/rewritten.log" || fail "the change was not told"

step "a busy port is told, nothing starts"
home="$work/busy"
start_server "$work/other.log" "$build_dir/server/velka-live-server" --port 0 --database "$work/other.sqlite" \
    --create-database ||
    fail "the other server did not start"
busy=$(sed -n 's|^http://127.0.0.1:\([0-9]*\)/.*|\1|p' <<<"$server_url")
run busy --port "$busy" --data-dir "$work/busy-data"
ended && [[ $status == 1 ]] && grep -q "port $busy on 127.0.0.1 is already in use" "$work/busy.log" ||
    fail "the busy port was not told (status $status)"
[[ ! -e $work/busy-data/accounts.sqlite ]] || fail "a database was made anyway"
! grep -E "ERROR: [A-Za-z]+Sanitizer|runtime error:" "$work"/*.log || fail "a sanitizer spoke"
