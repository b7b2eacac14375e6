#!/usr/bin/env bash
# Builds the client and the reference live server (Release, in build/), starts
# the server on 127.0.0.1 with its accounts in a data folder, opens the client
# against it, and stops the server when the client ends.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

usage() {
    cat <<EOF
Usage: bash scripts/run.sh [options]

  --data-dir DIR       folder of the server's database (accounts.sqlite) and log
                       (default: \$VELKA_DATA_DIR, else $default_data_dir)
  --port N             port of the server on 127.0.0.1 (default: \$VELKA_PORT, else 8421)
  --use-local-server   if ~/.VELKA/velka.ini points the client at another server,
                       point it at this one: only live/server changes, after a backup
  --keep-settings      start anyway and leave ~/.VELKA/velka.ini as it is
  --no-build           use the programs already built in the build folder
  -h, --help           this text

Environment: VELKA_BUILD_DIR (default: build/ in the source tree).
EOF
}

default_data_dir="${XDG_DATA_HOME:-$HOME/.local/share}/velka-live-server"
data_dir=${VELKA_DATA_DIR:-$default_data_dir}
port=${VELKA_PORT:-8421}
build_dir=${VELKA_BUILD_DIR:-$velka_root/build}
settings_choice="" build=1
while (($#)); do
    case $1 in
        --data-dir) data_dir=${2:?--data-dir needs a folder}; shift 2 ;;
        --data-dir=*) data_dir=${1#*=}; shift ;;
        --port) port=${2:?--port needs a number}; shift 2 ;;
        --port=*) port=${1#*=}; shift ;;
        --use-local-server) settings_choice=rewrite; shift ;;
        --keep-settings) settings_choice=keep; shift ;;
        --no-build) build=0; shift ;;
        -h | --help) usage; exit 0 ;;
        *) echo "run.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done
[[ $port =~ ^[0-9]+$ ]] && ((port > 0 && port < 65536)) || { echo "run.sh: --port: not a port: $port" >&2; exit 2; }
say() { echo "run.sh: $*"; }
die() { echo "run.sh: $*" >&2; exit 1; }
[[ -n ${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-} ]] ||
    die "no display to open the window on (DISPLAY is not set): run it from a desktop session"

# The client reads live/server from its settings file, or uses the URL built into
# it. A file of the user's own is never changed without being asked.
((build)) && release_build "$build_dir"
velka_live_server_url=http://127.0.0.1:8421
[[ -f $build_dir/velka-build.sh ]] && source "$build_dir/velka-build.sh"
ini="$HOME/.VELKA/velka.ini"
local_url="http://127.0.0.1:$port"
settings_action=none
if [[ -f $ini ]]; then
    current=$(ini_get "$ini" live server) || current=$velka_live_server_url
    current=${current%/}
    if [[ $current != "$local_url" ]]; then
        case $settings_choice in
            rewrite) settings_action=rewrite ;;
            keep) say "note: $ini points the client at $current, not at the server started here ($local_url)." ;;
            *) die "your settings file $ini
        points the client at $current,
        not at the local server this command starts ($local_url).
        Nothing was started and the file was not changed. Run again with one of:
          --use-local-server   change live/server to $local_url (the file is backed up first;
                               a login stored there belongs to the other server)
          --keep-settings      start anyway; the client keeps using $current" ;;
        esac
    fi
elif [[ $velka_live_server_url != "$local_url" ]]; then
    settings_action=create
fi
# A directory of the user's own is served as it is, so the client finds the scripts.
directory=$(ini_get "$ini" live directory) || directory="VELKA/be"

server_bin="$build_dir/server/velka-live-server"
client_bin="$build_dir/velka-live-assistant"
if ((build)); then
    say "building in $build_dir (the first time takes a few minutes)"
    release_build "$build_dir" velka-live-server velka-live-assistant
fi
[[ -x $server_bin && -x $client_bin ]] || die "no programs in $build_dir: run without --no-build"

listening "$port" && die "port $port on 127.0.0.1 is already in use (a live server started earlier?).
        Stop what uses it, or choose another port: bash scripts/run.sh --port $((port + 1))"
mkdir -p "$data_dir"
log="$data_dir/server.log"
database="$data_dir/accounts.sqlite"
# The server makes a database only when told: told here the first time alone, so
# that one lost later is not silently replaced by an empty one.
create=()
if [[ ! -e $database ]]; then
    create=(--create-database)
    say "no accounts in $data_dir yet: the server makes a new database, $database"
fi
server_pid=""
trap 'stop_all $server_pid; [[ -z $server_pid ]] || say "live server stopped"' EXIT
trap 'exit 130' INT TERM
start_server "$log" "$server_bin" --listen 127.0.0.1 --port "$port" --database "$database" "${create[@]}" \
    --directory "$directory" || die "see its log: $log"
say "live server at $server_url"
say "accounts in $database, requests logged to $log"

case $settings_action in
    create)
        mkdir -p "$(dirname "$ini")"
        printf '[live]\nserver=%s\n' "$local_url" >"$ini"
        say "wrote $ini with live/server=$local_url"
        ;;
    rewrite)
        backup="$ini.bak-$(date +%Y%m%d-%H%M%S)"
        cp -p "$ini" "$backup"
        ini_set "$ini" live server "$local_url"
        say "changed live/server in $ini: $current -> $local_url (backup: $backup)"
        ;;
esac

say "starting the client; closing its window stops the server"
status=0
"$client_bin" || status=$?
exit "$status"
