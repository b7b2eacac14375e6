#!/usr/bin/env bash
# Builds the client and the reference live server (Release, in build/), starts
# the server on 127.0.0.1 with its accounts in a data folder, opens the client
# against it, and stops the server when the client ends.
set -euo pipefail

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

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
default_data_dir="${XDG_DATA_HOME:-$HOME/.local/share}/velka-live-server"
data_dir=${VELKA_DATA_DIR:-$default_data_dir}
port=${VELKA_PORT:-8421}
build_dir=${VELKA_BUILD_DIR:-$root/build}
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

if [[ -z ${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-} ]]; then
    die "no display to open the window on (DISPLAY is not set): run it from a desktop session"
fi

# --- The client's settings -------------------------------------------------
# The client reads live/server from ~/.VELKA/velka.ini, or uses the URL built
# into it. A file of the user's own is never changed without being asked.
ini="$HOME/.VELKA/velka.ini"
local_url="http://127.0.0.1:$port"

# ini_get <section> <key>: the value as written (outer quotes removed); status 1 when absent.
ini_get() {
    [[ -f $ini ]] || return 1
    awk -v want="[$1]" -v key="$2" '
        function trim(s) { gsub(/^[ \t\r]+|[ \t\r]+$/, "", s); return s }
        /^[ \t]*\[/ { here = (tolower(trim($0)) == tolower(want)); next }
        here && index($0, "=") {
            i = index($0, "=")
            if (trim(substr($0, 1, i - 1)) != key) next
            v = trim(substr($0, i + 1))
            if (v ~ /^".*"$/) v = substr(v, 2, length(v) - 2)
            print v; found = 1; exit
        }
        END { exit !found }' "$ini"
}

# Rewrites live/server alone, keeping every other line as it is.
ini_set_server() {
    local had_key=$1 tmp
    tmp=$(mktemp "$ini.XXXXXX")
    awk -v url="$local_url" -v had="$had_key" '
        function trim(s) { gsub(/^[ \t\r]+|[ \t\r]+$/, "", s); return s }
        /^[ \t]*\[/ {
            print; here = (tolower(trim($0)) == "[live]")
            if (here) seen = 1
            if (here && !had) print "server=" url
            next
        }
        here && had && index($0, "=") && trim(substr($0, 1, index($0, "=") - 1)) == "server" { print "server=" url; next }
        { print }
        END { if (!seen) printf "\n[live]\nserver=%s\n", url }' "$ini" >"$tmp"
    cat "$tmp" >"$ini" # in place: the file keeps its owner and mode
    rm -f "$tmp"
}

builtin_url=$(sed -n 's/^VELKA_LIVE_SERVER_URL:[A-Z]*=//p' "$build_dir/CMakeCache.txt" 2>/dev/null || true)
builtin_url=${builtin_url:-http://127.0.0.1:8421}
settings_action=none
server_has_key=0
if [[ -f $ini ]]; then
    if current=$(ini_get live server); then
        server_has_key=1
    else
        current=$builtin_url
    fi
    current=${current%/}
    if [[ $current != "$local_url" ]]; then
        case $settings_choice in
            rewrite) settings_action=rewrite ;;
            keep) say "note: $ini points the client at $current, not at the server started here ($local_url)." ;;
            *)
                cat >&2 <<EOF
run.sh: your settings file $ini
        points the client at $current,
        not at the local server this command starts ($local_url).
        Nothing was started and the file was not changed. Run again with one of:
          --use-local-server   change live/server to $local_url (the file is backed up first;
                               a login stored there belongs to the other server)
          --keep-settings      start anyway; the client keeps using $current
EOF
                exit 1
                ;;
        esac
    fi
elif [[ $builtin_url != "$local_url" ]]; then
    settings_action=create
fi
# A directory of the user's own is served as it is, so the client finds the scripts.
directory=$(ini_get live directory) || directory="VELKA/be"

# --- Build -------------------------------------------------------------------
server_bin="$build_dir/server/velka-live-server"
client_bin="$build_dir/velka-live-assistant"
if ((build)); then
    if [[ ! -f $build_dir/CMakeCache.txt ]]; then
        say "configuring a Release build in $build_dir"
        cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
    fi
    say "building (the first time takes a few minutes)"
    cmake --build "$build_dir" -j "$(nproc)" --target velka-live-server velka-live-assistant
fi
[[ -x $server_bin && -x $client_bin ]] || die "no programs in $build_dir: run without --no-build"

# --- Server ------------------------------------------------------------------
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    die "port $port on 127.0.0.1 is already in use (a live server started earlier?).
        Stop what uses it, or choose another port: bash scripts/run.sh --port $((port + 1))"
fi
mkdir -p "$data_dir"
log="$data_dir/server.log"
started=$(mktemp)
server_pid=""
stop_server() {
    rm -f "$started"
    [[ -n $server_pid ]] || return 0
    kill "$server_pid" 2>/dev/null || return 0
    wait "$server_pid" 2>/dev/null || true
    say "live server stopped"
}
trap stop_server EXIT
trap 'exit 130' INT TERM

"$server_bin" --listen 127.0.0.1 --port "$port" --database "$data_dir/accounts.sqlite" --directory "$directory" \
    >"$started" 2>>"$log" &
server_pid=$!
deadline=$((SECONDS + 30))
until grep -q '^http' "$started"; do
    if ! kill -0 "$server_pid" 2>/dev/null; then
        wait "$server_pid" || true
        server_pid=""
        die "the live server did not start: $(tail -n 1 "$log")"
    fi
    ((SECONDS < deadline)) || die "the live server did not answer within 30 s; its log: $log"
    sleep 0.1
done
say "live server at $(head -n 1 "$started")"
say "accounts in $data_dir/accounts.sqlite, requests logged to $log"

# --- Client ------------------------------------------------------------------
case $settings_action in
    create)
        mkdir -p "$(dirname "$ini")"
        printf '[live]\nserver=%s\n' "$local_url" >"$ini"
        say "wrote $ini with live/server=$local_url"
        ;;
    rewrite)
        backup="$ini.bak-$(date +%Y%m%d-%H%M%S)"
        cp -p "$ini" "$backup"
        ini_set_server "$server_has_key"
        say "changed live/server in $ini: $current -> $local_url (backup: $backup)"
        ;;
esac

say "starting the client; closing its window stops the server"
status=0
"$client_bin" || status=$?
exit "$status"
